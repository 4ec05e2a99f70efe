#include "instrumentsession.h"

#include "portopenfailure.h"
#include "serialportlinks.h"

#include <QLoggingCategory>
#include <QTimer>
#include <chrono>

namespace {

Q_LOGGING_CATEGORY(sessionLog, "rimeglass.session")

const int portPollMs = 1000;
// An unreadable identification is asked for again this many times.
const int identificationRetries = 3;

qint64 systemUtcNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

QString seconds(int milliseconds)
{
    return QString::number(milliseconds / 1000.0);
}

} // namespace

InstrumentSession::InstrumentSession(QObject *parent)
    : QObject(parent)
    , m_answerTimer(new QTimer(this))
    , m_portPoll(new QTimer(this))
    , m_clock(systemUtcNanoseconds)
{
    qRegisterMetaType<InstrumentIdentity>();
    qRegisterMetaType<Reading>();
    qRegisterMetaType<InstrumentSession::State>();
    m_answerTimer->setSingleShot(true);
    connect(m_answerTimer, &QTimer::timeout, this, &InstrumentSession::answerTimedOut);
    m_portPoll->setInterval(portPollMs);
    connect(m_portPoll, &QTimer::timeout, this, &InstrumentSession::lookForLostPort);
}

InstrumentSession::~InstrumentSession()
{
    // The link is destroyed with this object's children; it must not reach back here.
    if (m_device) {
        m_device->disconnect(this);
        if (m_device->port)
            m_device->port->disconnect(this);
    }
}

bool InstrumentSession::open(const QString &portName)
{
    close();
    QString reason;
    if (!openDevice(portName, &reason)) {
        emit openFailed(portName, reason);
        return false;
    }
    m_portName = portName;
    startIdentifying();
    emit opened(portName);
    return true;
}

void InstrumentSession::close()
{
    m_portPoll->stop();
    if (m_device)
        discardDevice();
    m_portName.clear();
    m_identity = InstrumentIdentity();
    setState(State::Closed);
}

bool InstrumentSession::openDevice(const QString &portName, QString *reason)
{
    auto *device = new Device(this);
    if (!device->openPort(portName)) {
        if (reason)
            *reason = PortOpenFailure::operatorText(device->port->error(),
                                                    device->port->errorString(), portName);
        device->close();
        device->deleteLater();
        return false;
    }
    m_device = device;
    m_device->setTransferTimeouts(m_transferTimeouts);
    m_identity = InstrumentIdentity();
    m_identityCurrent = false;
    m_readBackStage = -1;
    m_readBackWanted = false;
    connectDevice();
    return true;
}

void InstrumentSession::connectDevice()
{
    connect(m_device, &Device::identified, this, &InstrumentSession::deviceIdentified);
    connect(m_device, &Device::identificationUnrecognised, this,
            &InstrumentSession::identificationUnreadable);
    connect(m_device, &Device::deviceReset, this, [this] {
        emit instrumentReset();
        instrumentRestarting();
    });
    connect(m_device, &Device::deviceRestarted, this, &InstrumentSession::instrumentRestarting);
    connect(m_device, &Device::temperatureChanged, this, &InstrumentSession::takeReading);
    connect(m_device, &Device::parameterReceived, this,
            &InstrumentSession::deviceParameterReceived);
    connect(m_device, &Device::progress, this, &InstrumentSession::transferProgress);
    connect(m_device, &Device::transferFinished, this, [this](Device::Transfer transfer) {
        transferEnded();
        emit transferFinished(transfer);
    });
    connect(m_device, &Device::transferFailed, this,
            [this](const Device::TransferFailureReport &report) {
                transferEnded();
                emit transferFailed(report);
            });
    connect(m_device->port, &QSerialPort::errorOccurred, this,
            &InstrumentSession::portErrorOccurred);
}

// The link is let go first, so that nothing it reports while it closes (a port error, a
// line) comes back here for it; only the failure of a transfer under way still goes out.
void InstrumentSession::discardDevice()
{
    Device *closing = m_device;
    m_device = nullptr;
    await(Awaited::Nothing);
    m_readBackStage = -1;
    m_readBackWanted = false;
    m_identityCurrent = false;
    closing->disconnect(this);
    if (closing->port)
        closing->port->disconnect(this);
    connect(closing, &Device::transferFailed, this, &InstrumentSession::transferFailed);
    closing->close();
    closing->disconnect(this);
    closing->deleteLater();
}

void InstrumentSession::setState(State state)
{
    if (state == m_state)
        return;
    m_state = state;
    emit stateChanged(state);
}

