#include "voltagecalibration.h"

#include <QCoreApplication>
#include <cmath>

namespace {

const double microvoltsPerVolt = 1000000.0;
// Closer points than this give no slope at all.
const double pointTolerance = 1e-7;
// The command carries the offset in microvolts and the slope with 24 fraction bits, each
// as a signed 32-bit number.
const double slopeScale = 16777216.0;

QString tr(const char *text)
{
    return QCoreApplication::translate("VoltageCalibration", text);
}

int index(VoltageCalibration::Point point)
{
    return point == VoltageCalibration::Point::First ? 0 : 1;
}

bool tooClose(double a, double b)
{
    return std::fabs(a - b) < pointTolerance;
}

// Whether `value` truncated toward zero is a signed 32-bit number, as the command sends it.
bool fitsInt32(double value)
{
    return std::isfinite(value) && std::trunc(value) >= -2147483648.0
        && std::trunc(value) <= 2147483647.0;
}

bool parseMicrovolts(const QString &text, double *volts)
{
    bool ok = false;
    const int microvolts = text.toInt(&ok, 10);
    if (ok)
        *volts = microvolts / microvoltsPerVolt;
    return ok;
}

} // namespace

void VoltageCalibration::setMeasured(Point point, double adcVolts)
{
    m_adcVolts[index(point)] = adcVolts;
    m_measured[index(point)] = true;
}

bool VoltageCalibration::isMeasured(Point point) const
{
    return m_measured[index(point)];
}

void VoltageCalibration::forgetMeasurements()
{
    m_measured[0] = m_measured[1] = false;
}

void VoltageCalibration::setRealVoltages(double first, double second)
{
    m_realVolts[0] = first;
    m_realVolts[1] = second;
}

bool VoltageCalibration::fit()
{
    if (!m_measured[0] || !m_measured[1] || tooClose(m_adcVolts[0], m_adcVolts[1])
        || tooClose(m_realVolts[0], m_realVolts[1]))
        return false;
    m_slope = (m_realVolts[0] - m_realVolts[1]) / (m_adcVolts[0] - m_adcVolts[1]);
    m_offset = m_realVolts[0] / m_slope - m_adcVolts[0];
    return true;
}

QString VoltageCalibration::problem() const
{
    if (!m_measured[0])
        return tr("Measure ADC voltage 1");
    if (!m_measured[1])
        return tr("Measure ADC voltage 2");
    if (tooClose(m_realVolts[0], m_realVolts[1]))
        return tr("The two real voltages must differ");
    if (std::fabs(m_adcVolts[0] - m_adcVolts[1]) < minimumMeasuredDifference)
        return tr("The two measured voltages must be at least %1 mV apart: change the voltage "
                  "at the input between the two measurements")
            .arg(minimumMeasuredDifference * 1000.0);
    if (!std::isfinite(m_slope) || !std::isfinite(m_offset) || m_slope <= 0.0)
        return tr("The fitted slope is not positive");
    if (!fitsInt32(m_slope * slopeScale))
        return tr("The fitted slope %1 is more than the instrument takes (below 128)")
            .arg(m_slope, 0, 'g', 10);
    if (!fitsInt32(m_offset * microvoltsPerVolt))
        return tr("The fitted offset %1 V is more than the instrument takes (2147 V either way)")
            .arg(m_offset, 0, 'g', 10);
    return QString();
}

QString VoltageCalibration::resetQuestion()
{
    return QCoreApplication::translate("VoltageCalibrationPanel",
                                       "Clear the instrument's voltage calibration? It then "
                                       "reports uncalibrated voltages until it is calibrated "
                                       "again.");
}

bool VoltageCalibration::parseUncalibrated(const QString &value, double *volts)
{
    return parseMicrovolts(value, volts);
}

bool VoltageCalibration::parseCalibrated(const QString &value, double *volts, bool *calibrated)
{
    QString number = value;
    *calibrated = value.endsWith(QLatin1String(" C"));
    if (*calibrated || value.endsWith(QLatin1String(" U")))
        number.chop(2);
    return parseMicrovolts(number, volts);
}
