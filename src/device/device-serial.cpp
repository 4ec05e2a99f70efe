#include "device-serial.h"

#include "device-internal.h"
#include "instrumentlimits.h"
#include "uuids.h"
#include "versiontext.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QSerialPort>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <limits>

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

// Every line the link reads and every step it takes, on by default; a script that wants
// none of it, or the last bit of speed, switches it off with
// QT_LOGGING_RULES="rimeglass.device.debug=false".
Q_LOGGING_CATEGORY(deviceLog, "rimeglass.device")

using namespace DeviceInternal;

namespace {

// Highest version code still below 1.5.0.0: such instruments know no voltage queries.
constexpr quint32 lastVersionBefore1_5 = rimeglass::VersionText::voltageCode - 1;

// An upgrade asks this many times again for a garbled identification before it gives up.
constexpr int identificationRequestLimit = 3;

// The instrument's sensors (silicon diodes such as the DT-670, 1.4 to 500 K, and custom
// tables for the same range) read well inside this range; a reading outside it comes
// from a damaged line, not from the cryostat.
constexpr double lowestPlausibleKelvin = 0.0;
constexpr double highestPlausibleKelvin = 1000.0;

// Bytes without a line feed are kept up to this many; beyond it they are dropped so
// that a noisy or binary stream cannot make the receive buffer grow without bound.
constexpr int maxLineLength = 64 * 1024;

// Output the port has not sent yet is kept up to this many bytes; beyond it the far end
// has stopped reading, and further commands are dropped rather than queued for ever.
constexpr qint64 maxUnsentBytes = 64 * 1024;

const char etx = 0x03;

QByteArray revision1Compat()
{
    return rimeglass::uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1);
}

const QLatin1String vendorName("MORVA");
const QLatin1String applicationModel("ZURKD550");
const QLatin1String bootLoaderModel("ZURKD550-BS");

// Vendor, model and version as the instrument sends them, the version one to four
// decimal numbers of 0 to 255 ("1.5.2.0"; older instruments report "1.7.2"), as the
// session accepts an identity: only such an identification may choose an image, a
// dialect or a revision. "l.4.0.0" may not.
bool isWellFormedIdentity(const QString &vendor, const QString &model, const QString &version)
{
    return vendor == vendorName && (model == applicationModel || model == bootLoaderModel)
        && rimeglass::VersionText::isWellFormed(version);
}

// True when QDebug would quote the text as it is: printable ASCII without a quote or a
// backslash, which it escapes.
bool quotesUnchanged(const QString &text)
{
    for (const QChar c : text) {
        const ushort code = c.unicode();
        if (code < 0x20 || code > 0x7e || code == '"' || code == '\\')
            return false;
    }
    return true;
}

// The "serial read:" line, for every line received, exactly as `qCDebug(deviceLog) <<
// "serial read:" << text` writes it; the usual line of printable ASCII is put together
// directly rather than through a QDebug stream, which costs more than the rest of the
// line's parsing.
void logReceivedLine(const QString &text)
{
    if (!quotesUnchanged(text)) {
        qCDebug(deviceLog) << "serial read:" << text;
        return;
    }
    static const QLatin1String prefix("serial read: \"");
    QString message;
    message.reserve(prefix.size() + text.size() + 1);
    message.append(prefix).append(text).append(QLatin1Char('"'));
    const QMessageLogContext context(QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, QT_MESSAGELOG_FUNC,
                                     deviceLog().categoryName());
    qt_message_output(QtDebugMsg, context, message);
}

// Truncates toward zero into the signed 32-bit range, saturating at its ends; NaN gives 0.
qint32 truncatedToInt32(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= double(std::numeric_limits<qint32>::max()))
        return std::numeric_limits<qint32>::max();
    if (value <= double(std::numeric_limits<qint32>::min()))
        return std::numeric_limits<qint32>::min();
    return qint32(value);
}

} // namespace

Device::Device(QObject *parent)
    : QObject(parent)
    , transferTimer(new QTimer(this))
{
    qRegisterMetaType<Device::Transfer>();
    qRegisterMetaType<Device::TransferFailureReport>();
    transferTimer->setSingleShot(true);
    connect(transferTimer, &QTimer::timeout, this,
            [this] { failTransfer(TransferFailure::TimedOut); });
}

Device::~Device() = default;