InstrumentSession::State InstrumentSession::settledState() const
{
    if (!m_device)
        return m_portPoll->isActive() ? State::WaitingForPort : State::Closed;
    if (m_device->transferInProgress())
        return State::Transferring;
    if (!m_identityCurrent)
        return State::Identifying;
    return m_identity.bootLoader ? State::BootLoader : State::Ready;
}

bool InstrumentSession::send(const QString &command)
{
    if (!m_device)
        return false;
    m_device->serialSendCommand(command);
    return true;
}

// --- Identification ---

void InstrumentSession::startIdentifying()
{
    m_unreadableReplies = 0;
    setState(settledState());
    if (m_state == State::Identifying)
        await(Awaited::Identification);
}

void InstrumentSession::deviceIdentified()
{
    if (!m_device->identificationAnswered()) {
        qCDebug(sessionLog)
            << "InstrumentSession: a \"*COMPAT = \" line answered no identification";
        return;
    }
    const InstrumentIdentity identity = InstrumentIdentity::of(*m_device);
    if (identity.isValid())
        acceptIdentity(identity);
    else
        identificationUnreadable();
}

// A reply that names no instrument is asked again while the session waits for one; a
// transfer's own steps are never interrupted by a query.
void InstrumentSession::identificationUnreadable()
{
    if (m_state != State::Identifying)
        return;
    ++m_unreadableReplies;
    if (m_unreadableReplies > identificationRetries) {
        if (m_unreadableReplies == identificationRetries + 1) {
            await(Awaited::Nothing);
            emit noAnswer(tr("The instrument on %1 answered %2 times with an identification "
                             "that cannot be read: check the cable and the port.")
                              .arg(m_portName)
                              .arg(m_unreadableReplies));
        }
        return;
    }
    m_device->serialSendCommand(QStringLiteral("*IDN?\n"));
    await(Awaited::Identification);
}

void InstrumentSession::acceptIdentity(const InstrumentIdentity &identity)
{
    if (m_awaited == Awaited::Identification)
        await(Awaited::Nothing);
    m_identity = identity;
    m_identityCurrent = true;
    m_unreadableReplies = 0;
    setState(settledState());
    emit identified(m_identity);
    // The handlers of identified() may have closed the port.
    if (!m_device)
        return;
    if (m_identity.bootLoader) {
        // The boot loader has no settings: a read-back the application left unfinished
        // ends here, so that no settings query reaches the boot loader.
        m_readBackStage = -1;
        m_readBackWanted = false;
        if (m_awaited == Awaited::ReadBackAnswer)
            await(Awaited::Nothing);
        return;
    }
    if (m_readBackOnIdentification || m_readBackWanted)
        readBack();
}

// "*RESET " or "*APP ": who answers next is asked again (the link sends "*IDN?\n" on
// "*APP " and "*MGMT"); a read-back under way starts again after that.
void InstrumentSession::instrumentRestarting()
{
    interruptReadBack();
    m_identityCurrent = false;
    startIdentifying();
}

// --- Read-back ---

void InstrumentSession::setReadBackOnIdentification(bool readBack)
{
    m_readBackOnIdentification = readBack;
}

void InstrumentSession::readBack()
{
    if (!m_device)
        return;
    if (!m_identityCurrent) {
        m_readBackWanted = true;
        return;
    }
    if (m_identity.bootLoader)
        return;
    m_readBackWanted = false;
    m_readBackValues.clear();
    m_readBackStage = 0;
    sendReadBackQuery();
}

void InstrumentSession::sendReadBackQuery()
{
    qCDebug(sessionLog) << "getParameters(): getParametersStage =" << m_readBackStage;
    m_device->serialSendCommand(SettingsTable::readBackQuery(m_readBackStage));
    await(Awaited::ReadBackAnswer);
}

// Any report answers the query in flight, whatever its key.
void InstrumentSession::deviceParameterReceived(const QString &key, const QString &value)
{
    emit parameterReceived(key, value);
    if (m_readBackStage < 0 || !m_device)
        return;
    m_readBackValues.insert(key, value);
    if (++m_readBackStage < SettingsTable::readBackStageCount()) {
        sendReadBackQuery();
        return;
    }
    m_readBackStage = -1;
    await(Awaited::Nothing);
    emit readBackFinished(m_readBackValues);
}

void InstrumentSession::interruptReadBack()
{
    if (m_readBackStage < 0)
        return;
    m_readBackStage = -1;
    m_readBackWanted = true;
    if (m_awaited == Awaited::ReadBackAnswer)
        await(Awaited::Nothing);
}

// --- Transfers ---

bool InstrumentSession::uploadCalibration(const QByteArray &payload, QString *refusal)
{
    if (m_device && m_identityCurrent && m_identity.bootLoader) {
        if (refusal)
            *refusal = tr("The instrument runs its boot loader, which takes no calibration "
                          "table: finish the firmware upgrade first.");
        return false;
    }
    return startTransfer([this, &payload] { return m_device->uploadCalibration(payload); },
                         refusal);
}

