#include "voltagecalibration.h"

#include <QCoreApplication>
#include <cmath>

namespace {

const double microvoltsPerVolt = 1000000.0;
// Closer points than this give no usable slope.
const double pointTolerance = 1e-7;

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
    if (tooClose(m_adcVolts[0], m_adcVolts[1]))
        return tr("The two measured voltages must differ");
    if (!std::isfinite(m_slope) || !std::isfinite(m_offset) || m_slope <= 0.0)
        return tr("The fitted slope is not positive");
    return QString();
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
