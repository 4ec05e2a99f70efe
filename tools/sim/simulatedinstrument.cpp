#include "simulatedinstrument.h"

#include "instrumentlimits.h"
#include "statefile.h"
#include "versiontext.h"

#include <QSaveFile>
#include <QTimer>
#include <cmath>
#include <limits>

namespace {

const char etx = 0x03;

const QByteArray vendor("MORVA");
const QByteArray applicationModel("ZURKD550");
const QByteArray bootLoaderModel("ZURKD550-BS");

// Longest command taken; a full firmware write line is 244 bytes.
constexpr int maxLineLength = 1024;
// Longest chunk one write command may carry.
constexpr int maxChunkBytes = 256;
using rimeglass::InstrumentLimits::calibrationStoreBytes;

constexpr quint32 calibrationMagic = 0x05de41d4;
using rimeglass::InstrumentLimits::calibrationHeaderBytes;
using rimeglass::InstrumentLimits::calibrationPointBytes;

// Mixed into the seed so that garbling and the temperature noise draw different numbers.
constexpr quint32 curveSeedSalt = 0x9e3779b9;

bool isHexDigits(const QByteArray &text)
{
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return !text.isEmpty();
}

// "OFFSET HEXDATA" as the write commands carry it.
bool parseWrite(const QByteArray &argument, int &offset, QByteArray &data)
{
    const QList<QByteArray> fields = argument.split(' ');
    if (fields.size() != 2)
        return false;
    const QByteArray &offsetText = fields.at(0);
    const QByteArray &dataText = fields.at(1);
    if (!isHexDigits(offsetText) || offsetText.size() > 8 || !isHexDigits(dataText)
        || dataText.size() % 2 != 0 || dataText.size() > 2 * maxChunkBytes)
        return false;
    const quint32 value = offsetText.toUInt(nullptr, 16);
    if (value > quint32(std::numeric_limits<int>::max()))
        return false;
    offset = int(value);
    data = QByteArray::fromHex(dataText);
    return true;
}

bool parseHex32(const QByteArray &text, qint32 &value)
{
    if (!isHexDigits(text) || text.size() > 8)
        return false;
    value = qint32(text.toUInt(nullptr, 16));
    return true;
}

qint32 saturatedInt32(double value)
{
    if (value >= 2147483647.0)
        return std::numeric_limits<qint32>::max();
    if (value <= -2147483648.0)
        return std::numeric_limits<qint32>::min();
    return qint32(std::llround(value));
}

quint32 readLittleEndian32(const QByteArray &bytes, int offset)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | quint8(bytes.at(offset + i));
    return value;
}

// Empty when the instrument takes the table; otherwise why it refuses it.
QByteArray calibrationTableProblem(const QByteArray &table)
{
    if (table.isEmpty())
        return QByteArray(); // an empty store: no custom sensor
    if (table.size() < calibrationHeaderBytes)
        return "calibration table too short";
    if (readLittleEndian32(table, 0) != calibrationMagic)
        return "calibration table has a bad magic number";
    const qint32 count = qint32(readLittleEndian32(table, 4));
    if (count < 0 || count > (table.size() - calibrationHeaderBytes) / calibrationPointBytes)
        return "calibration table has a bad point count";
    return QByteArray();
}

// Overlays data at offset, filling a gap with erased bytes (0xFF).
void place(QByteArray &memory, int offset, const QByteArray &data)
{
    if (memory.size() < offset + data.size())
        memory.append(QByteArray(offset + data.size() - memory.size(), char(0xff)));
    memory.replace(offset, data.size(), data);
}

// "SIMFW 1.6.0.0\0...": the version a simulated firmware image announces.
QString simulatedImageVersion(const QByteArray &image)
{
    static const QByteArray tag("SIMFW ");
    if (!image.startsWith(tag))
        return QString();
    const int nul = image.indexOf('\0', tag.size());
    if (nul < 0 || nul - tag.size() > 15)
        return QString();
    const QString version = QString::fromLatin1(image.mid(tag.size(), nul - tag.size()));
    return rimeglass::VersionText::isWellFormed(version) ? version : QString();
}

} // namespace

