#include "settingsprotocol.h"

#include <QCoreApplication>
#include <QStringList>
#include <cmath>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("SettingsProtocol", text);
}

const char *const readBackQueries[] = {
    ":cal?\n",         ":rs232:period?\n",   ":rs485:period?\n",   ":relay1:default?\n",
    ":relay1:temp?\n", ":relay1:hyst?\n",    ":relay2:default?\n", ":relay2:temp?\n",
    ":relay2:hyst?\n", ":display:period?\n",
};

struct Sensor
{
    int id;
    const char *keyword;
    const char *name;
};
const Sensor sensors[] = {
    {0, "zur", "ZUR"}, {1, "dt-400", "DT-400"}, {2, "dt-670", "DT-670"},
    {3, "asc", "ASC"}, {16, "user", "Custom"},
};

// The window's ranges: relay set-points and hystereses, output periods, display period.
const double minimumKelvin = 0.1;
const double maximumKelvin = 1000.0;
const int minimumOutputPeriod = 100;
const int maximumOutputPeriod = 1000;
const int minimumDisplayPeriod = 100;
const int maximumDisplayPeriod = 10000;

bool toInteger(const QString &text, int *number)
{
    bool ok = false;
    *number = text.trimmed().toInt(&ok, 10);
    return ok;
}

bool toFinite(const QString &text, double *number)
{
    bool ok = false;
    *number = text.trimmed().toDouble(&ok);
    return ok && std::isfinite(*number);
}

QString stateName(int state)
{
    switch (state) {
    case 0:
        return QStringLiteral("Off");
    case 1:
        return QStringLiteral("On");
    default:
        return QString::number(state);
    }
}

// "rs232" -> "RS232"
QString portLabel(const QString &port)
{
    return port.toUpper();
}

QString outOfRange(const QString &name, const QString &value, const QString &range)
{
    return tr("%1: %2 is out of range (%3)").arg(name, value, range);
}

bool parseRelayValue(const QString &name, const QString &value, SettingsProtocol::Change *change,
                     QString *error)
{
    double kelvin = 0.0;
    if (!toFinite(value, &kelvin)) {
        *error = tr("%1: \"%2\" is not a number").arg(name, value);
        return false;
    }
    if (kelvin < minimumKelvin || kelvin > maximumKelvin) {
        *error = outOfRange(name, value, tr("0.1 to 1000 K"));
        return false;
    }
    *change = SettingsProtocol::relayValueChange(
        name.at(5).digitValue(), name.endsWith(QLatin1String("-hysteresis")), kelvin);
    return true;
}

bool parseDefaultState(const QString &name, const QString &value, SettingsProtocol::Change *change,
                       QString *error)
{
    const QString lower = value.trimmed().toLower();
    int state = -1;
    if (lower == QLatin1String("off") || lower == QLatin1String("0"))
        state = 0;
    else if (lower == QLatin1String("on") || lower == QLatin1String("1"))
        state = 1;
    if (state < 0) {
        *error = tr("%1: \"%2\" is neither off nor on").arg(name, value);
        return false;
    }
    *change = SettingsProtocol::defaultStateChange(name.at(5).digitValue(), state);
    return true;
}

bool parseOutput(const QString &name, const QString &value, SettingsProtocol::Change *change,
                 QString *error)
{
    const QString port = name.left(5); // "rs232"
    const QString lower = value.trimmed().toLower();
    if (name.endsWith(QLatin1String("-output"))) {
        if (lower == QLatin1String("disabled") || lower == QLatin1String("0")) {
            *change = SettingsProtocol::outputPeriodChange(port, 0);
            return true;
        }
        // The instrument reports a disabled output as period 0, so the period to enable it
        // with cannot be known here.
        *error = tr("%1: to enable the output, give %2-period=MILLISECONDS").arg(name, port);
        return false;
    }

    int period = 0;
    if (!toInteger(value, &period)) {
        *error = tr("%1: \"%2\" is not a whole number of milliseconds").arg(name, value);
        return false;
    }
    if (period != 0 && (period < minimumOutputPeriod || period > maximumOutputPeriod)) {
        *error = outOfRange(name, value, tr("100 to 1000 ms, or 0 to disable the output"));
        return false;
    }
    *change = SettingsProtocol::outputPeriodChange(port, period);
    return true;
}

