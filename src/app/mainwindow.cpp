#include "mainwindow.h"

#include "buildinfo.h"
#include "calibrationtable.h"
#include "curvefile.h"
#include "device-serial.h"
#include "firmware.h"
#include "firmwareversion.h"
#include "historyview.h"
#include "inputfile.h"
#include "plotexport.h"
#include "portopenfailure.h"
#include "recorder.h"
#include "rimeglass-version.h"
#include "serialportlinks.h"
#include "settingsprotocol.h"
#include "settingsstorerepair.h"
#include "transferreport.h"
#include "ui_mainwindow.h"

#include <QBrush>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPair>
#include <QPalette>
#include <QPen>
#include <QSaveFile>
#include <QSerialPortInfo>
#include <QSettings>
#include <QStringList>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <cmath>
#include <memory>
#include <qwt_interval.h>
#include <qwt_legend.h>
#include <qwt_plot.h>
#include <qwt_plot_canvas.h>
#include <qwt_plot_curve.h>
#include <qwt_scale_div.h>
#include <qwt_scale_engine.h>

namespace {

const int resetNoticeMs = 2000;
const int transferRefusedNoticeMs = 5000;
const int confirmationNoticeMs = 3000;
const int storeResetNoticeMs = 10000;
const int portReturnPollMs = 1000;
const int readoutAgeCheckMs = 1000;
// The row count in the status bar changes with every reading; it is shown anew at most
// this often.
const int recordingStatusUpdateMs = 250;
// The readout counts as stale after this many output periods without a reading, and
// never sooner than the floor below.
const int staleReadoutPeriods = 3;
const int staleReadoutFloorMs = 3000;
// The form's own size: the window never opens larger, so that it fits small screens.
const QSize largestOpeningSize(1024, 600);
// Qwt asks for far more room than a plot needs to be read; this much leaves the window
// usable on a 1024 x 600 screen.
const QSize plotMinimumSize(320, 160);

const char noInstrumentTip[] = "No instrument has identified itself on this port yet.";
const char recordNeedsInstrumentTip[]
    = "Recording starts once an instrument has identified itself: its serial number names "
      "the file.";

// "%5.3lf K". A finite reading with three decimals is never narrower than five
// characters, so QString::number writes the same text for it, in less time.
QString readoutText(double kelvin)
{
    if (!std::isfinite(kelvin))
        return QString::asprintf("%5.3lf K", kelvin);
    return QString::number(kelvin, 'f', 3) + QLatin1String(" K");
}

QPen curvePen()
{
    return QPen(QBrush(Qt::red, Qt::SolidPattern), 2.0, Qt::SolidLine, Qt::SquareCap,
                Qt::BevelJoin);
}

void fillCombo(QComboBox *combo, const QList<QPair<QString, int>> &items)
{
    combo->clear();
    for (const auto &item : items)
        combo->addItem(QIcon(), item.first, item.second);
}

// The stored sensor identifier is the protocol value; the custom table sits at index 4.
int sensorComboIndex(int sensorId)
{
    switch (sensorId) {
    case 0:
    case 1:
    case 2:
    case 3:
        return sensorId;
    case 16:
        return 4;
    default:
        return -1;
    }
}

bool toInteger(const QString &text, int *number)
{
    bool ok = false;
    *number = text.toInt(&ok, 10);
    return ok;
}

// "nan" and "inf" convert as numbers but are no setting a spin box can hold.
bool toFiniteDouble(const QString &text, double *number)
{
    bool ok = false;
    *number = text.toDouble(&ok);
    return ok && std::isfinite(*number);
}

// The period the instrument is told for one of its serial outputs: the period chosen
// while the output is enabled, 0 while it is disabled.
int outputPeriod(const QComboBox *outputCombo, const QDoubleSpinBox *periodSpin)
{
    if (outputCombo->currentData(Qt::UserRole).toInt() == 0)
        return 0;
    return int(periodSpin->value());
}

void showOutputPeriod(QComboBox *outputCombo, QDoubleSpinBox *periodSpin, int period)
{
    if (period != 0) {
        outputCombo->setCurrentIndex(1);
        periodSpin->setValue(period);
    } else {
        outputCombo->setCurrentIndex(0);
    }
}

const double microvoltsPerVolt = 1000000.0;
// Closer points than this give no usable slope.
const double adcPointTolerance = 1e-7;

// "png" of "PNG image (*.png)".
QString filterSuffix(const QString &nameFilter)
{
    const int start = nameFilter.indexOf(QLatin1String("(*.")) + 3;
    const int end = nameFilter.indexOf(QLatin1Char(')'), start);
    return start < 3 || end < 0 ? QString() : nameFilter.mid(start, end - start);
}

QString voltsText(double volts)
{
    return QString::asprintf("%8.6lf V", volts);
}

} // namespace

QString serialPortItemText(const QString &portName, const QString &manufacturer,
                           const QString &description, const QString &serialNumber)
{
    QStringList details;
    for (const QString &detail : {manufacturer, description, serialNumber}) {
        if (!detail.isEmpty())
            details.append(detail);
    }
    if (details.isEmpty())
        return portName;
    return portName + QStringLiteral(" (") + details.join(QStringLiteral(", "))
        + QStringLiteral(")");
}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    // Cleaned before this window's store reads the first key.
    const bool storeWasReset = SettingsStoreRepair::repair();
    settings = new QSettings(this);
    ui = new Ui_MainWindow();
    ui->setupUi(this);
    setWindowTitle(
        QString::asprintf("Temperature monitor configuration tool (%s)", rimeglass::versionText));

    setUpTemperaturePlot();
    reserveReadoutSize();
    setUpSensorPlot();
    setUpRecording();

    // Everything is loaded before any change slot is connected, so loading neither
    // writes the store back nor sends a command.
    loadStoredSettings();
    ui->modelValue->setText(QStringLiteral("-"));
    ui->versionValue->setText(QStringLiteral("-"));
    ui->serialNumberValue->setText(QStringLiteral("-"));

    connectWidgets();

    ui->enableSerialOutputButton->hide();
    device = nullptr;
    ui->statusBar->showMessage(tr("Port closed"));

    plotClock.start();

    portReturnPoll = new QTimer(this);
    portReturnPoll->setInterval(portReturnPollMs);
    connect(portReturnPoll, &QTimer::timeout, this, &MainWindow::checkLostPortBack);
    readoutAgeCheck = new QTimer(this);
    readoutAgeCheck->setInterval(readoutAgeCheckMs);
    connect(readoutAgeCheck, &QTimer::timeout, this, &MainWindow::checkReadoutAge);

    serialPortsRefreshButtonClicked();
    updateAvailability(false);
    showIdentificationState();
    showCalibrateAvailability();

    // An empty tool bar is only a strip of lost height.
    ui->mainToolBar->setVisible(!ui->mainToolBar->actions().isEmpty());
    resize(size().boundedTo(largestOpeningSize));

    if (storeWasReset)
        ui->statusBar->showMessage(
            tr("Some stored settings could not be read and were reset to their defaults"),
            storeResetNoticeMs);
}

MainWindow::~MainWindow()
{
    // The port is destroyed with the window's children after this object is gone; it
    // must not reach back into the window then.
    if (device && device->port)
        device->port->disconnect(this);

    delete ui;
    delete settings;
}

