#include "voltagecalibrationpanel.h"

#include "formchild.h"

#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPair>
#include <QPushButton>

namespace {

QString voltsText(double volts)
{
    return QString::asprintf("%8.6lf V", volts);
}

} // namespace

VoltageCalibrationPanel::VoltageCalibrationPanel(QWidget *form)
    : QObject(form)
    , m_form(form)
    , m_adcVoltage1(formChild<QLineEdit>(form, "adcCalibrationR1"))
    , m_adcVoltage2(formChild<QLineEdit>(form, "adcCalibrationR2"))
    , m_realVoltage1(formChild<QDoubleSpinBox>(form, "adcCalibrationV1"))
    , m_realVoltage2(formChild<QDoubleSpinBox>(form, "adcCalibrationV2"))
    , m_offsetValue(formChild<QLineEdit>(form, "adcCalibrationOffset"))
    , m_slopeValue(formChild<QLineEdit>(form, "adcCalibrationSlope"))
    , m_calibratedValue(formChild<QLineEdit>(form, "adcCalibrationRealValue"))
    , m_calibrateButton(formChild<QPushButton>(form, "adcCalibrationButton"))
{
    setObjectName(QStringLiteral("voltageCalibrationPanel"));
    using Slot = void (VoltageCalibrationPanel::*)();
    const QPair<const char *, Slot> buttons[] = {
        {"adcCalibrationR1MeasureButton", &VoltageCalibrationPanel::measurePoint1},
        {"adcCalibrationR2MeasureButton", &VoltageCalibrationPanel::measurePoint2},
        {"adcCalibrationRealMasureButton", &VoltageCalibrationPanel::measureCalibrated},
        {"adcCalibrationButton", &VoltageCalibrationPanel::calibrate},
        {"adcCalibrationResetButton", &VoltageCalibrationPanel::resetCalibration},
    };
    for (const auto &button : buttons)
        connect(formChild<QPushButton>(form, button.first), &QPushButton::clicked, this,
                button.second);
    const auto doubleSpinChanged = QOverload<double>::of(&QDoubleSpinBox::valueChanged);
    connect(m_realVoltage1, doubleSpinChanged, this, &VoltageCalibrationPanel::realVoltageChanged);
    connect(m_realVoltage2, doubleSpinChanged, this, &VoltageCalibrationPanel::realVoltageChanged);
    showCalibrateAvailability();
}

void VoltageCalibrationPanel::setConnected(bool connected)
{
    m_connected = connected;
    if (connected) {
        m_fit.forgetMeasurements();
        showCalibrateAvailability();
    }
}

void VoltageCalibrationPanel::measurePoint1()
{
    if (!m_connected)
        return;
    m_measureTarget = Target::Point1;
    emit uncalibratedMeasurementRequested();
}

void VoltageCalibrationPanel::measurePoint2()
{
    if (!m_connected)
        return;
    m_measureTarget = Target::Point2;
    emit uncalibratedMeasurementRequested();
}

void VoltageCalibrationPanel::measureCalibrated()
{
    if (m_connected)
        emit calibratedMeasurementRequested();
}

// Refits once both points are measured; points too close together leave the previous
// result in place.
void VoltageCalibrationPanel::realVoltageChanged(double)
{
    m_fit.setRealVoltages(m_realVoltage1->value(), m_realVoltage2->value());
    if (m_fit.fit()) {
        m_slopeValue->setText(QString::asprintf("%11.9lf", m_fit.slope()));
        m_offsetValue->setText(voltsText(m_fit.offset()));
    }
    showCalibrateAvailability();
}

void VoltageCalibrationPanel::showCalibrateAvailability()
{
    const QString problem = m_fit.problem();
    m_calibrateButton->setEnabled(problem.isEmpty());
    m_calibrateButton->setToolTip(problem);
}

void VoltageCalibrationPanel::calibrate()
{
    if (m_connected && m_fit.problem().isEmpty())
        emit calibrationRequested(m_fit.offset(), m_fit.slope());
}

void VoltageCalibrationPanel::resetCalibration()
{
    if (!m_connected)
        return;
    const QMessageBox::StandardButton answer = QMessageBox::question(
        m_form, tr("Reset calibration"),
        tr("Clear the instrument's voltage calibration? It then reports uncalibrated voltages "
           "until it is calibrated again."),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    // The port may have gone away while the question was open.
    if (answer == QMessageBox::Yes && m_connected)
        emit calibrationRequested(0.0, 0.0);
}

void VoltageCalibrationPanel::applyReport(const QString &key, const QString &value)
{
    if (key == QLatin1String("Vunc"))
        uncalibratedReadingReceived(value);
    else if (key == QLatin1String("Vcor"))
        calibratedReadingReceived(value);
}

// An uncalibrated reading for the point whose Measure was pressed last.
void VoltageCalibrationPanel::uncalibratedReadingReceived(const QString &value)
{
    double volts = 0.0;
    if (!VoltageCalibration::parseUncalibrated(value, &volts))
        return;
    if (m_measureTarget == Target::Point1) {
        m_fit.setMeasured(VoltageCalibration::Point::First, volts);
        m_adcVoltage1->setText(voltsText(volts));
        realVoltageChanged(volts);
    } else if (m_measureTarget == Target::Point2) {
        m_fit.setMeasured(VoltageCalibration::Point::Second, volts);
        m_adcVoltage2->setText(voltsText(volts));
        realVoltageChanged(volts);
    }
    m_measureTarget = Target::None;
}

void VoltageCalibrationPanel::calibratedReadingReceived(const QString &value)
{
    double volts = 0.0;
    bool calibrated = false;
    if (VoltageCalibration::parseCalibrated(value, &volts, &calibrated))
        m_calibratedValue->setText(
            QString::asprintf("%8.6lf V (%s)", volts, calibrated ? "calibrated" : "uncalibrated"));
}
