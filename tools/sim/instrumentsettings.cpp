#include "instrumentsettings.h"

#include <cmath>

namespace {

const QList<QByteArray> sensorKeywords{"zur", "dt-400", "dt-670", "asc", "user"};

// Set-points and hysteresis are kelvin; anything beyond this is no temperature the
// instrument can measure.
constexpr double maximumKelvin = 2000.0;

} // namespace

const InstrumentSettings::IntegerField InstrumentSettings::integerFields[] = {
    {"rs232:period", &InstrumentSettings::m_rs232Period, 10, 60000, true},
    {"rs485:period", &InstrumentSettings::m_rs485Period, 10, 60000, true},
    {"relay1:default", &InstrumentSettings::m_relay1Default, 0, 1, true},
    {"relay2:default", &InstrumentSettings::m_relay2Default, 0, 1, true},
    {"display:period", &InstrumentSettings::m_displayPeriod, 10, 60000, false},
};

const InstrumentSettings::KelvinField InstrumentSettings::kelvinFields[] = {
    {"relay1:temp", &InstrumentSettings::m_relay1Temperature},
    {"relay1:hyst", &InstrumentSettings::m_relay1Hysteresis},
    {"relay2:temp", &InstrumentSettings::m_relay2Temperature},
    {"relay2:hyst", &InstrumentSettings::m_relay2Hysteresis},
};

QList<QByteArray> InstrumentSettings::keys()
{
    return {"cal",         "rs232:period",   "rs485:period", "relay1:default", "relay1:temp",
            "relay1:hyst", "relay2:default", "relay2:temp",  "relay2:hyst",    "display:period"};
}

QByteArray InstrumentSettings::value(const QByteArray &key) const
{
    if (key == "cal")
        return m_sensor;
    for (const IntegerField &field : integerFields) {
        if (key == field.key)
            return QByteArray::number(this->*field.member);
    }
    for (const KelvinField &field : kelvinFields) {
        if (key == field.key)
            return QByteArray::number(this->*field.member, 'f', 3);
    }
    return QByteArray();
}

InstrumentSettings::Result InstrumentSettings::assign(const QByteArray &key, const QByteArray &text)
{
    if (key == "cal") {
        if (!sensorKeywords.contains(text))
            return Result::BadValue;
        m_sensor = text;
        return Result::Accepted;
    }
    for (const IntegerField &field : integerFields) {
        if (key != field.key)
            continue;
        bool ok = false;
        const int number = text.toInt(&ok, 10);
        if (!ok)
            return Result::BadValue;
        const bool inRange = (number == 0 && field.zeroAllowed)
            || (number >= field.minimum && number <= field.maximum);
        if (!inRange)
            return Result::OutOfRange;
        this->*field.member = number;
        return Result::Accepted;
    }
    for (const KelvinField &field : kelvinFields) {
        if (key != field.key)
            continue;
        bool ok = false;
        const double number = text.toDouble(&ok);
        if (!ok || !std::isfinite(number))
            return Result::BadValue;
        if (number < 0.0 || number > maximumKelvin)
            return Result::OutOfRange;
        // The instrument keeps temperatures in millikelvin.
        this->*field.member = std::round(number * 1000.0) / 1000.0;
        return Result::Accepted;
    }
    return Result::UnknownKey;
}

bool InstrumentSettings::operator==(const InstrumentSettings &other) const
{
    for (const QByteArray &key : keys()) {
        if (value(key) != other.value(key))
            return false;
    }
    return adcOffset == other.adcOffset && adcSlope == other.adcSlope;
}