void MainWindow::setUpTemperaturePlot()
{
    temperaturePlot = new QwtPlot(this);
    temperaturePlot->setMinimumSize(plotMinimumSize);
    auto *layout = new QVBoxLayout;
    layout->addWidget(temperaturePlot);
    ui->plotFrame->setLayout(layout);

    temperaturePlot->setTitle(tr("Temperature"));
    temperaturePlot->enableAxis(QwtPlot::yLeft);
    temperaturePlot->setAxisTitle(QwtPlot::yLeft, tr("T, K"));
    temperaturePlot->setAxisTitle(QwtPlot::xBottom, tr("t"));

    temperatureCurve = new QwtPlotCurve(tr("T"));
    temperatureCurve->setPen(curvePen());
    temperatureCurve->setYAxis(QwtPlot::yLeft);
    temperatureCurve->attach(temperaturePlot);

    temperaturePlot->insertLegend(new QwtLegend(), QwtPlot::RightLegend, -1.0);

    // The curve changes with every reading: a cached copy of the canvas would only be
    // redrawn and then copied once more for each one.
    if (auto *canvas = qobject_cast<QwtPlotCanvas *>(temperaturePlot->canvas()))
        canvas->setPaintAttribute(QwtPlotCanvas::BackingStore, false);

    // Readings may come faster than the screen shows them: each one becomes a point and
    // the readout's text at once, and both are drawn at most once a frame, with all of
    // them.
    temperaturePlotRepaint = new QTimer(this);
    temperaturePlotRepaint->setSingleShot(true);
    temperaturePlotRepaint->setInterval(displayFrameMs);
    connect(temperaturePlotRepaint, &QTimer::timeout, this, &MainWindow::drawHeldReadings);
}

// The readout changes with every reading. With room for the widest reading given once,
// its size never changes again: the window is not laid out anew for each reading and
// the rest of the status line does not shift as the digits change.
void MainWindow::reserveReadoutSize()
{
    QLabel *readout = ui->temperatureValue;
    const QFontMetrics metrics(readout->font());
    int textWidth = 0;
    for (const char *widest : {"-8888.888 K", "-0000.000 K", "unknown"})
        textWidth = qMax(textWidth, metrics.horizontalAdvance(QLatin1String(widest)));
    const int frame = 2 * (readout->margin() + readout->frameWidth());
    readout->setFixedSize(qMax(readout->minimumWidth(), textWidth + frame),
                          readout->sizeHint().height());
}

void MainWindow::setUpSensorPlot()
{
    sensorPlot = new QwtPlot(this);
    sensorPlot->setMinimumSize(plotMinimumSize);
    auto *layout = new QVBoxLayout;
    layout->addWidget(sensorPlot);
    ui->sensorPlotFrame->setLayout(layout);

    sensorCurve = new QwtPlotCurve(tr("Sensor"));
    sensorCurve->setPen(curvePen());
    sensorCurve->setYAxis(QwtPlot::yLeft);
    sensorCurve->attach(sensorPlot);

    sensorPlot->setTitle(tr("Sensor"));
    sensorPlot->enableAxis(QwtPlot::yLeft);
    sensorPlot->setAxisTitle(QwtPlot::yLeft, tr("V"));
    sensorPlot->setAxisTitle(QwtPlot::xBottom, tr("T"));

    sensorPlot->setAxisScaleEngine(QwtPlot::yLeft, new QwtLogScaleEngine(10));
    sensorPlot->setAxisAutoScale(QwtPlot::yLeft, true);
    sensorPlot->setAxisAutoScale(QwtPlot::xBottom, true);

    sensorPlot->insertLegend(new QwtLegend(), QwtPlot::RightLegend, -1.0);
}

void MainWindow::setUpRecording()
{
    recorder = new Recorder(this);
    recorder->setFolder(
        settings->value(QStringLiteral("/recording/folder"), Recorder::defaultFolder()).toString());
    const bool automatic = settings->value(QStringLiteral("/recording/automatic"), false).toBool();
    recorder->setAutomatic(automatic);
    ui->actionRecordAutomatically->setChecked(automatic);

    historyView = new HistoryView(ui->historyTab);
    ui->historyLayout->addWidget(historyView);

    recordingStatusLabel = new QLabel(this);
    recordingStatusLabel->setObjectName(QStringLiteral("recordingStatusLabel"));
    ui->statusBar->addPermanentWidget(recordingStatusLabel);
    recordingStatusUpdate = new QTimer(this);
    recordingStatusUpdate->setSingleShot(true);
    recordingStatusUpdate->setInterval(recordingStatusUpdateMs);
    connect(recordingStatusUpdate, &QTimer::timeout, this, &MainWindow::showRecordingStatus);

    connect(recorder, &Recorder::started, this, &MainWindow::recordingStarted);
    connect(recorder, &Recorder::stopped, this, &MainWindow::recordingStopped);
    connect(recorder, &Recorder::rowsWritten, this, &MainWindow::rowsRecorded);
}

void MainWindow::loadStoredSettings()
{
    fillCombo(
        ui->sensorCombo,
        {{tr("ZUR"), 0}, {tr("DT-400"), 1}, {tr("DT-670"), 2}, {tr("ASC"), 3}, {tr("Custom"), 16}});
    const int sensorIndex
        = sensorComboIndex(settings->value(QStringLiteral("/sensor-id"), 0).toInt());
    if (sensorIndex >= 0)
        ui->sensorCombo->setCurrentIndex(sensorIndex);
    ui->sensorNameValue->setText(ui->sensorCombo->currentText());

    const QList<QPair<QString, int>> offOn = {{tr("Off"), 0}, {tr("On"), 1}};
    const QList<QPair<QString, int>> disabledEnabled = {{tr("Disabled"), 0}, {tr("Enabled"), 1}};

    ui->relay1TempSpin->setValue(
        settings->value(QStringLiteral("/relay1-temperature"), 100.0).toDouble());
    ui->relay1HystSpin->setValue(
        settings->value(QStringLiteral("/relay1-hysteresis"), 10.0).toDouble());
    fillCombo(ui->relay1DefaultStateCombo, offOn);
    ui->relay1DefaultStateCombo->setCurrentIndex(
        settings->value(QStringLiteral("/relay1-default-state"), 0).toInt());

    ui->relay2TempSpin->setValue(
        settings->value(QStringLiteral("/relay2-temperature"), 150.0).toDouble());
    ui->relay2HystSpin->setValue(
        settings->value(QStringLiteral("/relay2-hysteresis"), 10.0).toDouble());
    fillCombo(ui->relay2DefaultStateCombo, offOn);
    ui->relay2DefaultStateCombo->setCurrentIndex(
        settings->value(QStringLiteral("/relay2-default-state"), 0).toInt());

    fillCombo(ui->rs232AutomaticOutputCombo, disabledEnabled);
    ui->rs232AutomaticOutputCombo->setCurrentIndex(
        settings->value(QStringLiteral("/rs232-automatic-output"), 0).toInt());
    ui->rs232OutputPeriodSpin->setValue(
        settings->value(QStringLiteral("/rs232-automatic-output-period"), 500.0).toDouble());

    fillCombo(ui->rs485AutomaticOutputCombo, disabledEnabled);
    ui->rs485AutomaticOutputCombo->setCurrentIndex(
        settings->value(QStringLiteral("/rs485-automatic-output"), 0).toInt());
    ui->rs485OutputPeriodSpin->setValue(
        settings->value(QStringLiteral("/rs485-automatic-output-period"), 500.0).toDouble());

    ui->sensorNameEdit->setText(
        settings->value(QStringLiteral("/custom-sensor-name"), QStringLiteral("Custom"))
            .toString());
    ui->sensorFileEdit->setText(
        settings->value(QStringLiteral("/custom-sensor-file"), QString()).toString());
}