bool Device::openPort(const QString &name)
{
    if (port)
        close();

    port = new QSerialPort(name, this);
    port->setBaudRate(115200, QSerialPort::AllDirections);
    port->setDataBits(QSerialPort::Data8);
    port->setParity(QSerialPort::NoParity);
    port->setStopBits(QSerialPort::OneStop);
    if (!port->open(QIODevice::ReadWrite))
        return false;

    port->flush();
    // Lines an earlier program left unread (a "*COMPAT = " answer, old readings) answer
    // nothing this link asks.
    port->clear(QSerialPort::Input);
    rxBuffer.clear();
    discardingLongLine = false;
    connect(port, &QSerialPort::readyRead, this, &Device::serialRead);

    // ETX ends whatever the instrument was in the middle of; the lower-case query is
    // what the instrument expects right after it.
    serialSendCommand(QString(QLatin1Char(etx)) + QStringLiteral("\n*idn?\n"));
    return true;
}

bool Device::close()
{
    if (transferInProgress())
        failTransfer(TransferFailure::PortClosed);
    if (port) {
        port->close();
        port->deleteLater();
        port = nullptr;
    }
    return true;
}

bool Device::portHungUp() const
{
#ifdef Q_OS_UNIX
    if (!port || !port->isOpen())
        return false;
    // A hung-up terminal polls as readable with POLLHUP and reads as end of file.
    pollfd descriptor{int(port->handle()), POLLIN, 0};
    return ::poll(&descriptor, 1, 0) > 0 && (descriptor.revents & POLLHUP) != 0;
#else
    return false;
#endif
}

void Device::serialSendCommand(const QString &command)
{
    writeCommand(command);
}

// False when the command had to be dropped because the far end stopped reading; the
// running transfer, if any, has then failed.
bool Device::writeCommand(const QString &command)
{
    if (!port || !port->isOpen())
        return true;
    if (port->bytesToWrite() > maxUnsentBytes) {
        qCDebug(deviceLog) << "serial write: dropped a command," << port->bytesToWrite()
                           << "bytes still unsent";
        if (transferInProgress())
            failTransfer(TransferFailure::OutputBlocked);
        return false;
    }
    port->write(command.toUtf8());
    return true;
}

void Device::serialRead()
{
    if (!port)
        return;
    const qint64 available = port->bytesAvailable();
    if (available < 1)
        return;

    serialReceive(port->read(available));
}

void Device::serialReceive(const QByteArray &bytes)
{
    ++readCount;
    const bool outerRead = handlingRead;
    handlingRead = true;
    // A CR ends a line as well as LF does; CR LF thus leaves an empty line, ignored.
    const int received = rxBuffer.size();
    rxBuffer.append(bytes);
    char *incoming = rxBuffer.data() + received;
    std::replace(incoming, incoming + bytes.size(), '\r', '\n');
    serialParse();
    handlingRead = outerRead;
}

void Device::serialParse()
{
    const int lastLineFeed = rxBuffer.lastIndexOf('\n');
    if (lastLineFeed >= 0) {
        // All complete lines leave the buffer in one cut, so framing stays linear in the
        // bytes received however many lines one read brings; only the unfinished rest
        // is copied back.
        QByteArray complete;
        complete.swap(rxBuffer);
        rxBuffer = complete.mid(lastLineFeed + 1);
        complete.truncate(lastLineFeed + 1);

        int start = 0;
        if (discardingLongLine) {
            // The end of a line whose beginning was already dropped: it is no line of
            // its own, whatever it looks like.
            start = complete.indexOf('\n') + 1;
            discardingLongLine = false;
        }
        while (start < complete.size()) {
            const int lineFeed = complete.indexOf('\n', start);
            const int length = lineFeed - start;
            if (length > maxLineLength)
                qCDebug(deviceLog) << "serial read: dropped a line of" << length << "bytes";
            else // complete outlives the call, so the line need not be copied
                serialParseLine(QByteArray::fromRawData(complete.constData() + start, length));
            start = lineFeed + 1;
        }
    }

    if (rxBuffer.size() > maxLineLength) {
        qCDebug(deviceLog) << "serial read: dropped" << rxBuffer.size()
                           << "bytes without a line feed";
        rxBuffer.clear();
        discardingLongLine = true;
    }
}

