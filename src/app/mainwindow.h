#ifndef RIMEGLASS_MAINWINDOW_H
#define RIMEGLASS_MAINWINDOW_H

#include "device-serial.h"

#include <QElapsedTimer>
#include <QList>
#include <QMainWindow>
#include <QPair>
#include <QSerialPort>
#include <QString>
#include <QStringList>
#include <QVector>

class HistoryView;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QSettings;
class QTimer;
class QwtPlot;
class QwtPlotCurve;
class Recorder;
class Ui_MainWindow;

// Text of one entry of the port list: the system name, followed by the non-empty ones
// of manufacturer, description and serial number in parentheses.
QString serialPortItemText(const QString &portName, const QString &manufacturer,
                           const QString &description, const QString &serialNumber);

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Lists a port that the system does not report (the pseudo-terminal of a simulated
    // instrument) after the system's ports, at this and every later refresh, and selects
    // it. The tool itself adds none.
    void addExtraPort(const QString &portName, const QString &description);

    // How long the readout may go without a new temperature before it is shown as
    // stale: three of the instrument's RS232 output periods, at least 3 s.
    qint64 staleReadoutLimitMs() const;
    // Shows the readout as fresh or stale for a last reading `ageMs` milliseconds ago;
    // the window's once-a-second check calls it with the real age.
    void showReadoutAge(qint64 ageMs);

public slots:
    void quitTriggered();
    void checkForUpdatesTriggered();
    void aboutTriggered();
    void sensorChanged(int index);
    void relay1TempSpinChanged(double value);
    void relay2TempSpinChanged(double value);
    void relay1HystSpinChanged(double value);
    void relay2HystSpinChanged(double value);
    void relay1DefaultStateChanged(int index);
    void relay2DefaultStateChanged(int index);
    void rs232AutomaticOutputChanged(int index);
    void rs232OutputPeriodSpinChanged(int value);
    void rs485AutomaticOutputChanged(int index);
    void rs485OutputPeriodSpinChanged(int value);
    void displayRefreshSpinChanged(int value);
    void serialPortsRefreshButtonClicked();
    void serialPortOpenButtonClicked();
    void serialPortCloseButtonClicked();
    void enableSerialOutputButtonClicked();
    void plotClearButtonClicked();
    void applyButtonClicked();
    void saveButtonClicked();
    void sensorFileChooseButtonClicked();
    void sensorUploadButtonClicked();
    void sensorTransposeButtonClicked();
    void sensorExportButtonClicked();
    void firmwareUpgradeButtonClicked();
    void adcCalibrationR1MeasureButtonClicked();
    void adcCalibrationR2MeasureButtonClicked();
    void adcCalibrationValueChanged(double value);
    void adcCalibrationRealMasureButtonClicked();
    void adcCalibrationButtonClicked();
    void adcCalibrationResetButtonClicked();
    void deviceIdentified();
    void deviceReset();
    void deviceRestarted();
    void temperatureChanged(double value);
    void deviceProgress(int state, int stateMax);
    void deviceParameterReceived(const QString &key, const QString &value);
    void recordToggled(bool on);
    void recordAutomaticallyToggled(bool on);
    void recordingFolderTriggered();
    void plotExportButtonClicked();

private:
    void setUpTemperaturePlot();
    void setUpRecording();
    void reserveReadoutSize();
    void setUpSensorPlot();
    void loadStoredSettings();
    void connectWidgets();
    void updateAvailability(bool connected);
    void getParameters();
    void applyParameter(const QString &key, const QString &value);
    void applySensorKeyword(const QString &keyword);
    void applyRs232Period(const QString &value);
    void applyRs485Period(const QString &value);
    void adcVoltageReceived(const QString &value);
    void calibratedVoltageReceived(const QString &value);
    bool sendToDevice(const QString &command);
    void changeRelayValue(const QString &key, int relay, bool hysteresis, double value);
    void changeRelayDefaultState(const QString &key, int relay, const QComboBox *combo);
    void sendRs232Period();
    void sendRs485Period();
    void sendOutputPeriod(const char *portLabel, int period);
    void pushPoint();
    void showTemperatureHistory();
    void repaintTemperaturePlotWithinFrame();
    void repaintTemperaturePlotNow();
    void holdReadoutWithinFrame();
    void drawHeldReadings();
    void redrawTemperaturePlot();
    bool temperatureAxesKeepTheirDivisions() const;
    void showCalibrationTable();
    QString chooseFileToOpen(const QString &lastPathKey, const QString &nameFilter);
    QString chooseFileToSave(const QString &startDirectory, const QString &nameFilter);
    void showTransferRefused();
    bool confirmEmptyTableUpload();
    void deviceTransferFinished();
    void deviceTransferFailed(const Device::TransferFailureReport &report);
    void transferCancelButtonClicked();
    void portErrorOccurred(QSerialPort::SerialPortError error);
    void appendPortItem(const QString &portName, const QString &text, const QString &toolTip,
                        const QString &remembered);
    QString portNameToOpen() const;
    bool openNamedPort(const QString &name, bool reportFailure);
    void showOpenFailure(const QString &name);
    void discardDevice();
    void forgetInstrument();
    void showIdentificationState();
    bool canStartRecording() const;
    void portLost();
    void checkLostPortBack();
    void stopWaitingForPort();
    void portChoiceChanged();
    void checkReadoutAge();
    bool sendConfirmed(const QString &command, const QString &confirmation);
    void showCalibrateAvailability();
    QString calibrationProblem() const;
    void recordingStarted();
    void recordingStopped(const QString &errorText);
    void showRecordingState();
    void rowsRecorded();
    void showRecordingStatus();

    Ui_MainWindow *ui = nullptr;
    QwtPlot *temperaturePlot = nullptr;
    QwtPlotCurve *temperatureCurve = nullptr;
    QwtPlot *sensorPlot = nullptr;
    QwtPlotCurve *sensorCurve = nullptr;
    QSettings *settings = nullptr;
    Device *device = nullptr;
    int getParametersStage = -1;
    bool updatingFromDevice = false;
    double lastTemperature = 0.0;
    int adcMeasureTarget = -1;
    double adcVoltage1 = 0.0;
    double adcVoltage2 = 0.0;
    double realVoltage1 = 0.0;
    double realVoltage2 = 0.0;
    double adcOffset = 0.0;
    double adcSlope = 0.0;
    int maxPoints = 300;
    QElapsedTimer plotClock;
    QVector<double> pointTimes;
    QVector<double> pointAges;
    QVector<double> pointTemperatures;
    static constexpr int displayFrameMs = 16;
    QTimer *temperaturePlotRepaint = nullptr; // runs while a frame of readings is held
    bool temperaturePlotStale = false; // points set but not drawn yet
    QVector<double> calibrationTemperatures;
    QVector<double> calibrationVoltages;
    QStringList calibrationFileNotes; // warnings or the refusal of the last file read
    QList<QPair<QString, QString>> extraPorts; // system name, description
    QString transferSuccessText; // what the operator is told when the transfer completes
    QString openedPortName;
    bool instrumentIdentified = false;
    bool announceReadBack = false;
    bool rebuildingPortList = false;
    QString awaitedPortName; // a lost port the window waits for; empty when none
    QTimer *portReturnPoll = nullptr;
    QTimer *readoutAgeCheck = nullptr;
    QElapsedTimer lastReadingClock;
    int reportedRs232PeriodMs = 0;
    bool adcPoint1Measured = false;
    bool adcPoint2Measured = false;
    Recorder *recorder = nullptr;
    HistoryView *historyView = nullptr;
    QLabel *recordingStatusLabel = nullptr;
    QTimer *recordingStatusUpdate = nullptr; // holds back the row count between updates
};

#endif