void MainWindow::connectWidgets()
{
    const auto comboIndexChanged = QOverload<int>::of(&QComboBox::currentIndexChanged);
    const auto doubleSpinChanged = QOverload<double>::of(&QDoubleSpinBox::valueChanged);
    const auto intSpinChanged = QOverload<int>::of(&QSpinBox::valueChanged);

    connect(ui->serialPortsRefreshButton, &QPushButton::clicked, this,
            &MainWindow::serialPortsRefreshButtonClicked);
    connect(ui->serialPortCombo, comboIndexChanged, this, &MainWindow::portChoiceChanged);
    connect(ui->serialPortCombo, &QComboBox::editTextChanged, this, &MainWindow::portChoiceChanged);
    connect(ui->serialPortOpenButton, &QPushButton::clicked, this,
            &MainWindow::serialPortOpenButtonClicked);
    connect(ui->serialPortCloseButton, &QPushButton::clicked, this,
            &MainWindow::serialPortCloseButtonClicked);
    connect(ui->enableSerialOutputButton, &QPushButton::clicked, this,
            &MainWindow::enableSerialOutputButtonClicked);
    connect(ui->plotClearButton, &QPushButton::clicked, this, &MainWindow::plotClearButtonClicked);
    connect(ui->recordButton, &QPushButton::toggled, this, &MainWindow::recordToggled);
    connect(ui->actionRecord, &QAction::toggled, this, &MainWindow::recordToggled);
    connect(ui->actionRecordAutomatically, &QAction::toggled, this,
            &MainWindow::recordAutomaticallyToggled);
    connect(ui->actionRecordingFolder, &QAction::triggered, this,
            &MainWindow::recordingFolderTriggered);
    connect(ui->plotExportButton, &QPushButton::clicked, this,
            &MainWindow::plotExportButtonClicked);
    connect(ui->applyButton, &QPushButton::clicked, this, &MainWindow::applyButtonClicked);
    connect(ui->saveButton, &QPushButton::clicked, this, &MainWindow::saveButtonClicked);
    connect(ui->saveButton2, &QPushButton::clicked, this, &MainWindow::saveButtonClicked);
    connect(ui->sensorFileChooseButton, &QPushButton::clicked, this,
            &MainWindow::sensorFileChooseButtonClicked);
    connect(ui->sensorUploadButton, &QPushButton::clicked, this,
            &MainWindow::sensorUploadButtonClicked);
    connect(ui->sensorTransposeButton, &QPushButton::clicked, this,
            &MainWindow::sensorTransposeButtonClicked);
    connect(ui->sensorExportButton, &QPushButton::clicked, this,
            &MainWindow::sensorExportButtonClicked);
    connect(ui->upgradeButton, &QPushButton::clicked, this,
            &MainWindow::firmwareUpgradeButtonClicked);
    connect(ui->sensorCombo, comboIndexChanged, this, &MainWindow::sensorChanged);
    // Also the sensor read back from the instrument: the recording names what it measures.
    connect(ui->sensorCombo, &QComboBox::currentTextChanged, recorder, &Recorder::sensorChanged);
    connect(ui->relay1TempSpin, doubleSpinChanged, this, &MainWindow::relay1TempSpinChanged);
    connect(ui->relay2TempSpin, doubleSpinChanged, this, &MainWindow::relay2TempSpinChanged);
    connect(ui->relay1HystSpin, doubleSpinChanged, this, &MainWindow::relay1HystSpinChanged);
    connect(ui->relay2HystSpin, doubleSpinChanged, this, &MainWindow::relay2HystSpinChanged);
    connect(ui->relay1DefaultStateCombo, comboIndexChanged, this,
            &MainWindow::relay1DefaultStateChanged);
    connect(ui->relay2DefaultStateCombo, comboIndexChanged, this,
            &MainWindow::relay2DefaultStateChanged);
    connect(ui->rs232AutomaticOutputCombo, comboIndexChanged, this,
            &MainWindow::rs232AutomaticOutputChanged);
    // The period spin boxes show whole milliseconds; the value arrives truncated.
    connect(ui->rs232OutputPeriodSpin, doubleSpinChanged, this,
            &MainWindow::rs232OutputPeriodSpinChanged);
    connect(ui->rs485AutomaticOutputCombo, comboIndexChanged, this,
            &MainWindow::rs485AutomaticOutputChanged);
    connect(ui->rs485OutputPeriodSpin, doubleSpinChanged, this,
            &MainWindow::rs485OutputPeriodSpinChanged);
    connect(ui->displayRefreshSpin, intSpinChanged, this, &MainWindow::displayRefreshSpinChanged);
    connect(ui->adcCalibrationR1MeasureButton, &QPushButton::clicked, this,
            &MainWindow::adcCalibrationR1MeasureButtonClicked);
    connect(ui->adcCalibrationR2MeasureButton, &QPushButton::clicked, this,
            &MainWindow::adcCalibrationR2MeasureButtonClicked);
    connect(ui->adcCalibrationRealMasureButton, &QPushButton::clicked, this,
            &MainWindow::adcCalibrationRealMasureButtonClicked);
    connect(ui->adcCalibrationButton, &QPushButton::clicked, this,
            &MainWindow::adcCalibrationButtonClicked);
    connect(ui->adcCalibrationResetButton, &QPushButton::clicked, this,
            &MainWindow::adcCalibrationResetButtonClicked);
    connect(ui->adcCalibrationV1, doubleSpinChanged, this, &MainWindow::adcCalibrationValueChanged);
    connect(ui->adcCalibrationV2, doubleSpinChanged, this, &MainWindow::adcCalibrationValueChanged);
    connect(ui->actionQuit, &QAction::triggered, this, &MainWindow::quitTriggered);
    connect(ui->actionCheckForUpdates, &QAction::triggered, this,
            &MainWindow::checkForUpdatesTriggered);
    connect(ui->actionAbout, &QAction::triggered, this, &MainWindow::aboutTriggered);
    connect(ui->transferCancelButton, &QPushButton::clicked, this,
            &MainWindow::transferCancelButtonClicked);
}

void MainWindow::quitTriggered()
{
    serialPortCloseButtonClicked();
    close();
}

void MainWindow::checkForUpdatesTriggered() { }

void MainWindow::aboutTriggered()
{
    QMessageBox::about(this, tr("About rimeglass"),
                       tr("rimeglass %1\nTemperature monitor configuration tool\n\n"
                          "Firmware key: %2\nFirmware key fingerprint: %3")
                           .arg(BuildInfo::version(), BuildInfo::firmwareKeyDescription(),
                                BuildInfo::firmwareKeyFingerprint()));
}

// The settings slots store first and send second, and stay silent while values read
// back from the instrument are written into the widgets.

void MainWindow::sensorChanged(int)
{
    if (updatingFromDevice)
        return;
    const int sensorId = ui->sensorCombo->currentData(Qt::UserRole).toInt();
    settings->setValue(QStringLiteral("/sensor-id"), sensorId);
    ui->sensorNameValue->setText(ui->sensorCombo->currentText());
    const SettingsProtocol::Change change = SettingsProtocol::sensorChange(sensorId);
    if (!change.command.isEmpty())
        sendConfirmed(change.command, change.confirmation);
}

void MainWindow::relay1TempSpinChanged(double value)
{
    changeRelayValue(QStringLiteral("/relay1-temperature"), 1, false, value);
}

void MainWindow::relay2TempSpinChanged(double value)
{
    changeRelayValue(QStringLiteral("/relay2-temperature"), 2, false, value);
}

void MainWindow::relay1HystSpinChanged(double value)
{
    changeRelayValue(QStringLiteral("/relay1-hysteresis"), 1, true, value);
}

void MainWindow::relay2HystSpinChanged(double value)
{
    changeRelayValue(QStringLiteral("/relay2-hysteresis"), 2, true, value);
}

void MainWindow::relay1DefaultStateChanged(int)
{
    changeRelayDefaultState(QStringLiteral("/relay1-default-state"), 1,
                            ui->relay1DefaultStateCombo);
}

void MainWindow::relay2DefaultStateChanged(int)
{
    changeRelayDefaultState(QStringLiteral("/relay2-default-state"), 2,
                            ui->relay2DefaultStateCombo);
}

void MainWindow::rs232AutomaticOutputChanged(int)
{
    if (updatingFromDevice)
        return;
    const int enabled = ui->rs232AutomaticOutputCombo->currentData(Qt::UserRole).toInt();
    settings->setValue(QStringLiteral("/rs232-automatic-output"), enabled);
    // The shortcut on the Status tab is offered only while the output is off.
    ui->enableSerialOutputButton->setVisible(enabled == 0);
    sendRs232Period();
}

