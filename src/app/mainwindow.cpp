#include "mainwindow.h"

#include "buildinfo.h"
#include "historyview.h"
#include "instrumentsession.h"
#include "rimeglass-version.h"
#include "settingsstorerepair.h"
#include "ui_mainwindow.h"
#include "windowkeeper.h"
#include "windowlog.h"

#include <QMessageBox>
#include <QSettings>
#include <QStatusBar>
#include <QToolBar>

Q_LOGGING_CATEGORY(windowLog, "rimeglass.window")

namespace {

const int resetNoticeMs = 2000;
const int storeResetNoticeMs = 10000;

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    // Cleaned before this window's store reads the first key.
    const bool storeWasReset = SettingsStoreRepair::repair();
    m_store = new QSettings(this);
    m_ui = new Ui_MainWindow();
    m_ui->setupUi(this);
    setWindowTitle(
        QString::asprintf("Temperature monitor configuration tool (%s)", rimeglass::versionText));

    // Each panel loads what it keeps in the store before it connects its own widgets, so
    // that loading neither writes the store back nor sends a command.
    m_readout = new ReadoutPanel(this, m_store);
    m_customSensor = new CustomSensorPanel(this, m_store);
    m_recording = new RecordingPanel(this, m_store);
    m_history = new HistoryView(m_ui->historyTab);
    m_ui->historyLayout->addWidget(m_history);
    m_settings = new SettingsPanel(this, m_store);
    m_upgrade = new UpgradePanel(this, m_store);
    m_transfer = new TransferPanel(this);
    m_voltage = new VoltageCalibrationPanel(this);
    m_portChooser = new PortChooserPanel(this, m_store);
    // Read back at every identification; every answer awaited as long as it takes.
    m_session = new InstrumentSession(this);
    m_session->setReadBackOnIdentification(true);
    m_session->setAnswerTimeout(0);
    m_readout->setClock([this] { return Reading::timeOf(m_session->utcNanoseconds()); });
    connectPanels();
    connectSession();
    // The sensor loaded from the store; later changes are told as they come.
    m_recording->setSensor(m_settings->sensorName());

    m_portChooser->showClosed();
    m_portChooser->refresh();

    // An empty tool bar is only a strip of lost height.
    m_ui->mainToolBar->setVisible(!m_ui->mainToolBar->actions().isEmpty());
    m_ui->actionQuit->setShortcuts(QKeySequence::Quit);
    m_keeper = new WindowKeeper(this, m_ui->tabWidget, m_store, m_session, m_transfer, m_recording);
    m_keeper->restore();

    if (storeWasReset)
        statusBar()->showMessage(
            tr("Some stored settings could not be read and were reset to their defaults"),
            storeResetNoticeMs);
}

MainWindow::~MainWindow()
{
    // The session and its link are destroyed with the window's children, after this
    // object is gone; nothing they report then may reach the window or its panels.
    m_session->disconnect();
    delete m_ui;
    delete m_store;
}

void MainWindow::connectPanels()
{
    QStatusBar *status = statusBar();
    connect(m_portChooser, &PortChooserPanel::statusMessage, status, &QStatusBar::showMessage);
    connect(m_settings, &SettingsPanel::statusMessage, status, &QStatusBar::showMessage);
    connect(m_transfer, &TransferPanel::statusMessage, status, &QStatusBar::showMessage);
    connect(m_recording, &RecordingPanel::statusMessage, status, &QStatusBar::showMessage);

    connect(m_settings, &SettingsPanel::sensorNameChanged, m_recording, &RecordingPanel::setSensor);
    connect(m_settings, &SettingsPanel::sensorNameChanged, m_history, &HistoryView::setSensor);
    connect(m_settings, &SettingsPanel::outputPeriodChanged, m_readout,
            &ReadoutPanel::setOutputPeriod);

    connect(m_upgrade, &UpgradePanel::upgradeAsked, m_transfer,
            [this] { m_transfer->prepare(Device::Transfer::Firmware); });
    connect(m_customSensor, &CustomSensorPanel::uploadAsked, m_transfer,
            [this] { m_transfer->prepare(Device::Transfer::Calibration); });

    connect(m_ui->actionQuit, &QAction::triggered, this, &MainWindow::quitTriggered);
    connect(m_ui->actionExportPlot, &QAction::triggered, this,
            &MainWindow::plotExportButtonClicked);
    connect(m_ui->actionCheckForUpdates, &QAction::triggered, this,
            &MainWindow::checkForUpdatesTriggered);
    connect(m_ui->actionAbout, &QAction::triggered, this, &MainWindow::aboutTriggered);
}