SimulatedInstrument::SimulatedInstrument(const InstrumentConfig &config, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_firmwareVersion(config.firmwareVersion)
    , m_settings(config.factorySettings)
    , m_saved(config.factorySettings)
    , m_curve(config.seed ^ curveSeedSalt)
    , m_faults(config.faults, config.seed)
    , m_bootWindow(new QTimer(this))
{
    m_bootWindow->setSingleShot(true);
    m_bootWindow->setInterval(config.bootWindowMs);
    connect(m_bootWindow, &QTimer::timeout, this, &SimulatedInstrument::endBootWindow);
    if (config.startInManagementMode)
        m_mode = Mode::Management;
}

bool SimulatedInstrument::powerUp(QString *error)
{
    if (!m_config.statePath.isEmpty()) {
        const StateFile state(m_config.statePath);
        if (state.exists() && !state.read(m_saved, m_calibrationTable, error))
            return false;
    }
    m_settings = m_saved;
    announceOutputPeriod();
    return true;
}

int SimulatedInstrument::automaticOutputPeriod() const
{
    return m_mode == Mode::Application ? m_settings.rs232Period() : 0;
}

void SimulatedInstrument::handleBytes(const QByteArray &bytes)
{
    for (const char byte : bytes) {
        if (byte == etx) {
            m_lineBuffer.clear();
            m_lineTooLong = false;
            if (m_mode == Mode::BootWindow)
                enterManagementMode();
            continue;
        }
        if (m_mode == Mode::BootWindow)
            continue; // the boot loader is not listening yet
        if (byte == '\n' || byte == '\r') {
            if (m_lineTooLong)
                sendError("line too long");
            else if (!m_lineBuffer.isEmpty())
                handleLine(m_lineBuffer);
            m_lineBuffer.clear();
            m_lineTooLong = false;
            continue;
        }
        if (m_lineBuffer.size() >= maxLineLength)
            m_lineTooLong = true;
        else
            m_lineBuffer.append(byte);
    }
}

void SimulatedInstrument::handleLine(const QByteArray &line)
{
    switch (m_mode) {
    case Mode::Application:
        handleApplicationLine(line);
        break;
    case Mode::Management:
        handleBootLoaderLine(line);
        break;
    case Mode::BootWindow:
        break;
    }
}

void SimulatedInstrument::handleApplicationLine(const QByteArray &line)
{
    const bool reportsCompat
        = rimeglass::VersionText::code(m_firmwareVersion) >= rimeglass::VersionText::compatCode;

    if (line.toLower() == "*idn?")
        sendIdentification();
    else if (line == "@00" && reportsCompat)
        sendCompat();
    else if (line == ":system:reset")
        reset();
    else if (line == ":save")
        save();
    else if (line == ":cal:erase")
        eraseCalibrationStore();
    else if (line.startsWith(":cal:write "))
        writeCalibrationStore(line.mid(11));
    else if (line == ":cal:commit")
        commitCalibrationStore();
    else if (line.startsWith(":volt:"))
        handleVoltageCommand(line);
    else
        handleSettingCommand(line);
}

void SimulatedInstrument::handleBootLoaderLine(const QByteArray &line)
{
    const bool shortCodes = rimeglass::VersionText::code(m_config.bootLoaderVersion)
        >= rimeglass::VersionText::compatCode;

    if (line.toLower() == "*idn?")
        sendIdentification();
    else if (line == "boot")
        boot();
    else if (line == ":system:reset")
        reset();
    else if (shortCodes && line == "@00")
        sendCompat();
    else if (shortCodes && line == "@02")
        eraseFlash();
    else if (shortCodes && line.startsWith("@03 "))
        writeFlash(line.mid(4));
    else if (!shortCodes && line == "flash erase")
        eraseFlash();
    else if (!shortCodes && line.startsWith("flash write "))
        writeFlash(line.mid(12));
    else
        sendError("unknown command");
}

void SimulatedInstrument::handleSettingCommand(const QByteArray &line)
{
    if (!line.startsWith(':') || line.size() < 2) {
        sendError("unknown command");
        return;
    }

    if (line.endsWith('?')) {
        const QByteArray key = line.mid(1, line.size() - 2);
        const QByteArray value = m_settings.value(key);
        if (value.isEmpty())
            sendError("unknown command");
        else
            sendLine(key + " = " + value);
        return;
    }

    const int blank = line.indexOf(' ');
    if (blank < 0) {
        sendError("unknown command");
        return;
    }
    switch (m_settings.assign(line.mid(1, blank - 1), line.mid(blank + 1))) {
    case InstrumentSettings::Result::Accepted:
        announceOutputPeriod();
        break;
    case InstrumentSettings::Result::UnknownKey:
        sendError("unknown command");
        break;
    case InstrumentSettings::Result::BadValue:
        sendError("bad value");
        break;
    case InstrumentSettings::Result::OutOfRange:
        sendError("value out of range");
        break;
    }
}

void SimulatedInstrument::handleVoltageCommand(const QByteArray &line)
{
    if (rimeglass::VersionText::code(m_firmwareVersion) < rimeglass::VersionText::voltageCode) {
        sendError("unknown command");
        return;
    }

    const qint32 measured = measuredMicrovolts();
    if (line == ":volt:raw?") {
        // Counts of the 24-bit converter over its 2.5 V reference.
        const double counts = double(measured) * 8388608.0 / 2500000.0;
        sendLine("Vraw = " + QByteArray::number(qBound(-8388608.0, counts, 8388607.0), 'f', 0));
    } else if (line == ":volt:unc?") {
        sendLine("Vunc = " + QByteArray::number(measured));
    } else if (line == ":volt:cor?") {
        if (m_settings.adcSlope == 0) {
            sendLine("Vcor = " + QByteArray::number(measured) + " U");
        } else {
            // Calibrated reading = slope × (reading + offset).
            const double slope = double(m_settings.adcSlope) / 16777216.0;
            const qint32 corrected
                = saturatedInt32(slope * (double(measured) + m_settings.adcOffset));
            sendLine("Vcor = " + QByteArray::number(corrected) + " C");
        }
    } else if (line.startsWith(":volt:cal ")) {
        const QList<QByteArray> fields = line.mid(10).split(' ');
        qint32 offset = 0;
        qint32 slope = 0;
        if (fields.size() != 2 || !parseHex32(fields.at(0), offset)
            || !parseHex32(fields.at(1), slope)) {
            sendError("bad value");
            return;
        }
        m_settings.adcOffset = offset;
        m_settings.adcSlope = slope;
    } else {
        sendError("unknown command");
    }
}

void SimulatedInstrument::sendLine(const QByteArray &line)
{
    if (m_faults.silent())
        return;
    emit transmit(m_faults.garbled(line) + "\r\n");
}

void SimulatedInstrument::sendAcknowledgement(const QByteArray &line)
{
    const QString text = QString::fromLatin1(line);
    switch (m_faults.acknowledgement()) {
    case FaultInjector::Acknowledgement::Send:
        sendLine(line);
        break;
    case FaultInjector::Acknowledgement::Drop:
        emit note(QStringLiteral("dropped acknowledgement \"%1\"").arg(text));
        break;
    case FaultInjector::Acknowledgement::Double:
        emit note(QStringLiteral("doubled acknowledgement \"%1\"").arg(text));
        if (!m_faults.silent())
            emit transmit(line + "\r\n" + line + "\r\n");
        break;
    case FaultInjector::Acknowledgement::Reboot:
        emit note(QStringLiteral("restarted instead of acknowledgement \"%1\"").arg(text));
        reset();
        break;
    }
}

void SimulatedInstrument::sendError(const QByteArray &reason)
{
    // Never echoes the command: a command text holding " = " would read as a report.
    sendLine("*ERROR " + reason);
}

void SimulatedInstrument::sendIdentification()
{
    const bool bootLoader = m_mode == Mode::Management;
    const QByteArray model = bootLoader ? bootLoaderModel : applicationModel;
    QByteArray version = (bootLoader ? m_config.bootLoaderVersion : m_firmwareVersion).toLatin1();
    if (m_faults.garblesIdentification()) {
        emit note(QStringLiteral("garbled the version in the identification"));
        version[0] = 'l';
    }
    sendLine(vendor + ',' + model + ',' + m_config.serialNumber.toLatin1() + ',' + version);
}

void SimulatedInstrument::sendCompat()
{
    sendLine("*COMPAT = " + m_config.compat.toHex());
}

void SimulatedInstrument::reset()
{
    // Whatever was not saved is lost, as is a calibration table not yet committed.
    m_settings = m_saved;
    m_calibrationPending.clear();
    m_calibrationErased = false;
    m_lineBuffer.clear();
    m_lineTooLong = false;

    sendLine("*RESET software");
    m_mode = Mode::BootWindow;
    announceOutputPeriod();
    sendLine("*BOOTSTRAP " + m_config.bootLoaderVersion.toLatin1());
    m_bootWindow->start();
}

void SimulatedInstrument::endBootWindow()
{
    if (m_mode != Mode::BootWindow)
        return;
    m_bootWindow->stop();
    // An image whose writing was not finished with "boot" does not start: the boot loader
    // stays, as after a power cut in the middle of an upgrade.
    if (hasApplication() && !m_flashErased) {
        startApplication();
    } else {
        emit note(QStringLiteral("no application image: the boot loader stays"));
        enterManagementMode();
    }
}

void SimulatedInstrument::startApplication()
{
    m_mode = Mode::Application;
    m_settings = m_saved;
    sendLine("*APP " + m_firmwareVersion.toLatin1());
    announceOutputPeriod();
}

void SimulatedInstrument::enterManagementMode()
{
    m_bootWindow->stop();
    m_mode = Mode::Management;
    sendLine("*MGMT");
    announceOutputPeriod();
}

void SimulatedInstrument::announceOutputPeriod()
{
    const int period = automaticOutputPeriod();
    if (period == m_announcedPeriod)
        return;
    m_announcedPeriod = period;
    emit automaticOutputPeriodChanged(period);
}

void SimulatedInstrument::sendTemperature()
{
    if (m_mode != Mode::Application)
        return;
    const int period = m_settings.rs232Period();
    m_seconds += (period > 0 ? period : 1000) / 1000.0;
    sendLine("*T = " + QByteArray::number(m_curve.reading(m_seconds), 'f', 3) + " K");
    if (!m_faults.silent())
        ++m_temperaturesSent;
}

InstrumentSettings::Result SimulatedInstrument::setAtKeys(const QByteArray &key,
                                                          const QByteArray &value)
{
    const InstrumentSettings::Result result = m_settings.assign(key, value);
    if (result == InstrumentSettings::Result::Accepted)
        announceOutputPeriod();
    return result;
}

void SimulatedInstrument::save()
{
    m_saved = m_settings;
    if (!writeState())
        sendError("settings not saved");
}

void SimulatedInstrument::eraseCalibrationStore()
{
    m_calibrationPending.clear();
    m_calibrationErased = true;
    sendAcknowledgement("*cal-erase-done");
}

void SimulatedInstrument::writeCalibrationStore(const QByteArray &argument)
{
    int offset = 0;
    QByteArray data;
    if (!m_calibrationErased) {
        sendError("calibration store not erased");
    } else if (!parseWrite(argument, offset, data)) {
        sendError("bad write command");
    } else if (qint64(offset) + data.size() > calibrationStoreBytes) {
        sendError("write outside the calibration store");
    } else {
        place(m_calibrationPending, offset, data);
        sendAcknowledgement("*cal-write-done");
    }
}

void SimulatedInstrument::commitCalibrationStore()
{
    if (!m_calibrationErased) {
        sendError("calibration store not erased");
        return;
    }
    const QByteArray problem = calibrationTableProblem(m_calibrationPending);
    if (!problem.isEmpty()) {
        // The store keeps the table it had; the erased pages count as not written.
        m_calibrationErased = false;
        m_calibrationPending.clear();
        sendError(problem);
        return;
    }

    m_calibrationTable = m_calibrationPending;
    m_calibrationPending.clear();
    m_calibrationErased = false;
    writeState();
    writeDump(m_config.calibrationDumpPath, m_calibrationTable,
              QStringLiteral("calibration table"));
    sendAcknowledgement("*cal-commit-done");
}

void SimulatedInstrument::eraseFlash()
{
    m_flash.clear();
    m_flashErased = true;
    sendAcknowledgement("*ERASE_OK");
}

void SimulatedInstrument::writeFlash(const QByteArray &argument)
{
    int offset = 0;
    QByteArray data;
    if (!m_flashErased) {
        sendError("flash not erased");
        return;
    }
    if (!parseWrite(argument, offset, data)) {
        sendError("bad write command");
        return;
    }
    if (qint64(offset) + data.size() > applicationFlashBytes) {
        sendError("write outside the application flash");
        return;
    }
    // A programmed flash cell takes no new value until the next erase.
    for (int i = 0; i < data.size() && offset + i < m_flash.size(); ++i) {
        const char current = m_flash.at(offset + i);
        if (current != char(0xff) && current != data.at(i)) {
            sendError("flash already programmed");
            return;
        }
    }
    place(m_flash, offset, data);
    sendAcknowledgement("*WRITE_OK");
}

bool SimulatedInstrument::hasApplication() const
{
    return !m_flashErased || !m_flash.isEmpty();
}

void SimulatedInstrument::boot()
{
    if (!hasApplication()) {
        sendError("no application image");
        return;
    }
    if (m_flashErased)
        adoptWrittenImage();
    startApplication();
}

void SimulatedInstrument::adoptWrittenImage()
{
    m_flashErased = false;
    writeDump(m_config.flashDumpPath, m_flash, QStringLiteral("flash image"));

    const QString version = simulatedImageVersion(m_flash);
    if (version.isEmpty()) {
        emit note(QStringLiteral("the new image carries no \"SIMFW <version>\" tag; "
                                 "the firmware version stays %1")
                      .arg(m_firmwareVersion));
    } else {
        m_firmwareVersion = version;
        emit note(QStringLiteral("firmware version now %1").arg(version));
    }
}

qint32 SimulatedInstrument::measuredMicrovolts() const
{
    return saturatedInt32(m_config.adcGain * m_config.inputVoltage * 1e6
                          + m_config.adcOffsetMicrovolts);
}

bool SimulatedInstrument::writeState()
{
    if (m_config.statePath.isEmpty())
        return true;
    QString error;
    if (!StateFile(m_config.statePath).write(m_saved, m_calibrationTable, &error)) {
        emit note(error);
        return false;
    }
    emit note(QStringLiteral("state written to %1").arg(m_config.statePath));
    return true;
}

void SimulatedInstrument::writeDump(const QString &path, const QByteArray &bytes,
                                    const QString &what)
{
    if (path.isEmpty())
        return;
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        emit note(QStringLiteral("%1 written to %2 (%3 bytes)").arg(what, path).arg(bytes.size()));
    else
        emit note(QStringLiteral("cannot write %1 to %2: %3").arg(what, path, file.errorString()));
}