void Device::serialParseLine(const QByteArray &line)
{
    if (line.isEmpty())
        return;

    const int nul = line.indexOf('\0');
    const QString text = QString::fromUtf8(nul < 0 ? line : line.left(nul));
    if (deviceLog().isDebugEnabled())
        logReceivedLine(text);

    // The first form that the line starts with decides; the order matters.
    struct LineForm
    {
        QLatin1String prefix;
        void (Device::*handle)(const QString &text);
    };
    static const LineForm forms[] = {
        {QLatin1String("*RESET "), &Device::handleResetAnnouncement},
        {QLatin1String("*BOOTSTRAP "), &Device::handleBootstrapAnnouncement},
        {QLatin1String("*MGMT"), &Device::handleManagementAnnouncement},
        {QLatin1String("*APP "), &Device::handleApplicationAnnouncement},
        {QLatin1String("*T = "), &Device::handleTemperature},
        {QLatin1String("MORVA,"), &Device::handleIdentification},
        {QLatin1String("*COMPAT = "), &Device::handleCompat},
        {QLatin1String("*cal-erase-done"), &Device::handleCalibrationAcknowledgement},
        {QLatin1String("*cal-write-done"), &Device::handleCalibrationAcknowledgement},
        {QLatin1String("*ERASE_OK"), &Device::handleFirmwareAcknowledgement},
        {QLatin1String("*WRITE_OK"), &Device::handleFirmwareAcknowledgement},
    };
    for (const LineForm &form : forms) {
        if (text.startsWith(form.prefix)) {
            (this->*form.handle)(text);
            return;
        }
    }

    // The instrument refused a command of the transfer: nothing it does next can make
    // the transfer succeed.
    if (transferInProgress() && text.startsWith(QLatin1String("*ERROR"))) {
        failTransfer(TransferFailure::InstrumentError, text);
        return;
    }

    if (text.contains(QLatin1String(" = ")))
        handleParameter(text);
    else
        qCDebug(deviceLog) << "message from device: " << text;
}

void Device::handleResetAnnouncement(const QString &)
{
    // The reset the firmware transfer asked for is the only one a transfer expects.
    if (upgradeState != 0)
        interruptTransfer();
    emit deviceReset();
}

void Device::handleBootstrapAnnouncement(const QString &)
{
    // The boot loader waits a moment for ETX before it starts the application; ETX
    // keeps it in management mode.
    if (resetPending)
        serialSendCommand(QString(QLatin1Char(etx)));
}

void Device::handleManagementAnnouncement(const QString &)
{
    serialSendCommand(QStringLiteral("*IDN?\n"));
}

void Device::handleApplicationAnnouncement(const QString &)
{
    interruptTransfer();
    serialSendCommand(QStringLiteral("*IDN?\n"));
    emit deviceRestarted();
}

void Device::handleTemperature(const QString &text)
{
    // The number sits between "*T = " and the unit the instrument sends, " K". A line
    // without it was cut or damaged on the way, and its number may have lost digits.
    bool ok = false;
    const double value = text.endsWith(QLatin1String(" K"))
        ? text.midRef(5, text.length() - 7).toDouble(&ok)
        : 0.0;
    // "nan" and "inf" convert, but are no temperature, and neither is one out of range.
    if (!ok || !(value >= lowestPlausibleKelvin && value <= highestPlausibleKelvin)) {
        qCDebug(deviceLog).noquote() << "dropped a temperature line:" << text;
        return;
    }
    emit temperatureChanged(value);
}

void Device::handleIdentification(const QString &text)
{
    const QStringList fields = text.split(QLatin1Char(','), Qt::KeepEmptyParts);
    // During an upgrade only a well-formed identification may choose the image's
    // revision or the boot loader's dialect; anything else leaves the record alone.
    if (upgradeState != -1
        && !(fields.size() == 4
             && isWellFormedIdentity(fields.at(0), fields.at(1), fields.at(3)))) {
        emit identificationUnrecognised();
        handleGarbledIdentification(text);
        return;
    }
    bool recognised = false;
    if (fields.size() == 4) {
        vendor = fields.at(0);
        model = fields.at(1);
        serialNumber = fields.at(2);
        version = fields.at(3);
        versionCode = rimeglass::VersionText::code(version);
        recognised = identifyRecognisedModel();
    }
    if (!recognised)
        emit identificationUnrecognised();

    // Any identification answers a reset into management mode, whatever it holds.
    if (resetPending || identificationAwaited) {
        resetPending = false;
        identificationAwaited = false;
        if (upgradeState == 0) {
            upgradeState = 1;
            upgradeFirmwareStep();
        } else {
            emit deviceManagementMode();
        }
    }
}

// While the upgrade waits for the boot loader, a garbled identification is asked for
// again a few times; after that, or later in the upgrade, it is only logged.
void Device::handleGarbledIdentification(const QString &text)
{
    qCDebug(deviceLog).noquote() << "garbled identification during the upgrade:" << text;
    if (upgradeState != 0)
        return;
    if (identificationRequests >= identificationRequestLimit) {
        failTransfer(TransferFailure::IdentificationGarbled, text);
        return;
    }
    askForIdentificationAgain();
}

