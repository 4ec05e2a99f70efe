#ifndef RIMEGLASS_VOLTAGECALIBRATIONPANEL_H
#define RIMEGLASS_VOLTAGECALIBRATIONPANEL_H

#include "voltagecalibration.h"

#include <QObject>
#include <QString>

class QDoubleSpinBox;
class QLineEdit;
class QPushButton;
class QWidget;

// The Calibration tab's two-point calibration of the instrument's voltage input: each
// point measured by the instrument against a real voltage typed in, the fit shown, and
// Calibrate offered only for a usable fit; Reset calibration asks first.
class VoltageCalibrationPanel : public QObject
{
    Q_OBJECT

public:
    explicit VoltageCalibrationPanel(QWidget *form);

public slots:
    void measurePoint1();
    void measurePoint2();
    void measureCalibrated();
    // Either real voltage changed: the fit follows both.
    void realVoltageChanged(double volts);
    void calibrate();
    void resetCalibration();
    // A parameter report of the instrument: the voltage readings ("Vunc", "Vcor") are
    // shown, other reports ignored.
    void applyReport(const QString &key, const QString &value);
    // Requests go out only while connected; a new connection measures both points anew.
    void setConnected(bool connected);

signals:
    void uncalibratedMeasurementRequested();
    void calibratedMeasurementRequested();
    // A slope and offset of 0 clear the instrument's calibration.
    void calibrationRequested(double offset, double slope);

private:
    void uncalibratedReadingReceived(const QString &value);
    void calibratedReadingReceived(const QString &value);
    void showCalibrateAvailability();

    enum class Target { None, Point1, Point2 };

    QWidget *m_form;
    QLineEdit *m_adcVoltage1;
    QLineEdit *m_adcVoltage2;
    QDoubleSpinBox *m_realVoltage1;
    QDoubleSpinBox *m_realVoltage2;
    QLineEdit *m_offsetValue;
    QLineEdit *m_slopeValue;
    QLineEdit *m_calibratedValue;
    QPushButton *m_calibrateButton;
    VoltageCalibration m_fit;
    Target m_measureTarget = Target::None; // the point the next "Vunc" report belongs to
    bool m_connected = false;
};

#endif
