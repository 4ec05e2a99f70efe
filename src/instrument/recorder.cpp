#include "recorder.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTimer>
#include <cerrno>
#include <cstring>

namespace {

constexpr int syncIntervalMs = 1000;
constexpr qint64 fileCheckIntervalMs = 1000;

// A name not yet taken in `folder`: two recordings started within the same second get
// "-2", "-3", ... before the suffix rather than one overwriting the other.
QString unusedPath(const QDir &folder, const QString &fileName)
{
    QString path = folder.filePath(fileName);
    const QString base = path.chopped(4);
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = base + QLatin1Char('-') + QString::number(n) + QStringLiteral(".csv");
    return path;
}

} // namespace

Recorder::Recorder(QObject *parent)
    : QObject(parent)
    , m_clock([] { return QDateTime::currentDateTimeUtc(); })
    , m_syncTimer(new QTimer(this))
{
    m_syncTimer->setSingleShot(true);
    m_syncTimer->setInterval(syncIntervalMs);
    connect(m_syncTimer, &QTimer::timeout, this, &Recorder::syncFile);
}

Recorder::~Recorder()
{
    m_file.close();
}

void Recorder::setClock(Clock clock)
{
    m_clock = std::move(clock);
}

void Recorder::setAutomatic(bool automatic)
{
    m_automatic = automatic;
}

void Recorder::setFolder(const QString &folder)
{
    m_folder = folder;
}

QString Recorder::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)
        + QStringLiteral("/rimeglass");
}

bool Recorder::start(const QString &folder)
{
    m_file.close();
    m_syncTimer->stop();
    return startFile(folder, m_clock());
}

void Recorder::stop()
{
    if (isRecording())
        finish(QString());
}

void Recorder::addReading(const Reading &reading)
{
    if (!isRecording())
        return;
    const QDateTime now = reading.time();
    if (fileCheckDue(now)) {
        m_lastFileCheck = now;
        checkFile();
        if (!isRecording())
            return;
    }
    if (m_automatic && isNewLocalDate(now)) {
        m_file.close();
        if (!startFile(m_fileFolder, now))
            return;
    } else if (otherInstrumentHasStayed()) {
        m_file.close();
        if (!startFile(m_fileFolder, m_clock()))
            return;
    }
    QByteArray bytes;
    const QByteArray instrumentLine = RecordingFile::instrumentLine(m_instrument);
    if (instrumentLine != m_fileInstrumentLine) {
        m_fileInstrumentLine = instrumentLine;
        bytes = instrumentLine;
    }
    if (m_instrument.sensor != m_fileSensor) {
        m_fileSensor = m_instrument.sensor;
        bytes += RecordingFile::sensorLine(m_fileSensor);
    }
    bytes += RecordingFile::row(now, m_fileStart.msecsTo(now) / 1000.0, reading.kelvin);
    if (!m_file.append(bytes)) {
        finish(m_file.errorText());
        return;
    }
    ++m_rows;
    if (!m_syncTimer->isActive())
        m_syncTimer->start();
    emit rowsWritten(m_rows);
}

void Recorder::instrumentIdentified(const InstrumentIdentity &identity)
{
    m_instrument = RecordingFile::Instrument::of(identity, m_instrument.sensor);
    const bool firstAfterOpen = m_awaitingFirstIdentification;
    m_awaitingFirstIdentification = false;
    // After a lost port came back the same file goes on, unless another instrument
    // answered and stays: its readings belong in a file with its own header.
    if (m_automatic && firstAfterOpen)
        start(m_folder);
    else if (m_instrument.serialNumber == m_fileSerialNumber)
        m_otherInstrumentSince = QDateTime();
    else if (isRecording() && !m_otherInstrumentSince.isValid())
        m_otherInstrumentSince = m_clock();
}

void Recorder::sensorChanged(const QString &sensor)
{
    m_instrument.sensor = sensor;
}

void Recorder::connectionEnded(bool lost)
{
    if (lost)
        return;
    m_awaitingFirstIdentification = true;
    stop();
}

bool Recorder::startFile(const QString &folder, const QDateTime &start)
{
    QDir dir(folder);
    errno = 0;
    if (folder.isEmpty() || !dir.mkpath(QStringLiteral("."))) {
        const int error = errno;
        finish(QStringLiteral("Cannot create the folder %1: %2")
                   .arg(folder,
                        error ? QString::fromLocal8Bit(std::strerror(error))
                              : QStringLiteral("no folder given")));
        return false;
    }
    const QFileInfo folderInfo(dir.absolutePath());
    if (!folderInfo.isWritable()) {
        finish(QStringLiteral("Cannot write in the folder %1: Permission denied")
                   .arg(dir.absolutePath()));
        return false;
    }
    const QString path = unusedPath(dir, RecordingFile::fileName(m_instrument.serialNumber, start));
    if (!m_file.open(path, RecordingFile::header(m_instrument))) {
        finish(m_file.errorText());
        return false;
    }
    m_fileFolder = dir.absolutePath();
    m_fileStart = start;
    m_fileSerialNumber = m_instrument.serialNumber;
    m_fileSensor = m_instrument.sensor;
    m_fileInstrumentLine = RecordingFile::instrumentLine(m_instrument);
    m_otherInstrumentSince = QDateTime();
    m_rows = 0;
    emit started(path);
    return true;
}

void Recorder::checkFile()
{
    if (!isRecording() || m_file.isAtItsPath())
        return;
    const QString lostPath = m_file.path();
    m_file.close();
    if (startFile(m_fileFolder, m_clock()))
        emit fileGone(lostPath, m_file.path());
}

// Nothing needs checking while no reading comes: the first after a quiet spell finds a
// file deleted meanwhile before it is written. A clock set back counts as time passed.
bool Recorder::fileCheckDue(const QDateTime &readingTime) const
{
    return !m_lastFileCheck.isValid()
        || qAbs(m_lastFileCheck.msecsTo(readingTime)) >= fileCheckIntervalMs;
}

void Recorder::finish(const QString &errorText)
{
    m_syncTimer->stop();
    m_otherInstrumentSince = QDateTime();
    m_file.close();
    emit stopped(errorText);
}

bool Recorder::isNewLocalDate(const QDateTime &time) const
{
    return time.toLocalTime().date() != m_fileStart.toLocalTime().date();
}

bool Recorder::otherInstrumentHasStayed() const
{
    return m_otherInstrumentSince.isValid()
        && m_otherInstrumentSince.secsTo(m_clock()) >= newFileHoldOffSeconds;
}

void Recorder::syncFile()
{
    if (isRecording() && !m_file.sync())
        finish(m_file.errorText());
}