void MainWindow::rs232OutputPeriodSpinChanged(int)
{
    if (updatingFromDevice)
        return;
    settings->setValue(QStringLiteral("/rs232-automatic-output-period"),
                       ui->rs232OutputPeriodSpin->value());
    sendRs232Period();
}

void MainWindow::rs485AutomaticOutputChanged(int)
{
    if (updatingFromDevice)
        return;
    settings->setValue(QStringLiteral("/rs485-automatic-output"),
                       ui->rs485AutomaticOutputCombo->currentData(Qt::UserRole).toInt());
    sendRs485Period();
}

void MainWindow::rs485OutputPeriodSpinChanged(int)
{
    if (updatingFromDevice)
        return;
    settings->setValue(QStringLiteral("/rs485-automatic-output-period"),
                       ui->rs485OutputPeriodSpin->value());
    sendRs485Period();
}

void MainWindow::displayRefreshSpinChanged(int value)
{
    // Stored also when the value comes from the instrument; only the command is held back.
    settings->setValue(QStringLiteral("/display-refresh-period"), value);
    if (!updatingFromDevice) {
        const SettingsProtocol::Change change = SettingsProtocol::displayPeriodChange(value);
        sendConfirmed(change.command, change.confirmation);
    }
}

void MainWindow::changeRelayValue(const QString &key, int relay, bool hysteresis, double value)
{
    if (updatingFromDevice)
        return;
    settings->setValue(key, value);
    const SettingsProtocol::Change change
        = SettingsProtocol::relayValueChange(relay, hysteresis, value);
    sendConfirmed(change.command, change.confirmation);
}

void MainWindow::changeRelayDefaultState(const QString &key, int relay, const QComboBox *combo)
{
    if (updatingFromDevice)
        return;
    const int state = combo->currentData(Qt::UserRole).toInt();
    settings->setValue(key, state);
    const SettingsProtocol::Change change = SettingsProtocol::defaultStateChange(relay, state);
    sendConfirmed(change.command, change.confirmation);
}

void MainWindow::sendRs232Period()
{
    sendOutputPeriod("rs232",
                     outputPeriod(ui->rs232AutomaticOutputCombo, ui->rs232OutputPeriodSpin));
}

void MainWindow::sendRs485Period()
{
    sendOutputPeriod("rs485",
                     outputPeriod(ui->rs485AutomaticOutputCombo, ui->rs485OutputPeriodSpin));
}

void MainWindow::sendOutputPeriod(const char *output, int period)
{
    const SettingsProtocol::Change change
        = SettingsProtocol::outputPeriodChange(QString::fromLatin1(output), period);
    const bool sent = sendConfirmed(change.command, change.confirmation);
    // The readings now come at the period just set, not the one read back.
    if (sent && qstrcmp(output, "rs232") == 0)
        reportedRs232PeriodMs = period;
}

bool MainWindow::sendToDevice(const QString &command)
{
    if (!device)
        return false;
    device->serialSendCommand(command);
    return true;
}

// Tells the operator briefly what went to the instrument; nothing when no port is open.
bool MainWindow::sendConfirmed(const QString &command, const QString &confirmation)
{
    if (!sendToDevice(command))
        return false;
    ui->statusBar->showMessage(confirmation, confirmationNoticeMs);
    return true;
}

void MainWindow::serialPortsRefreshButtonClicked()
{
    const QString remembered
        = settings->value(QStringLiteral("/serial/port-name"), QStringLiteral("COM1")).toString();
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    const SerialPortLinks links;

    rebuildingPortList = true;
    QComboBox *combo = ui->serialPortCombo;
    combo->clear();
    for (const QSerialPortInfo &port : ports) {
        appendPortItem(port.portName(),
                       serialPortItemText(port.portName(), port.manufacturer(), port.description(),
                                          port.serialNumber()),
                       links.linkTo(port.systemLocation()), remembered);
    }
    for (const auto &extra : qAsConst(extraPorts)) {
        appendPortItem(extra.first,
                       serialPortItemText(extra.first, QString(), extra.second, QString()),
                       QString(), remembered);
    }
    // A path the operator typed is never listed: it goes back into the box as typed. A
    // port waited for stays in the box while it is away.
    if (combo->findData(remembered) < 0 && SerialPortLinks::isPath(remembered))
        combo->setEditText(remembered);
    if (!awaitedPortName.isEmpty() && portNameToOpen() != awaitedPortName)
        combo->setEditText(awaitedPortName);
    rebuildingPortList = false;
}

void MainWindow::appendPortItem(const QString &portName, const QString &text,
                                const QString &toolTip, const QString &remembered)
{
    QComboBox *combo = ui->serialPortCombo;
    combo->insertItem(combo->count(), text, portName);
    if (!toolTip.isEmpty())
        combo->setItemData(combo->count() - 1, toolTip, Qt::ToolTipRole);
    if (portName == remembered)
        combo->setCurrentIndex(combo->count() - 1);
}

void MainWindow::addExtraPort(const QString &portName, const QString &description)
{
    extraPorts.append(qMakePair(portName, description));
    serialPortsRefreshButtonClicked();
    ui->serialPortCombo->setCurrentIndex(ui->serialPortCombo->findData(portName));
}

// The chosen item's port, or what the operator typed when it is none of the items.
QString MainWindow::portNameToOpen() const
{
    const QComboBox *combo = ui->serialPortCombo;
    const int index = combo->currentIndex();
    if (index >= 0 && combo->currentText() == combo->itemText(index))
        return combo->itemData(index, Qt::UserRole).toString();
    return combo->currentText().trimmed();
}

void MainWindow::serialPortOpenButtonClicked()
{
    if (device)
        return;
    const QString name = portNameToOpen();
    if (name.isEmpty())
        return;
    stopWaitingForPort();
    openNamedPort(name, true);
}

bool MainWindow::openNamedPort(const QString &name, bool reportFailure)
{
    qDebug() << "Opening port" << name << "...";
    device = new Device(this);
    if (!device->openPort(name)) {
        if (reportFailure)
            showOpenFailure(name);
        device->close();
        device->deleteLater();
        device = nullptr;
        return false;
    }

    openedPortName = name;
    announceReadBack = true;
    instrumentIdentified = false;
    showIdentificationState();
    reportedRs232PeriodMs = 0;
    adcPoint1Measured = false;
    adcPoint2Measured = false;
    showCalibrateAvailability();
    ui->serialPortCombo->setToolTip(QString());
    updateAvailability(true);
    settings->setValue(QStringLiteral("/serial/port-name"), name);
    ui->statusBar->showMessage(tr("Ready"));

    connect(device, &Device::deviceReset, this, &MainWindow::deviceReset);
    connect(device, &Device::deviceRestarted, this, &MainWindow::deviceRestarted);
    connect(device, &Device::identified, this, &MainWindow::deviceIdentified);
    connect(device, &Device::temperatureChanged, this, &MainWindow::temperatureChanged);
    connect(device, &Device::progress, this, &MainWindow::deviceProgress);
    connect(device, &Device::parameterReceived, this, &MainWindow::deviceParameterReceived);
    connect(device, &Device::transferFinished, this, &MainWindow::deviceTransferFinished);
    connect(device, &Device::transferFailed, this, &MainWindow::deviceTransferFailed);
    connect(device->port, &QSerialPort::errorOccurred, this, &MainWindow::portErrorOccurred);
    readoutAgeCheck->start();
    return true;
}

void MainWindow::showOpenFailure(const QString &name)
{
    const QString reason
        = PortOpenFailure::operatorText(device->port->error(), device->port->errorString(), name);
    ui->statusBar->showMessage(reason);
    ui->serialPortCombo->setToolTip(reason);
}

void MainWindow::serialPortCloseButtonClicked()
{
    if (!device && awaitedPortName.isEmpty())
        return;

    stopWaitingForPort();
    if (device)
        discardDevice();
    recorder->connectionEnded(false);
    updateAvailability(false);
    ui->statusBar->showMessage(tr("Port closed"));
}