bool InstrumentSession::upgradeFirmware(const QByteArray &image, const QByteArray &imageRevision,
                                        QString *refusal)
{
    if (image.isEmpty()) {
        if (refusal)
            *refusal = tr("The firmware file holds an empty image for this instrument");
        return false;
    }
    return startTransfer(
        [this, &image, &imageRevision] { return m_device->upgradeFirmware(image, imageRevision); },
        refusal);
}

// A transfer's steps have time-outs of their own: nothing else is awaited meanwhile.
bool InstrumentSession::startTransfer(const std::function<bool()> &start, QString *refusal)
{
    if (!m_device) {
        if (refusal)
            *refusal = tr("No port is open");
        return false;
    }
    if (m_awaited == Awaited::Identification)
        await(Awaited::Nothing);
    setState(State::Transferring);
    const bool started = start();
    // Refused, or ended at once because nothing could be written.
    setState(settledState());
    if (!started && refusal)
        *refusal = tr("Another transfer is in progress");
    return started;
}

void InstrumentSession::transferEnded()
{
    setState(settledState());
    if (m_state == State::Identifying && m_awaited == Awaited::Nothing)
        await(Awaited::Identification);
}

void InstrumentSession::cancelTransfer()
{
    if (m_device)
        m_device->cancelTransfer();
}

void InstrumentSession::setTransferTimeouts(const Device::TransferTimeouts &timeouts)
{
    m_transferTimeouts = timeouts;
    if (m_device)
        m_device->setTransferTimeouts(timeouts);
}

// --- Readings ---

void InstrumentSession::setClock(Clock clock)
{
    m_clock = std::move(clock);
}

void InstrumentSession::takeReading(double kelvin)
{
    // Readings that arrive in one read must not share a time.
    m_lastReadingNanoseconds = qMax(m_clock(), m_lastReadingNanoseconds + 1);
    emit readingArrived({m_lastReadingNanoseconds, kelvin});
}

void InstrumentSession::measureUncalibratedVoltage()
{
    if (m_device)
        m_device->measureUncalibrated();
}

void InstrumentSession::measureCalibratedVoltage()
{
    if (m_device)
        m_device->measureCalibrated();
}

void InstrumentSession::sendVoltageCalibration(double offset, double slope)
{
    if (m_device)
        m_device->sendADCCalibration(offset, slope);
}

// --- The port ---

// A resource error means the port went away (the adapter was unplugged). A line whose
// far end hung up (the other side of a pseudo-terminal closed) reports read errors
// instead, one after the other; it is gone just the same.
void InstrumentSession::portErrorOccurred(QSerialPort::SerialPortError error)
{
    if (!m_device)
        return;
    const bool gone = error == QSerialPort::ResourceError
        || (error == QSerialPort::ReadError && m_device->portHungUp());
    if (!gone)
        return;
    discardDevice();
    m_identity = InstrumentIdentity();
    m_portPoll->start();
    setState(State::WaitingForPort);
    emit portLost(m_portName);
}

// A port listed again may still refuse to open for a moment; the next look tries again.
void InstrumentSession::lookForLostPort()
{
    if (m_device || !SerialPortLinks::isPresent(m_portName) || !openDevice(m_portName, nullptr))
        return;
    m_portPoll->stop();
    startIdentifying();
    emit portBack(m_portName);
    emit opened(m_portName);
}

// --- Time-outs ---

void InstrumentSession::setAnswerTimeout(int milliseconds)
{
    m_answerTimeoutMs = qMax(0, milliseconds);
    if (m_awaited != Awaited::Nothing)
        await(m_awaited);
}

void InstrumentSession::await(Awaited awaited)
{
    m_awaited = awaited;
    if (awaited == Awaited::Nothing || m_answerTimeoutMs == 0)
        m_answerTimer->stop();
    else
        m_answerTimer->start(m_answerTimeoutMs);
}

void InstrumentSession::answerTimedOut()
{
    const Awaited awaited = m_awaited;
    m_awaited = Awaited::Nothing;
    if (awaited == Awaited::Identification) {
        emit noAnswer(tr("No instrument answered on %1 within %2 s: check the cable, the port "
                         "and that the instrument is switched on.")
                          .arg(m_portName, seconds(m_answerTimeoutMs)));
    } else if (awaited == Awaited::ReadBackAnswer) {
        const QString query = SettingsTable::readBackQuery(m_readBackStage).trimmed();
        m_readBackStage = -1;
        emit noAnswer(tr("The instrument did not answer \"%1\" within %2 s.")
                          .arg(query, seconds(m_answerTimeoutMs)));
    }
}
