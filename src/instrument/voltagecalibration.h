#ifndef RIMEGLASS_VOLTAGECALIBRATION_H
#define RIMEGLASS_VOLTAGECALIBRATION_H

#include <QString>

// The two-point calibration of the instrument's voltage input: at each point the
// instrument measures the input uncalibrated while a known real voltage is applied, and
// the fit real = slope * (adc + offset) through both points is what the instrument is
// given (Device::sendADCCalibration).
class VoltageCalibration
{
public:
    enum class Point { First, Second };

    // Two measurements closer together than this (volts) were taken without changing the
    // voltage at the input: their fit is no calibration.
    static constexpr double minimumMeasuredDifference = 0.010;

    void setMeasured(Point point, double adcVolts);
    bool isMeasured(Point point) const;
    // The points are measured again after a new connection; the last fit stays until then.
    void forgetMeasurements();
    void setRealVoltages(double first, double second);

    // Fits through the two points once both are measured. Points closer together than
    // the instrument can tell apart leave the previous fit in place; returns whether a
    // new one was made.
    bool fit();
    double offset() const { return m_offset; }
    double slope() const { return m_slope; }
    // What keeps the fit from being sent, in the operator's words; empty when it is
    // usable: both points measured, at least minimumMeasuredDifference apart, a positive
    // slope, and slope and offset within the calibration command's fields, unsaturated.
    QString problem() const;

    // What the operator is asked before the instrument's calibration is cleared.
    static QString resetQuestion();

    // The value of a "Vunc" report: an uncalibrated reading in whole microvolts.
    static bool parseUncalibrated(const QString &value, double *volts);
    // The value of a "Vcor" report: a calibrated reading in whole microvolts, followed by
    // " C" when the instrument holds a calibration and by " U" (or nothing) when not.
    static bool parseCalibrated(const QString &value, double *volts, bool *calibrated);

private:
    double m_adcVolts[2] = {0.0, 0.0};
    bool m_measured[2] = {false, false};
    double m_realVolts[2] = {0.0, 0.0};
    double m_offset = 0.0;
    double m_slope = 0.0;
};

#endif
