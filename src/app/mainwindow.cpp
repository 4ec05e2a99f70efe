#include "mainwindow.h"

#include "buildinfo.h"
#include "device-serial.h"
#include "historyview.h"
#include "portopenfailure.h"
#include "rimeglass-version.h"
#include "settingsprotocol.h"
#include "settingsstorerepair.h"
#include "ui_mainwindow.h"

#include <QDateTime>
#include <QDebug>
#include <QMessageBox>
#include <QSettings>
#include <QStatusBar>
#include <QToolBar>

namespace {

const int resetNoticeMs = 2000;
const int storeResetNoticeMs = 10000;
// The form's own size: the window never opens larger, so that it fits small screens.
const QSize largestOpeningSize(1024, 600);

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
    connectPanels();

    m_portChooser->showClosed();
    m_portChooser->refresh();

    // An empty tool bar is only a strip of lost height.
    m_ui->mainToolBar->setVisible(!m_ui->mainToolBar->actions().isEmpty());
    resize(size().boundedTo(largestOpeningSize));

    if (storeWasReset)
        statusBar()->showMessage(
            tr("Some stored settings could not be read and were reset to their defaults"),
            storeResetNoticeMs);
}

MainWindow::~MainWindow()
{
    // The port is destroyed with the window's children after this object is gone; it
    // must not reach back into the window then.
    if (m_device && m_device->port)
        m_device->port->disconnect(this);

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

    connect(m_portChooser, &PortChooserPanel::openRequested, this, &MainWindow::openPort);
    connect(m_portChooser, &PortChooserPanel::closeRequested, this, &MainWindow::closePort);
    connect(m_settings, &SettingsPanel::sensorNameChanged, m_recording, &RecordingPanel::setSensor);
    connect(m_settings, &SettingsPanel::outputPeriodChanged, m_readout,
            &ReadoutPanel::setOutputPeriod);
    connect(m_customSensor, &CustomSensorPanel::uploadRequested, this,
            [this](const QByteArray &payload, const QString &successText) {
                if (m_device)
                    startTransfer(m_device->uploadCalibration(payload), successText);
            });
    connect(
        m_upgrade, &UpgradePanel::upgradeRequested, this,
        [this](const QByteArray &image, const QByteArray &revision, const QString &successText) {
            if (m_device)
                startTransfer(m_device->upgradeFirmware(image, revision), successText);
        });

    connect(m_ui->actionQuit, &QAction::triggered, this, &MainWindow::quitTriggered);
    connect(m_ui->actionCheckForUpdates, &QAction::triggered, this,
            &MainWindow::checkForUpdatesTriggered);
    connect(m_ui->actionAbout, &QAction::triggered, this, &MainWindow::aboutTriggered);
}

