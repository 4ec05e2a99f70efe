#include "recordingfile.h"

#include "rimeglass-version.h"

#include <QRegularExpression>
#include <cerrno>
#include <cstring>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

QString RecordingFile::fileName(const QString &serialNumber, const QDateTime &start)
{
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9._-]"));
    QString serial = serialNumber.isEmpty() ? QStringLiteral("unknown") : serialNumber;
    serial.replace(unsafe, QStringLiteral("_"));
    return serial + QLatin1Char('_')
        + start.toLocalTime().toString(QStringLiteral("yyyy-MM-dd_HHmmss"))
        + QStringLiteral(".csv");
}

QByteArray RecordingFile::header(const Instrument &instrument)
{
    return QByteArray("# rimeglass ") + rimeglass::versionText + " recording\n"
        + instrumentLine(instrument) + sensorLine(instrument.sensor) + "time_utc,seconds,kelvin\n";
}

QByteArray RecordingFile::instrumentLine(const Instrument &instrument)
{
    return "# instrument: MORVA " + instrument.model.toUtf8() + ", serial number "
        + instrument.serialNumber.toUtf8() + ", firmware " + instrument.version.toUtf8() + '\n';
}

QByteArray RecordingFile::sensorLine(const QString &sensor)
{
    return "# sensor: " + sensor.toUtf8() + '\n';
}

QByteArray RecordingFile::row(const QDateTime &time, double seconds, double kelvin)
{
    // Rows come many to a second at the line's full rate: the date and time down to the
    // second are formatted once per second, the milliseconds by hand.
    static qint64 formattedSecond = std::numeric_limits<qint64>::min();
    static QByteArray formattedPrefix;
    const qint64 milliseconds = time.toMSecsSinceEpoch();
    const qint64 second = milliseconds >= 0 ? milliseconds / 1000 : (milliseconds - 999) / 1000;
    if (second != formattedSecond) {
        formattedSecond = second;
        formattedPrefix = QDateTime::fromSecsSinceEpoch(second, Qt::UTC)
                              .toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss."))
                              .toLatin1();
    }
    const int fraction = int(milliseconds - second * 1000);
    char millisecondText[5] = {char('0' + fraction / 100), char('0' + fraction / 10 % 10),
                               char('0' + fraction % 10), 'Z', ','};
    return formattedPrefix + QByteArray::fromRawData(millisecondText, 5)
        + QByteArray::number(seconds, 'f', 3) + ',' + QByteArray::number(kelvin, 'f', 3) + '\n';
}

bool RecordingFile::open(const QString &path, const QByteArray &header, bool toEnd)
{
    close();
    m_error.clear();
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | (toEnd ? QIODevice::Append : QIODevice::Truncate)))
        return fail(QStringLiteral("create"), m_file.errorString());
    return append(header);
}

bool RecordingFile::append(const QByteArray &bytes)
{
    if (m_file.write(bytes) != bytes.size() || !m_file.flush())
        return fail(QStringLiteral("write"), m_file.errorString());
    return true;
}

bool RecordingFile::sync()
{
    if (!m_file.isOpen())
        return true;
    if (::fdatasync(m_file.handle()) != 0 && errno != EINVAL)
        return fail(QStringLiteral("write"), QString::fromLocal8Bit(std::strerror(errno)));
    return true;
}

bool RecordingFile::isAtItsPath() const
{
    struct stat written;
    struct stat named;
    if (!m_file.isOpen() || ::fstat(m_file.handle(), &written) != 0)
        return true;
    return ::stat(QFile::encodeName(m_file.fileName()).constData(), &named) == 0
        && named.st_dev == written.st_dev && named.st_ino == written.st_ino;
}

void RecordingFile::close()
{
    if (m_file.isOpen()) {
        sync();
        m_file.close();
    }
}

bool RecordingFile::fail(const QString &action, const QString &reason)
{
    m_error = QStringLiteral("Cannot %1 %2: %3").arg(action, m_file.fileName(), reason);
    m_file.close();
    return false;
}