bool parseDisplayPeriod(const QString &name, const QString &value, SettingsProtocol::Change *change,
                        QString *error)
{
    int period = 0;
    if (!toInteger(value, &period)) {
        *error = tr("%1: \"%2\" is not a whole number of milliseconds").arg(name, value);
        return false;
    }
    if (period < minimumDisplayPeriod || period > maximumDisplayPeriod) {
        *error = outOfRange(name, value, tr("100 to 10000 ms"));
        return false;
    }
    *change = SettingsProtocol::displayPeriodChange(period);
    return true;
}

bool parseSensor(const QString &name, const QString &value, SettingsProtocol::Change *change,
                 QString *error)
{
    const QString lower = value.trimmed().toLower();
    for (const Sensor &sensor : sensors) {
        if (lower == QLatin1String(sensor.keyword)
            || lower == QString::fromLatin1(sensor.name).toLower()) {
            *change = SettingsProtocol::sensorChange(sensor.id);
            return true;
        }
    }
    *error = tr("%1: \"%2\" is no sensor (ZUR, DT-400, DT-670, ASC or Custom)").arg(name, value);
    return false;
}

} // namespace

int SettingsProtocol::readBackStageCount()
{
    return int(sizeof(readBackQueries) / sizeof(readBackQueries[0]));
}

QString SettingsProtocol::readBackQuery(int stage)
{
    return stage >= 0 && stage < readBackStageCount() ? QString::fromLatin1(readBackQueries[stage])
                                                      : QString();
}

QString SettingsProtocol::sensorKeyword(int sensorId)
{
    for (const Sensor &sensor : sensors) {
        if (sensor.id == sensorId)
            return QString::fromLatin1(sensor.keyword);
    }
    return QString();
}

int SettingsProtocol::sensorIdOfKeyword(const QString &keyword)
{
    for (const Sensor &sensor : sensors) {
        if (keyword == QLatin1String(sensor.keyword))
            return sensor.id;
    }
    return -1;
}

QString SettingsProtocol::sensorName(int sensorId)
{
    for (const Sensor &sensor : sensors) {
        if (sensor.id == sensorId)
            return QString::fromLatin1(sensor.name);
    }
    return QString();
}

QStringList SettingsProtocol::settingNames()
{
    return {QStringLiteral("sensor"),
            QStringLiteral("relay1-temperature"),
            QStringLiteral("relay1-hysteresis"),
            QStringLiteral("relay1-default-state"),
            QStringLiteral("relay2-temperature"),
            QStringLiteral("relay2-hysteresis"),
            QStringLiteral("relay2-default-state"),
            QStringLiteral("rs232-output"),
            QStringLiteral("rs232-period"),
            QStringLiteral("rs485-output"),
            QStringLiteral("rs485-period"),
            QStringLiteral("display-refresh-period")};
}

QMap<QString, QString> SettingsProtocol::readBackValues(const QString &key, const QString &value)
{
    int number = 0;
    double kelvin = 0.0;
    if (key == QLatin1String("cal")) {
        const int sensorId = sensorIdOfKeyword(value);
        return {{QStringLiteral("sensor"), sensorId < 0 ? value : sensorName(sensorId)}};
    }
    if ((key == QLatin1String("rs232:period") || key == QLatin1String("rs485:period"))
        && toInteger(value, &number)) {
        const QString port = key.left(5);
        return {{port + QStringLiteral("-output"),
                 number != 0 ? QStringLiteral("enabled") : QStringLiteral("disabled")},
                {port + QStringLiteral("-period"), QString::number(number)}};
    }
    if ((key == QLatin1String("relay1:default") || key == QLatin1String("relay2:default"))
        && toInteger(value, &number))
        return {{key.left(6) + QStringLiteral("-default-state"), stateName(number)}};
    if ((key.endsWith(QLatin1String(":temp")) || key.endsWith(QLatin1String(":hyst")))
        && (key.startsWith(QLatin1String("relay1:")) || key.startsWith(QLatin1String("relay2:")))
        && toFinite(value, &kelvin)) {
        const QString which = key.endsWith(QLatin1String(":temp")) ? QStringLiteral("-temperature")
                                                                   : QStringLiteral("-hysteresis");
        return {{key.left(6) + which, QString::asprintf("%.3f", kelvin)}};
    }
    if (key == QLatin1String("display:period") && toInteger(value, &number))
        return {{QStringLiteral("display-refresh-period"), QString::number(number)}};
    return {};
}