void MainWindow::quitTriggered()
{
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

void MainWindow::openPort(const QString &name)
{
    if (m_device)
        return;
    qDebug() << "Opening port" << name << "...";
    m_device = new Device(this);
    if (!m_device->openPort(name)) {
        const QString reason = PortOpenFailure::operatorText(m_device->port->error(),
                                                             m_device->port->errorString(), name);
        m_device->close();
        m_device->deleteLater();
        m_device = nullptr;
        m_portChooser->showOpenFailure(reason);
        return;
    }

    m_announceReadBack = true;
    setPanelsConnected(true);
    m_portChooser->showOpened(name);
    connectDevice();
}

// The link reports through its signals; the panels' requests go to it while it is open.
void MainWindow::connectDevice()
{
    connect(m_device, &Device::deviceReset, this, &MainWindow::deviceReset);
    connect(m_device, &Device::deviceRestarted, this, &MainWindow::deviceRestarted);
    connect(m_device, &Device::identified, this, &MainWindow::deviceIdentified);
    connect(m_device, &Device::temperatureChanged, this, &MainWindow::temperatureChanged);
    connect(m_device, &Device::progress, this, &MainWindow::deviceProgress);
    connect(m_device, &Device::parameterReceived, this, &MainWindow::deviceParameterReceived);
    connect(m_device, &Device::transferFinished, m_transfer, &TransferPanel::showFinished);
    connect(m_device, &Device::transferFailed, m_transfer, &TransferPanel::showFailed);
    connect(m_device->port, &QSerialPort::errorOccurred, this, &MainWindow::portErrorOccurred);

    connect(m_settings, &SettingsPanel::commandRequested, m_device, &Device::serialSendCommand);
    connect(m_voltage, &VoltageCalibrationPanel::uncalibratedMeasurementRequested, m_device,
            &Device::measureUncalibrated);
    connect(m_voltage, &VoltageCalibrationPanel::calibratedMeasurementRequested, m_device,
            &Device::measureCalibrated);
    connect(m_voltage, &VoltageCalibrationPanel::calibrationRequested, m_device,
            &Device::sendADCCalibration);
    connect(m_transfer, &TransferPanel::cancelRequested, m_device, &Device::cancelTransfer);
}

void MainWindow::closePort()
{
    if (m_device)
        discardDevice();
    m_recording->connectionEnded(false);
    m_portChooser->showClosed();
}

void MainWindow::portErrorOccurred(QSerialPort::SerialPortError error)
{
    // A resource error means the port went away under us (the adapter was unplugged):
    // nothing more can be read or written. A line whose far end hung up (the instrument's
    // side of a pseudo-terminal closed) reports read errors instead, one after the other,
    // until something is written; it is gone just the same.
    const bool gone = error == QSerialPort::ResourceError
        || (error == QSerialPort::ReadError && m_device && m_device->portHungUp());
    if (!gone || !m_device)
        return;
    // Given up as by Close, but the port chooser waits for the port to come back.
    discardDevice();
    m_recording->connectionEnded(true);
    m_portChooser->showPortLost();
}

void MainWindow::discardDevice()
{
    qDebug() << "Closing port ...";
    // The member is cleared first and the port's errors are let go, so that an error the
    // port reports while closing cannot come back here for the same link.
    Device *closing = m_device;
    m_device = nullptr;
    if (closing->port)
        closing->port->disconnect(this);
    for (QObject *panel : QObjectList{m_settings, m_voltage, m_transfer})
        panel->disconnect(closing);
    closing->close();
    closing->deleteLater();
    setPanelsConnected(false);
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
    if (!m_device)
        return;
    m_upgrade->showIdentity(m_device->model, m_device->version, m_device->serialNumber,
                            m_device->compat);
    m_customSensor->setInstrumentIdentified(true);
    const RecordingFile::Instrument instrument{m_device->model, m_device->serialNumber,
                                               m_device->version, m_settings->sensorName()};
    m_recording->showIdentity(instrument, m_device->bootstrap);
    qDebug() << "Device model" << m_device->model << "version" << m_device->version
             << "serial number" << m_device->serialNumber;

    // The boot loader has no settings to read back; a read-back left unfinished by the
    // application firmware ends here, so that no settings query reaches the boot loader.
    if (m_device->bootstrap) {
        m_getParametersStage = -1;
        return;
    }
    m_history->setInstrument(instrument);
    m_getParametersStage = 0;
    getParameters();
}

void MainWindow::deviceReset()
{
    statusBar()->showMessage(tr("Device reset"), resetNoticeMs);
}

// The reading is stamped once, here, and every view of it takes that time.
void MainWindow::temperatureChanged(double value)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    m_readout->showReading(value, now);
    m_history->addReading(now, value);
    m_recording->addReading(value);
}

void MainWindow::deviceParameterReceived(const QString &key, const QString &value)
{
    qDebug() << "deviceParameterReceived(): key =" << key << ", value = " << value;
    m_settings->applyReadBackValue(key, value);
    m_voltage->applyReport(key, value);

    // Any report answers the query in flight, whatever its key.
    if (m_getParametersStage != -1) {
        ++m_getParametersStage;
        getParameters();
    }
}

void MainWindow::getParameters()
{
    qDebug() << "getParameters(): getParametersStage =" << m_getParametersStage;
    const int stages = SettingsProtocol::readBackStageCount();
    if (m_getParametersStage >= 0 && m_getParametersStage < stages) {
        if (m_device)
            m_device->serialSendCommand(SettingsProtocol::readBackQuery(m_getParametersStage));
        return;
    }
    // Only the read-back that follows an Open is announced: after a restart (the end of
    // an upgrade) the transfer's outcome stays on show.
    if (m_getParametersStage == stages && m_announceReadBack) {
        m_announceReadBack = false;
        statusBar()->showMessage(tr("Settings read from the instrument"));
    }
    m_getParametersStage = -1;
}

void MainWindow::startTransfer(bool started, const QString &successText)
{
    if (started)
        m_transfer->showStarted(successText);
    else
        m_transfer->showRefused();
}