void MainWindow::addExtraPort(const QString &portName, const QString &description)
{
    m_portChooser->addExtraPort(portName, description);
}

void MainWindow::quitTriggered()
{
    if (!m_keeper->mayClose())
        return;
    serialPortCloseButtonClicked();
    close();
}

void MainWindow::endWithoutAsking()
{
    const QString outcome = m_transfer->cancelForClosing();
    if (!outcome.isEmpty())
        qCWarning(windowLog).noquote() << outcome;
    serialPortCloseButtonClicked();
    close();
}

void MainWindow::aboutTriggered()
{
    QMessageBox::about(this, tr("About rimeglass"),
                       tr("rimeglass %1\nTemperature monitor configuration tool\n\n"
                          "Firmware key: %2\nFirmware key fingerprint: %3")
                           .arg(BuildInfo::version(), BuildInfo::firmwareKeyDescription(),
                                BuildInfo::firmwareKeyFingerprint()));
}

// The panels' requests go to the session; what the session reports goes to the panels.
void MainWindow::connectSession()
{
    using Session = InstrumentSession;
    connect(m_portChooser, &PortChooserPanel::openRequested, this, &MainWindow::openPort);
    connect(m_portChooser, &PortChooserPanel::closeRequested, this, &MainWindow::closePort);
    connect(m_settings, &SettingsPanel::commandRequested, m_session, &Session::send);
    connect(m_voltage, &VoltageCalibrationPanel::uncalibratedMeasurementRequested, m_session,
            &Session::measureUncalibratedVoltage);
    connect(m_voltage, &VoltageCalibrationPanel::calibratedMeasurementRequested, m_session,
            &Session::measureCalibratedVoltage);
    connect(m_voltage, &VoltageCalibrationPanel::calibrationRequested, m_session,
            &Session::sendVoltageCalibration);
    connect(m_customSensor, &CustomSensorPanel::uploadRequested, this,
            [this](const QByteArray &payload, const QString &successText) {
                QString refusal;
                const bool started = m_session->uploadCalibration(payload, &refusal);
                startTransfer(started, successText, refusal);
            });
    connect(
        m_upgrade, &UpgradePanel::upgradeRequested, this,
        [this](const QByteArray &image, const QByteArray &revision, const QString &successText) {
            QString refusal;
            const bool started = m_session->upgradeFirmware(image, revision, &refusal);
            startTransfer(started, successText, refusal);
        });
    connect(m_transfer, &TransferPanel::cancelRequested, m_session, &Session::cancelTransfer);

    connect(m_session, &Session::opened, this, &MainWindow::portOpened);
    connect(m_session, &Session::openFailed, m_portChooser, &PortChooserPanel::showOpenFailure);
    connect(m_session, &Session::portLost, this, &MainWindow::portLost);
    connect(m_session, &Session::identified, this, &MainWindow::showIdentity);
    connect(m_session, &Session::instrumentReset, this, &MainWindow::deviceReset);
    connect(m_session, &Session::readingArrived, this, &MainWindow::showReading);
    connect(m_session, &Session::parameterReceived, this, &MainWindow::deviceParameterReceived);
    connect(m_session, &Session::readBackFinished, this, &MainWindow::readBackFinished);
    connect(m_session, &Session::transferProgress, this, &MainWindow::deviceProgress);
    connect(m_session, &Session::transferFinished, m_transfer, &TransferPanel::showFinished);
    connect(m_session, &Session::transferFailed, m_transfer, &TransferPanel::showFailed);
}