bool SettingsProtocol::parseChange(const QString &assignment, Change *change, QString *error)
{
    const int equals = assignment.indexOf(QLatin1Char('='));
    if (equals < 1) {
        *error = tr("\"%1\" is not NAME=VALUE").arg(assignment);
        return false;
    }
    const QString name = assignment.left(equals).trimmed().toLower();
    const QString value = assignment.mid(equals + 1);
    change->name = name;

    if (name == QLatin1String("sensor"))
        return parseSensor(name, value, change, error);
    if (name == QLatin1String("relay1-temperature") || name == QLatin1String("relay1-hysteresis")
        || name == QLatin1String("relay2-temperature")
        || name == QLatin1String("relay2-hysteresis"))
        return parseRelayValue(name, value, change, error);
    if (name == QLatin1String("relay1-default-state")
        || name == QLatin1String("relay2-default-state"))
        return parseDefaultState(name, value, change, error);
    if (name == QLatin1String("rs232-output") || name == QLatin1String("rs232-period")
        || name == QLatin1String("rs485-output") || name == QLatin1String("rs485-period"))
        return parseOutput(name, value, change, error);
    if (name == QLatin1String("display-refresh-period"))
        return parseDisplayPeriod(name, value, change, error);

    *error = tr("unknown setting \"%1\"; the settings are %2")
                 .arg(name, settingNames().join(QStringLiteral(", ")));
    return false;
}

SettingsProtocol::Change SettingsProtocol::sensorChange(int sensorId)
{
    const QString keyword = sensorKeyword(sensorId);
    if (keyword.isEmpty())
        return {QStringLiteral("sensor"), QString(), QString()};
    return {QStringLiteral("sensor"), QStringLiteral(":cal %1\n").arg(keyword),
            tr("Sensor set to %1").arg(sensorName(sensorId))};
}

SettingsProtocol::Change SettingsProtocol::relayValueChange(int relay, bool hysteresis,
                                                            double kelvin)
{
    const QString label
        = tr("Relay %1 %2").arg(relay).arg(hysteresis ? tr("hysteresis") : tr("temperature"));
    return {QStringLiteral("relay%1-%2").arg(relay).arg(hysteresis ? "hysteresis" : "temperature"),
            QString::asprintf(hysteresis ? ":relay%d:hyst %5.3lf\n" : ":relay%d:temp %5.3lf\n",
                              relay, kelvin),
            tr("%1 set to %2 K").arg(label, QString::asprintf("%5.3lf", kelvin).trimmed())};
}

SettingsProtocol::Change SettingsProtocol::defaultStateChange(int relay, int state)
{
    return {QStringLiteral("relay%1-default-state").arg(relay),
            QString::asprintf(":relay%d:default %d\n", relay, state),
            tr("Relay %1 default state set to %2").arg(relay).arg(stateName(state))};
}

SettingsProtocol::Change SettingsProtocol::outputPeriodChange(const QString &port, int period)
{
    return {port + QStringLiteral("-period"),
            QString::asprintf(":%s:period %d\n", qPrintable(port), period),
            period == 0 ? tr("%1 automatic output disabled").arg(portLabel(port))
                        : tr("%1 output period set to %2 ms").arg(portLabel(port)).arg(period)};
}

SettingsProtocol::Change SettingsProtocol::displayPeriodChange(int milliseconds)
{
    return {QStringLiteral("display-refresh-period"),
            QString::asprintf(":display:period %d\n", milliseconds),
            tr("Display refresh period set to %1 ms").arg(milliseconds)};
}