void MainWindow::discardDevice()
{
    qDebug() << "Closing port ...";
    // The member is cleared first and the port's errors are let go, so that an error the
    // port reports while closing cannot come back here for the same device.
    Device *closing = device;
    device = nullptr;
    if (closing->port)
        closing->port->disconnect(this);
    closing->close();
    closing->deleteLater();
    ui->transferCancelButton->setEnabled(false);
    readoutAgeCheck->stop();
    if (temperaturePlotRepaint->isActive())
        repaintTemperaturePlotNow(); // no more readings: the last ones are drawn now
    forgetInstrument();
}

// Nothing answers on a closed port: the fields must not show the last instrument as if
// it still did. The plot keeps its history.
void MainWindow::forgetInstrument()
{
    instrumentIdentified = false;
    for (QLineEdit *field : {ui->modelValue, ui->versionValue, ui->serialNumberValue})
        field->setText(QStringLiteral("-"));
    ui->temperatureValue->setText(QStringLiteral("-"));
    lastReadingClock.invalidate();
    showReadoutAge(0);
    showIdentificationState();
}

void MainWindow::showIdentificationState()
{
    const QString tip = instrumentIdentified ? QString() : tr(noInstrumentTip);
    ui->sensorUploadButton->setToolTip(tip);
    ui->upgradeButton->setToolTip(tip);
    showRecordingState();
}

// The file is named after the serial number the application firmware identified itself
// with; the boot loader sends no readings.
bool MainWindow::canStartRecording() const
{
    return instrumentIdentified && device && !device->bootstrap;
}

void MainWindow::portErrorOccurred(QSerialPort::SerialPortError error)
{
    // A resource error means the port went away under us (the adapter was unplugged):
    // nothing more can be read or written. A line whose far end hung up (the instrument's
    // side of a pseudo-terminal closed) reports read errors instead, one after the other,
    // until something is written; it is gone just the same.
    const bool gone = error == QSerialPort::ResourceError
        || (error == QSerialPort::ReadError && device && device->portHungUp());
    if (gone && device)
        portLost();
}

// The connection is given up as by Close, but the window keeps looking for the port and
// opens it again when it is back (the adapter plugged in again).
void MainWindow::portLost()
{
    const QString name = openedPortName;
    discardDevice();
    recorder->connectionEnded(true);
    updateAvailability(false);
    ui->serialPortCloseButton->setEnabled(true);
    awaitedPortName = name;
    ui->statusBar->showMessage(tr("Port lost \u2014 waiting for %1 to come back").arg(name));
    portReturnPoll->start();
}

void MainWindow::checkLostPortBack()
{
    if (device || awaitedPortName.isEmpty()) {
        stopWaitingForPort();
        return;
    }
    // A port that is listed again may still refuse to open for a moment; the next poll
    // tries again.
    if (SerialPortLinks::isPresent(awaitedPortName) && openNamedPort(awaitedPortName, false))
        stopWaitingForPort();
}

void MainWindow::stopWaitingForPort()
{
    awaitedPortName.clear();
    portReturnPoll->stop();
}

// The operator picked or typed another port than the one the window waits for.
void MainWindow::portChoiceChanged()
{
    if (rebuildingPortList || awaitedPortName.isEmpty() || portNameToOpen() == awaitedPortName)
        return;
    stopWaitingForPort();
    recorder->connectionEnded(false);
    updateAvailability(false);
    ui->statusBar->showMessage(tr("Port closed"));
}

void MainWindow::enableSerialOutputButtonClicked()
{
    ui->rs232AutomaticOutputCombo->setCurrentIndex(1);
}

void MainWindow::plotClearButtonClicked()
{
    pointTimes.clear();
    pointAges.clear();
    pointTemperatures.clear();
    showTemperatureHistory();
    repaintTemperaturePlotNow();
}

void MainWindow::plotExportButtonClicked()
{
    const QString lastPathKey = QStringLiteral("/ui/plot-export-last-path");
    const QString path
        = chooseFileToSave(settings->value(lastPathKey).toString(), plotExportNameFilter());
    if (path.isEmpty())
        return;
    settings->setValue(lastPathKey, QFileInfo(path).absolutePath());
    QString error;
    if (temperaturePlotRepaint->isActive())
        repaintTemperaturePlotNow(); // the file gets the axes of the latest points
    if (!exportPlot(temperaturePlot, path, &error))
        QMessageBox::warning(this, tr("Export plot"), error);
}

void MainWindow::recordToggled(bool on)
{
    // Putting the other Record control in step comes back here with nothing to do.
    if (on && !recorder->isRecording() && canStartRecording())
        recorder->start(recorder->folder());
    else if (!on && recorder->isRecording())
        recorder->stop();
    showRecordingState();
}

void MainWindow::recordAutomaticallyToggled(bool on)
{
    settings->setValue(QStringLiteral("/recording/automatic"), on);
    recorder->setAutomatic(on);
}

void MainWindow::recordingFolderTriggered()
{
    QFileDialog dialog;
    dialog.setWindowTitle(tr("Recording folder"));
    dialog.setDirectory(recorder->folder());
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString folder = dialog.selectedFiles().constFirst();
    settings->setValue(QStringLiteral("/recording/folder"), folder);
    recorder->setFolder(folder);
}

void MainWindow::recordingStarted()
{
    recordingStatusUpdate->stop();
    showRecordingState();
}

void MainWindow::recordingStopped(const QString &errorText)
{
    recordingStatusUpdate->stop();
    showRecordingState();
    if (errorText.isEmpty())
        return;
    ui->statusBar->showMessage(errorText);
    // A failed write is found while a reading is handled, deep in the port's read: the
    // box's event loop must not run there, where it could delete the device under it.
    QTimer::singleShot(
        0, this, [this, errorText] { QMessageBox::warning(this, tr("Recording"), errorText); });
}

void MainWindow::showRecordingState()
{
    const bool recording = recorder->isRecording();
    ui->recordButton->setChecked(recording);
    ui->actionRecord->setChecked(recording);
    const bool available = recording || canStartRecording();
    ui->recordButton->setEnabled(available);
    ui->actionRecord->setEnabled(available);
    ui->recordButton->setToolTip(available ? QString() : tr(recordNeedsInstrumentTip));
    showRecordingStatus();
}

// Shows the count at once, then holds back until the update interval has passed.
void MainWindow::rowsRecorded()
{
    if (recordingStatusUpdate->isActive())
        return;
    showRecordingStatus();
    recordingStatusUpdate->start();
}

void MainWindow::showRecordingStatus()
{
    if (!recorder->isRecording()) {
        recordingStatusLabel->clear();
        return;
    }
    const qint64 rows = recorder->rowCount();
    const QString count = QLocale(QLocale::English).toString(rows);
    const QString fileName = QFileInfo(recorder->filePath()).fileName();
    recordingStatusLabel->setText(rows == 1 ? tr("Recording %1: %2 row").arg(fileName, count)
                                            : tr("Recording %1: %2 rows").arg(fileName, count));
}

void MainWindow::applyButtonClicked() { }

void MainWindow::saveButtonClicked()
{
    sendConfirmed(QStringLiteral(":save\n"), tr("Settings saved in the instrument"));
}

void MainWindow::sensorFileChooseButtonClicked()
{
    const QString path = chooseFileToOpen(
        QStringLiteral("/ui/sensor-file-last-path"),
        tr("Data files (*.cal *.dat *.tab *.txt);;Curve files (*.340);;All files (*.*)"));
    if (path.isEmpty())
        return;
    ui->sensorFileEdit->setText(path);

    const CurveFile file = CurveFile::fromFile(path);
    calibrationTemperatures = file.table.temperatures;
    calibrationVoltages = file.table.voltages;
    for (int i = 0; i < calibrationTemperatures.size(); ++i)
        qDebug("calibration data: %lf, %lf", calibrationTemperatures.at(i),
               calibrationVoltages.at(i));
    calibrationFileNotes = file.refusal.isEmpty() ? file.warnings : QStringList{file.refusal};
    if (file.refusal.isEmpty() && ui->sensorNameEdit->text().isEmpty())
        ui->sensorNameEdit->setText(file.serialNumber);
    showCalibrationTable();
    if (!file.refusal.isEmpty())
        QMessageBox::warning(this, tr("Calibration file"), file.refusal);
}