void MainWindow::openPort(const QString &name)
{
    if (m_session->device())
        return;
    qCDebug(windowLog) << "Opening port" << name << "...";
    m_session->open(name);
}

void MainWindow::closePort()
{
    if (m_session->device())
        qCDebug(windowLog) << "Closing port ...";
    m_session->close();
    setPanelsConnected(false);
    m_portChooser->showClosed();
    // After "Port closed": where a recording went is the news.
    m_recording->connectionEnded(false);
}

// After Open, and when a lost port is back.
void MainWindow::portOpened(const QString &name)
{
    m_announceReadBack = true;
    setPanelsConnected(true);
    m_portChooser->showOpened(name);
}

// Given up as by Close, but the session waits for the port to come back.
void MainWindow::portLost(const QString &name)
{
    qCDebug(windowLog) << "Closing port ...";
    setPanelsConnected(false);
    m_recording->connectionEnded(true);
    m_portChooser->showPortLost(name);
}

void MainWindow::setPanelsConnected(bool connected)
{
    m_settings->setConnected(connected);
    m_customSensor->setConnected(connected);
    m_voltage->setConnected(connected);
    m_upgrade->setConnected(connected);
    m_transfer->setConnected(connected);
    m_readout->setConnected(connected);
    m_recording->setConnected(connected);
}

void MainWindow::deviceIdentified()
{
    if (m_session->identity().isValid())
        showIdentity(m_session->identity());
}

void MainWindow::showIdentity(const InstrumentIdentity &identity)
{
    m_upgrade->showIdentity(identity);
    m_customSensor->setInstrumentIdentified(true);
    m_recording->showIdentity(identity);
    if (!identity.bootLoader)
        m_history->setInstrument(RecordingFile::Instrument::of(identity, m_settings->sensorName()));
    qCDebug(windowLog) << "Device model" << identity.model << "version" << identity.version
                       << "serial number" << identity.serialNumber;
}

void MainWindow::deviceReset()
{
    // The restart ended a transfer, which has said so: that stays on show.
    const QString failure = m_transfer->failureStatus();
    if (!failure.isEmpty() && statusBar()->currentMessage() == failure)
        return;
    statusBar()->showMessage(tr("Device reset"), resetNoticeMs);
}

// Shown as a reading of the instrument, with the session's time stamp.
void MainWindow::temperatureChanged(double value)
{
    m_session->takeReading(value);
}

// Every view of a reading takes the time the session stamped it with.
void MainWindow::showReading(const Reading &reading)
{
    const QDateTime time = reading.time();
    m_readout->showReading(reading.kelvin, time);
    m_history->addReading(time, reading.kelvin);
    m_recording->addReading(reading);
}

void MainWindow::deviceParameterReceived(const QString &key, const QString &value)
{
    qCDebug(windowLog) << "deviceParameterReceived(): key =" << key << ", value = " << value;
    m_settings->applyReadBackValue(key, value);
    m_voltage->applyReport(key, value);
}

// Only the read-back that follows an Open is announced: after a restart (the end of an
// upgrade) the transfer's outcome stays on show.
void MainWindow::readBackFinished()
{
    if (!m_announceReadBack)
        return;
    m_announceReadBack = false;
    statusBar()->showMessage(tr("Settings read from the instrument"));
}

// A transfer's outcome is what the operator reads next, whatever follows it. A transfer
// refused (another one runs, the boot loader has no table store) says why.
void MainWindow::startTransfer(bool started, const QString &successText, const QString &refusal)
{
    if (!started) {
        m_transfer->showRefused(refusal);
        return;
    }
    m_announceReadBack = false;
    // One that could not write its first command has ended already, and said so.
    if (m_session->state() == InstrumentSession::State::Transferring)
        m_transfer->showStarted(successText);
}