void Device::askForIdentificationAgain()
{
    ++identificationRequests;
    serialSendCommand(QStringLiteral("*IDN?\n"));
    startTransferTimer(&TransferTimeouts::answerMs);
}

bool Device::bootLoaderIdentityOnRecord() const
{
    return model == bootLoaderModel && isWellFormedIdentity(vendor, model, version);
}

bool Device::identifyRecognisedModel()
{
    if (vendor != vendorName)
        return false;
    if (model == bootLoaderModel)
        bootstrap = true;
    else if (model == applicationModel)
        bootstrap = false;
    else
        return false;

    if (versionCode <= lastVersionBefore1_4) {
        compat = revision1Compat();
        compatPending = false;
        bootLoaderRevisionKnown = bootstrap;
        answeredIdentification = true;
        emit identified();
    } else {
        // The "*COMPAT = " answer completes the identification.
        compatPending = true;
        bootLoaderRevisionKnown = false;
        serialSendCommand(QStringLiteral("@00\n"));
    }
    return true;
}

void Device::handleCompat(const QString &text)
{
    compat = QByteArray::fromHex(text.mid(10).toUtf8());
    answeredIdentification = compatPending;
    compatPending = false;
    bootLoaderRevisionKnown = bootstrap;
    emit identified();
    // An upgrade that reset the instrument erases only once the revision is known.
    if (upgradeState == 1)
        upgradeFirmwareStep();
}

void Device::handleCalibrationAcknowledgement(const QString &)
{
    if (upgradeState != -1)
        failTransfer(TransferFailure::UnexpectedAcknowledgement);
    else if (takesAcknowledgement())
        uploadCalibrationStep();
}

void Device::handleFirmwareAcknowledgement(const QString &)
{
    if (calibrationState != -1)
        failTransfer(TransferFailure::UnexpectedAcknowledgement);
    else if (takesAcknowledgement())
        upgradeFirmwareStep();
}

// At most one command of a transfer is outstanding. The acknowledgements carry no
// offset, so an acknowledgement counts only while one is awaited, and only when the
// instrument can have received the command: in a later read than the command went out
// in (a second acknowledgement in the same read is a doubled one), and no sooner than
// the line needs to carry the command (one sooner answers an earlier command).
bool Device::takesAcknowledgement()
{
    if (!acknowledgementAwaited) {
        qCDebug(deviceLog)
            << "serial read: acknowledgement while no transfer command is outstanding";
        return false;
    }
    if (handlingRead && commandRead == readCount) {
        qCDebug(deviceLog)
            << "serial read: acknowledgement before the last command could be answered";
        return false;
    }
    if (commandClock.nsecsElapsed() < commandLineNs) {
        qCDebug(deviceLog) << "serial read: acknowledgement" << commandClock.nsecsElapsed() / 1000
                           << "us after the last command, which the line needs"
                           << commandLineNs / 1000 << "us to carry";
        return false;
    }
    acknowledgementAwaited = false;
    acknowledgedBytes = qMin(transferOffset, transferData.size());
    return true;
}

void Device::handleParameter(const QString &text)
{
    const QStringList parts = text.split(QStringLiteral(" = "), Qt::KeepEmptyParts);
    if (parts.size() == 2)
        emit parameterReceived(parts.at(0), parts.at(1));
}

void Device::reset(ResetMode mode)
{
    if (!port)
        return;
    serialSendCommand(QStringLiteral(":system:reset\n"));
    if (mode == ResetManagement)
        resetPending = true;
}

void Device::provision() { }

void Device::measureRaw()
{
    sendMeasurementQuery(QStringLiteral(":volt:raw?\n"));
}

void Device::measureUncalibrated()
{
    sendMeasurementQuery(QStringLiteral(":volt:unc?\n"));
}

void Device::measureCalibrated()
{
    sendMeasurementQuery(QStringLiteral(":volt:cor?\n"));
}

void Device::sendMeasurementQuery(const QString &query)
{
    if (versionCode > lastVersionBefore1_5)
        serialSendCommand(query);
}

void Device::sendADCCalibration(double offset, double slope)
{
    // Offset in microvolts; slope as a fixed-point number with 24 fraction bits.
    const qint32 offsetMicrovolts = truncatedToInt32(offset * 1000000.0);
    const qint32 slopeFixed = truncatedToInt32(slope * 16777216.0);
    const QString command = QString::asprintf(":volt:cal %08x %08x\n", quint32(offsetMicrovolts),
                                              quint32(slopeFixed));
    qCDebug(deviceLog) << "calibration command" << command;
    serialSendCommand(command);
}