void MainWindow::sensorUploadButtonClicked()
{
    if (!device)
        return;
    if (calibrationTemperatures.isEmpty() && !confirmEmptyTableUpload())
        return;
    const QByteArray payload = CalibrationTable::encodePayload(
        ui->sensorNameEdit->text(), calibrationTemperatures, calibrationVoltages);
    if (!device->uploadCalibration(payload)) {
        showTransferRefused();
        return;
    }
    transferSuccessText = TransferReport::calibrationSuccessText(ui->sensorNameEdit->text(),
                                                                 calibrationTemperatures.size());
    ui->transferCancelButton->setEnabled(true);
}

// An empty table erases the instrument's custom curve and stores none.
bool MainWindow::confirmEmptyTableUpload()
{
    return QMessageBox::question(this, TransferReport::title(Device::Transfer::Calibration),
                                 tr("The table has no points. Uploading it erases the "
                                    "instrument's custom curve. Upload anyway?"),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes;
}

void MainWindow::sensorTransposeButtonClicked()
{
    if (calibrationTemperatures.isEmpty())
        return;
    calibrationTemperatures.swap(calibrationVoltages);
    showCalibrationTable();
}

void MainWindow::sensorExportButtonClicked()
{
    const QString path
        = chooseFileToSave(settings->value(QStringLiteral("/ui/sensor-file-last-path")).toString(),
                           tr("Curve files (*.340)"));
    if (path.isEmpty())
        return;
    // The table as Upload would send it, under the name it would carry.
    const QByteArray contents = CurveFile::toFileData(ui->sensorNameEdit->text(),
                                                      calibrationTemperatures, calibrationVoltages);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size()
        || !file.commit())
        QMessageBox::warning(
            this, tr("Calibration file"),
            tr("Cannot write %1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
}

void MainWindow::showCalibrationTable()
{
    sensorCurve->setSamples(calibrationTemperatures.constData(), calibrationVoltages.constData(),
                            calibrationTemperatures.size());
    sensorPlot->replot();

    QStringList lines{CurveFile::summary(calibrationTemperatures, calibrationVoltages)};
    lines += calibrationFileNotes;
    const QString monotonicity
        = CurveFile::monotonicityWarning(calibrationTemperatures, calibrationVoltages);
    if (!monotonicity.isEmpty())
        lines.append(monotonicity);
    ui->sensorTableSummaryLabel->setText(lines.join(QLatin1Char('\n')));
}

QString MainWindow::chooseFileToOpen(const QString &lastPathKey, const QString &nameFilter)
{
    const QString lastPath = settings->value(lastPathKey, QString()).toString();
    QFileDialog dialog;
    if (!lastPath.isEmpty())
        dialog.setDirectory(lastPath);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(nameFilter);
    if (dialog.exec() != QDialog::Accepted)
        return QString();

    // The directory the operator ended up in, not the one the dialog started from.
    settings->setValue(lastPathKey, dialog.directory().path());
    return dialog.selectedFiles().value(0);
}

// A name typed without a suffix gets the one of the file type chosen in the dialog.
QString MainWindow::chooseFileToSave(const QString &startDirectory, const QString &nameFilter)
{
    QFileDialog dialog;
    if (!startDirectory.isEmpty())
        dialog.setDirectory(startDirectory);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(nameFilter);
    dialog.setDefaultSuffix(filterSuffix(dialog.selectedNameFilter()));
    connect(&dialog, &QFileDialog::filterSelected, &dialog,
            [&dialog](const QString &filter) { dialog.setDefaultSuffix(filterSuffix(filter)); });
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.selectedFiles().value(0);
}

void MainWindow::showTransferRefused()
{
    // The calibration upload and the firmware upgrade share the link's transfer buffer;
    // one must finish (or the port be reopened) before the other may start.
    ui->statusBar->showMessage(tr("Another transfer is in progress"), transferRefusedNoticeMs);
}

void MainWindow::firmwareUpgradeButtonClicked()
{
    if (!device)
        return;
    if (!instrumentIdentified) {
        QMessageBox::information(this, tr("Firmware upgrade"),
                                 tr("No instrument has identified itself on this port yet. The "
                                    "upgrade needs its model and hardware revision: check the "
                                    "cable and the port, then open it again."));
        return;
    }
    const QString path = chooseFileToOpen(QStringLiteral("/ui/firmware-upgrade-last-path"),
                                          tr("Firmware files (*.crp)"));
    // The port may have gone away while the dialog was open.
    if (path.isEmpty() || !device)
        return;

    const QByteArray revision = device->compat;
    QString unreadable;
    const std::unique_ptr<Firmware> firmware(
        Firmware::fromFileData(InputFile::read(path, &unreadable), revision));
    if (!firmware->valid()) {
        QMessageBox::critical(this, tr("Firmware upgrade"),
                              unreadable.isEmpty() ? tr("Invalid or unsupported firmware file")
                                                   : unreadable,
                              QMessageBox::Ok, QMessageBox::Ok);
        return;
    }
    if (firmware->blob().isEmpty()) {
        QMessageBox::critical(this, tr("Firmware upgrade"),
                              tr("The firmware file holds an empty image for this instrument"),
                              QMessageBox::Ok, QMessageBox::Ok);
        return;
    }

    qDebug() << "firmware vendor:" << firmware->vendor();
    qDebug() << "firmware model:" << firmware->model();
    qDebug() << "firmware version:" << firmware->version();
    qDebug() << "firmware blob size:" << firmware->blob().size();

    const QString installed = device->version;
    QMessageBox question(QMessageBox::Question, tr("Firmware upgrade"),
                         FirmwareVersion::upgradeQuestion(installed, firmware->version()),
                         QMessageBox::Yes | QMessageBox::No, this);
    question.setDefaultButton(QMessageBox::Yes);
    // Anyone can sign a container that a development-key build accepts.
    if (BuildInfo::trustsDevelopmentKey())
        question.setInformativeText(tr("This build accepts containers signed with the "
                                       "published development seed."));
    question.exec();
    const QMessageBox::StandardButton answer = question.standardButton(question.clickedButton());
    if (answer != QMessageBox::Yes || !device)
        return;
    if (!device->upgradeFirmware(firmware->blob(), revision)) {
        showTransferRefused();
        return;
    }
    transferSuccessText = TransferReport::firmwareSuccessText(
        firmware->version(), FirmwareVersion::compare(installed, firmware->version()) > 0);
    ui->transferCancelButton->setEnabled(true);
}

void MainWindow::deviceTransferFinished()
{
    ui->transferCancelButton->setEnabled(false);
    ui->statusBar->showMessage(transferSuccessText);
}

void MainWindow::deviceTransferFailed(const Device::TransferFailureReport &report)
{
    ui->transferCancelButton->setEnabled(false);
    // The bar keeps how far it got, marked as failed rather than left frozen.
    ui->progressBar->setFormat(tr("Failed at %p%"));
    ui->statusBar->showMessage(tr("%1 failed").arg(TransferReport::title(report.transfer)));
    // The report comes from inside the link's handling of a line or of its port closing;
    // the box's own event loop must not run there, where it could delete the link.
    const QString title = TransferReport::title(report.transfer);
    const QString text = TransferReport::failureText(report);
    QTimer::singleShot(0, this, [this, title, text] {
        QMessageBox::critical(this, title, text, QMessageBox::Ok, QMessageBox::Ok);
    });
}

void MainWindow::transferCancelButtonClicked()
{
    if (device)
        device->cancelTransfer();
}

void MainWindow::adcCalibrationR1MeasureButtonClicked()
{
    if (!device)
        return;
    adcMeasureTarget = 0;
    device->measureUncalibrated();
}

void MainWindow::adcCalibrationR2MeasureButtonClicked()
{
    if (!device)
        return;
    adcMeasureTarget = 1;
    device->measureUncalibrated();
}

// Fits real = slope * (adc + offset) through the two points once both are measured;
// points too close together leave the previous result in place.
void MainWindow::adcCalibrationValueChanged(double)
{
    realVoltage1 = ui->adcCalibrationV1->value();
    realVoltage2 = ui->adcCalibrationV2->value();
    showCalibrateAvailability();
    if (!adcPoint1Measured || !adcPoint2Measured)
        return;

    const double adcDifference = adcVoltage1 - adcVoltage2;
    if (std::fabs(adcDifference) < adcPointTolerance)
        return;
    const double realDifference = realVoltage1 - realVoltage2;
    if (std::fabs(realDifference) < adcPointTolerance)
        return;

    adcSlope = realDifference / adcDifference;
    adcOffset = realVoltage1 / adcSlope - adcVoltage1;
    ui->adcCalibrationSlope->setText(QString::asprintf("%11.9lf", adcSlope));
    ui->adcCalibrationOffset->setText(voltsText(adcOffset));
    showCalibrateAvailability();
}

// What keeps the fit from being sent, in the operator's words; empty when it is usable.
QString MainWindow::calibrationProblem() const
{
    if (!adcPoint1Measured)
        return tr("Measure ADC voltage 1");
    if (!adcPoint2Measured)
        return tr("Measure ADC voltage 2");
    if (std::fabs(realVoltage1 - realVoltage2) < adcPointTolerance)
        return tr("The two real voltages must differ");
    if (std::fabs(adcVoltage1 - adcVoltage2) < adcPointTolerance)
        return tr("The two measured voltages must differ");
    if (!std::isfinite(adcSlope) || !std::isfinite(adcOffset) || adcSlope <= 0.0)
        return tr("The fitted slope is not positive");
    return QString();
}

void MainWindow::showCalibrateAvailability()
{
    const QString problem = calibrationProblem();
    ui->adcCalibrationButton->setEnabled(problem.isEmpty());
    ui->adcCalibrationButton->setToolTip(problem);
}

void MainWindow::adcCalibrationRealMasureButtonClicked()
{
    if (device)
        device->measureCalibrated();
}

void MainWindow::adcCalibrationButtonClicked()
{
    if (device && calibrationProblem().isEmpty())
        device->sendADCCalibration(adcOffset, adcSlope);
}

void MainWindow::adcCalibrationResetButtonClicked()
{
    if (!device)
        return;
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Reset calibration"),
        tr("Clear the instrument's voltage calibration? It then reports uncalibrated voltages "
           "until it is calibrated again."),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    // The port may have gone away while the question was open.
    if (answer == QMessageBox::Yes && device)
        device->sendADCCalibration(0.0, 0.0);
}

// An uncalibrated reading, in microvolts, for the point whose Measure was pressed last.
void MainWindow::adcVoltageReceived(const QString &value)
{
    int microvolts = 0;
    if (!toInteger(value, &microvolts))
        return;
    const double volts = microvolts / microvoltsPerVolt;
    if (adcMeasureTarget == 0) {
        adcVoltage1 = volts;
        adcPoint1Measured = true;
        ui->adcCalibrationR1->setText(voltsText(volts));
        adcCalibrationValueChanged(volts);
    } else if (adcMeasureTarget == 1) {
        adcVoltage2 = volts;
        adcPoint2Measured = true;
        ui->adcCalibrationR2->setText(voltsText(volts));
        adcCalibrationValueChanged(volts);
    }
    adcMeasureTarget = -1;
}

// A calibrated reading in microvolts, followed by " C" when the instrument holds a
// calibration and by " U" (or nothing) when it does not.
void MainWindow::calibratedVoltageReceived(const QString &value)
{
    QString number = value;
    const char *state = "uncalibrated";
    if (value.endsWith(QLatin1String(" C"))) {
        number.chop(2);
        state = "calibrated";
    } else if (value.endsWith(QLatin1String(" U"))) {
        number.chop(2);
    }
    int microvolts = 0;
    if (!toInteger(number, &microvolts))
        return;
    ui->adcCalibrationRealValue->setText(
        QString::asprintf("%8.6lf V (%s)", microvolts / microvoltsPerVolt, state));
}

void MainWindow::deviceIdentified()
{
    if (!device)
        return;

    ui->modelValue->setText(device->model);
    ui->serialNumberValue->setText(device->serialNumber);
    ui->versionValue->setText(device->version);
    instrumentIdentified = true;
    showIdentificationState();
    qDebug() << "Device model" << device->model << "version" << device->version << "serial number"
             << device->serialNumber;

    // The boot loader has no settings to read back; a read-back left unfinished by the
    // application firmware ends here, so that no settings query reaches the boot loader.
    if (device->bootstrap) {
        getParametersStage = -1;
        return;
    }
    const RecordingFile::Instrument instrument{device->model, device->serialNumber, device->version,
                                               ui->sensorCombo->currentText()};
    historyView->setInstrument(instrument);
    recorder->instrumentIdentified(instrument.model, instrument.serialNumber, instrument.version,
                                   instrument.sensor);
    getParametersStage = 0;
    getParameters();
}

void MainWindow::deviceReset()
{
    ui->statusBar->showMessage(tr("Device reset"), resetNoticeMs);
}

void MainWindow::deviceRestarted() { }

void MainWindow::temperatureChanged(double value)
{
    lastTemperature = value;
    holdReadoutWithinFrame();
    ui->temperatureValue->setText(readoutText(value));
    lastReadingClock.start();
    showReadoutAge(0);
    pushPoint();
    historyView->addReading(QDateTime::currentDateTimeUtc(), value);
    recorder->addReading(value);
}

qint64 MainWindow::staleReadoutLimitMs() const
{
    return qMax<qint64>(qint64(staleReadoutPeriods) * reportedRs232PeriodMs, staleReadoutFloorMs);
}

void MainWindow::showReadoutAge(qint64 ageMs)
{
    QLabel *readout = ui->temperatureValue;
    if (ageMs <= staleReadoutLimitMs()) {
        // Called for every reading: a label cleared again still asks for a new layout of
        // the whole tab, so only a readout shown stale is changed back.
        if (readout->testAttribute(Qt::WA_SetPalette))
            readout->setPalette(QPalette());
        if (!ui->temperatureAgeLabel->text().isEmpty())
            ui->temperatureAgeLabel->clear();
        return;
    }
    QPalette greyed = readout->palette();
    greyed.setColor(QPalette::WindowText, greyed.color(QPalette::Disabled, QPalette::WindowText));
    readout->setPalette(greyed);
    ui->temperatureAgeLabel->setText(tr("last reading %1 s ago").arg(ageMs / 1000));
}

void MainWindow::checkReadoutAge()
{
    if (lastReadingClock.isValid())
        showReadoutAge(lastReadingClock.elapsed());
}

void MainWindow::deviceProgress(int state, int stateMax)
{
    // Widened so that a large transfer cannot overflow the percentage; a total of zero
    // or less counts as done rather than dividing by it.
    int percent = 100;
    if (stateMax > 0)
        percent = int(qMin<qint64>((qint64(state) + 1) * 100 / stateMax, 100));
    ui->progressBar->setFormat(QStringLiteral("%p%"));
    ui->progressBar->setValue(percent);
}

void MainWindow::deviceParameterReceived(const QString &key, const QString &value)
{
    qDebug() << "deviceParameterReceived(): key =" << key << ", value = " << value;

    // The widgets' change slots see the flag and neither store nor send these values.
    updatingFromDevice = true;
    applyParameter(key, value);
    updatingFromDevice = false;

    // Any report answers the query in flight, whatever its key.
    if (getParametersStage != -1) {
        ++getParametersStage;
        getParameters();
    }
}

void MainWindow::applyParameter(const QString &key, const QString &value)
{
    int number = 0;
    double real = 0.0;
    if (key == QLatin1String("cal")) {
        applySensorKeyword(value);
    } else if (key == QLatin1String("rs232:period")) {
        applyRs232Period(value);
    } else if (key == QLatin1String("rs485:period")) {
        applyRs485Period(value);
    } else if (key == QLatin1String("relay1:default")) {
        if (toInteger(value, &number))
            ui->relay1DefaultStateCombo->setCurrentIndex(number);
    } else if (key == QLatin1String("relay2:default")) {
        if (toInteger(value, &number))
            ui->relay2DefaultStateCombo->setCurrentIndex(number);
    } else if (key == QLatin1String("relay1:temp")) {
        if (toFiniteDouble(value, &real))
            ui->relay1TempSpin->setValue(real);
    } else if (key == QLatin1String("relay1:hyst")) {
        if (toFiniteDouble(value, &real))
            ui->relay1HystSpin->setValue(real);
    } else if (key == QLatin1String("relay2:temp")) {
        if (toFiniteDouble(value, &real))
            ui->relay2TempSpin->setValue(real);
    } else if (key == QLatin1String("relay2:hyst")) {
        if (toFiniteDouble(value, &real))
            ui->relay2HystSpin->setValue(real);
    } else if (key == QLatin1String("display:period")) {
        if (toInteger(value, &number))
            ui->displayRefreshSpin->setValue(number);
    } else if (key == QLatin1String("Vunc")) {
        adcVoltageReceived(value);
    } else if (key == QLatin1String("Vcor")) {
        calibratedVoltageReceived(value);
    }
}

void MainWindow::applySensorKeyword(const QString &keyword)
{
    const int index = sensorComboIndex(SettingsProtocol::sensorIdOfKeyword(keyword));
    if (index >= 0)
        ui->sensorCombo->setCurrentIndex(index);
    // sensorChanged is silent during a read-back, so the name is refreshed here.
    ui->sensorNameValue->setText(ui->sensorCombo->currentText());
}

void MainWindow::applyRs232Period(const QString &value)
{
    int period = 0;
    if (!toInteger(value, &period))
        return;
    showOutputPeriod(ui->rs232AutomaticOutputCombo, ui->rs232OutputPeriodSpin, period);
    reportedRs232PeriodMs = qMax(period, 0);
    ui->enableSerialOutputButton->setVisible(period == 0);
}

void MainWindow::applyRs485Period(const QString &value)
{
    int period = 0;
    if (toInteger(value, &period))
        showOutputPeriod(ui->rs485AutomaticOutputCombo, ui->rs485OutputPeriodSpin, period);
}

void MainWindow::updateAvailability(bool connected)
{
    ui->serialPortCombo->setEnabled(!connected);
    ui->serialPortOpenButton->setEnabled(!connected);
    ui->serialPortCloseButton->setEnabled(connected);
    ui->applyButton->setEnabled(connected);
    ui->sensorUploadButton->setEnabled(connected);
    ui->upgradeButton->setEnabled(connected);
}

void MainWindow::getParameters()
{
    qDebug() << "getParameters(): getParametersStage =" << getParametersStage;
    if (getParametersStage < 0 || getParametersStage >= SettingsProtocol::readBackStageCount()) {
        // Only the read-back that follows an Open is announced: after a restart (the end
        // of an upgrade) the transfer's outcome stays on show.
        if (getParametersStage == SettingsProtocol::readBackStageCount() && announceReadBack) {
            announceReadBack = false;
            ui->statusBar->showMessage(tr("Settings read from the instrument"));
        }
        getParametersStage = -1;
        return;
    }
    sendToDevice(SettingsProtocol::readBackQuery(getParametersStage));
}

void MainWindow::pushPoint()
{
    const double now = plotClock.elapsed() / 1000.0;

    if (pointTimes.size() >= maxPoints)
        pointTimes.removeFirst();
    if (pointAges.size() >= maxPoints)
        pointAges.removeFirst();
    if (pointTemperatures.size() >= maxPoints)
        pointTemperatures.removeFirst();

    pointTimes.append(now);
    pointAges.append(now);
    pointTemperatures.append(lastTemperature);

    for (int i = 0; i < pointTimes.size(); ++i)
        pointAges[i] = pointTimes.at(i) - now;

    showTemperatureHistory();
    repaintTemperaturePlotWithinFrame();
}

void MainWindow::showTemperatureHistory()
{
    temperatureCurve->setSamples(pointAges.constData(), pointTemperatures.constData(),
                                 pointTemperatures.size());
}

void MainWindow::repaintTemperaturePlotWithinFrame()
{
    temperaturePlotStale = true;
    if (!temperaturePlotRepaint->isActive())
        temperaturePlotRepaint->start();
}

// The first reading after a quiet frame is shown at once; the ones after it, until the
// frame ends, only change the readout's text, and the frame's end shows the last.
void MainWindow::holdReadoutWithinFrame()
{
    QLabel *readout = ui->temperatureValue;
    if (temperaturePlotRepaint->isActive() && readout->updatesEnabled())
        readout->setUpdatesEnabled(false);
}

// The end of a frame: what readings came during it is drawn, and the next frame waits
// for its own end, so that a steady stream is drawn once a frame.
void MainWindow::drawHeldReadings()
{
    QLabel *readout = ui->temperatureValue;
    const bool readoutHeld = !readout->updatesEnabled();
    const bool held = readoutHeld || temperaturePlotStale;
    if (temperaturePlotStale) {
        temperaturePlotStale = false;
        redrawTemperaturePlot();
    }
    if (readoutHeld) {
        // Drawn now, with the plot in the same pass: the next reading may come before
        // a later pass and hold the readout again.
        readout->setUpdatesEnabled(true);
        readout->repaint();
    }
    if (held)
        temperaturePlotRepaint->start();
}

// A frame's new points seldom move the automatic axes: when the divisions QwtPlot would
// work out for them (as QwtPlot::updateAxes does) are the ones shown, only the canvas
// is drawn, sparing the tick labels' measuring and the plot's layout.
void MainWindow::redrawTemperaturePlot()
{
    auto *canvas = qobject_cast<QwtPlotCanvas *>(temperaturePlot->canvas());
    if (canvas && temperatureAxesKeepTheirDivisions())
        canvas->replot();
    else
        temperaturePlot->replot();
}

bool MainWindow::temperatureAxesKeepTheirDivisions() const
{
    const QRectF bounds = temperatureCurve->boundingRect();
    if (bounds.width() < 0.0 || bounds.height() < 0.0)
        return false;
    const QPair<int, QwtInterval> axes[] = {
        {QwtPlot::xBottom, QwtInterval(bounds.left(), bounds.right())},
        {QwtPlot::yLeft, QwtInterval(bounds.top(), bounds.bottom())},
    };
    for (const auto &axis : axes) {
        const int id = axis.first;
        const QwtScaleEngine *engine = temperaturePlot->axisScaleEngine(id);
        const int maxMajor = temperaturePlot->axisMaxMajor(id);
        double lower = axis.second.minValue();
        double upper = axis.second.maxValue();
        double step = 0.0;
        engine->autoScale(maxMajor, lower, upper, step);
        if (engine->divideScale(lower, upper, maxMajor, temperaturePlot->axisMaxMinor(id), step)
            != temperaturePlot->axisScaleDiv(id))
            return false;
    }
    return true;
}

void MainWindow::repaintTemperaturePlotNow()
{
    temperaturePlotRepaint->stop();
    temperaturePlotStale = false;
    temperaturePlot->replot();
    if (!ui->temperatureValue->updatesEnabled()) {
        ui->temperatureValue->setUpdatesEnabled(true);
        ui->temperatureValue->repaint();
    }
}
