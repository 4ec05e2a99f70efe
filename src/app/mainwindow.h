#ifndef RIMEGLASS_MAINWINDOW_H
#define RIMEGLASS_MAINWINDOW_H

#include "customsensorpanel.h"
#include "portchooserpanel.h"
#include "readoutpanel.h"
#include "recordingpanel.h"
#include "settingspanel.h"
#include "transferpanel.h"
#include "upgradepanel.h"
#include "voltagecalibrationpanel.h"

#include <QMainWindow>

class HistoryView;
class InstrumentSession;
class QSettings;
class Ui_MainWindow;
class WindowKeeper;
struct InstrumentIdentity;
struct Reading;

// The one window: the form, a panel over each part of it, and the session behind them.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Lists and selects a port the system does not report (a simulated instrument's).
    void addExtraPort(const QString &portName, const QString &description);
    qint64 staleReadoutLimitMs() const { return m_readout->staleReadoutLimitMs(); }
    void showReadoutAge(qint64 ageMs) { m_readout->showReadoutAge(ageMs); }
    // Ends without a question (SIGTERM, logging out): a transfer is cancelled and its
    // outcome written to standard error, a recording saved, the port and window closed.
    void endWithoutAsking();

public slots:
    void quitTriggered();
    void checkForUpdatesTriggered() { }
    void aboutTriggered();
    void sensorChanged(int index) { m_settings->sensorChanged(index); }
    void relay1TempSpinChanged(double value) { m_settings->relay1TempSpinChanged(value); }
    void relay2TempSpinChanged(double value) { m_settings->relay2TempSpinChanged(value); }
    void relay1HystSpinChanged(double value) { m_settings->relay1HystSpinChanged(value); }
    void relay2HystSpinChanged(double value) { m_settings->relay2HystSpinChanged(value); }
    void relay1DefaultStateChanged(int index) { m_settings->relay1DefaultStateChanged(index); }
    void relay2DefaultStateChanged(int index) { m_settings->relay2DefaultStateChanged(index); }
    void rs232AutomaticOutputChanged(int index) { m_settings->rs232AutomaticOutputChanged(index); }
    void rs232OutputPeriodSpinChanged(int value)
    {
        m_settings->rs232OutputPeriodSpinChanged(value);
    }
    void rs485AutomaticOutputChanged(int index) { m_settings->rs485AutomaticOutputChanged(index); }
    void rs485OutputPeriodSpinChanged(int value)
    {
        m_settings->rs485OutputPeriodSpinChanged(value);
    }
    void displayRefreshSpinChanged(int value) { m_settings->displayRefreshSpinChanged(value); }
    void serialPortsRefreshButtonClicked() { m_portChooser->refresh(); }
    void serialPortOpenButtonClicked() { m_portChooser->open(); }
    void serialPortCloseButtonClicked() { m_portChooser->close(); }
    void enableSerialOutputButtonClicked() { m_settings->enableSerialOutput(); }
    void plotClearButtonClicked() { m_readout->clear(); }
    void applyButtonClicked() { }
    void saveButtonClicked() { m_settings->save(); }
    void sensorFileChooseButtonClicked() { m_customSensor->chooseFile(); }
    void sensorUploadButtonClicked() { m_customSensor->upload(); }
    void sensorTransposeButtonClicked() { m_customSensor->transpose(); }
    void sensorExportButtonClicked() { m_customSensor->exportTable(); }
    void firmwareUpgradeButtonClicked() { m_upgrade->upgrade(); }
    void adcCalibrationR1MeasureButtonClicked() { m_voltage->measurePoint1(); }
    void adcCalibrationR2MeasureButtonClicked() { m_voltage->measurePoint2(); }
    void adcCalibrationValueChanged(double value) { m_voltage->realVoltageChanged(value); }
    void adcCalibrationRealMasureButtonClicked() { m_voltage->measureCalibrated(); }
    void adcCalibrationButtonClicked() { m_voltage->calibrate(); }
    void adcCalibrationResetButtonClicked() { m_voltage->resetCalibration(); }
    void deviceIdentified();
    void deviceReset();
    void deviceRestarted() { }
    void temperatureChanged(double value);
    void deviceProgress(int state, int stateMax) { m_transfer->showProgress(state, stateMax); }
    void deviceParameterReceived(const QString &key, const QString &value);
    void recordToggled(bool on) { m_recording->setRecording(on); }
    void recordAutomaticallyToggled(bool on) { m_recording->setAutomatic(on); }
    void recordingFolderTriggered() { m_recording->chooseFolder(); }
    void plotExportButtonClicked() { m_readout->exportToFile(); }

private:
    void connectPanels();
    void connectSession();
    void openPort(const QString &name);
    void closePort();
    void portOpened(const QString &name);
    void portLost(const QString &name);
    void setPanelsConnected(bool connected);
    void showIdentity(const InstrumentIdentity &identity);
    void showReading(const Reading &reading);
    void readBackFinished();
    void startTransfer(bool started, const QString &successText, const QString &refusal);

    Ui_MainWindow *m_ui = nullptr;
    QSettings *m_store = nullptr;
    InstrumentSession *m_session = nullptr;
    bool m_announceReadBack = false; // only the read-back after an Open is announced
    PortChooserPanel *m_portChooser = nullptr;
    ReadoutPanel *m_readout = nullptr;
    SettingsPanel *m_settings = nullptr;
    CustomSensorPanel *m_customSensor = nullptr;
    VoltageCalibrationPanel *m_voltage = nullptr;
    UpgradePanel *m_upgrade = nullptr;
    TransferPanel *m_transfer = nullptr;
    RecordingPanel *m_recording = nullptr;
    HistoryView *m_history = nullptr;
    WindowKeeper *m_keeper = nullptr;
};

#endif
