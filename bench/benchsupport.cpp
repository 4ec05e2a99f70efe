#include "benchsupport.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QTextStream>
#include <algorithm>
#include <cstdio>
#include <ctime>

namespace bench {

namespace {

FILE *debugSink = nullptr;

void writeToSink(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray line = qFormatLogMessage(type, context, message).toLocal8Bit();
    std::fprintf(debugSink, "%s\n", line.constData());
    std::fflush(debugSink);
}

double clockSeconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// A "Vm...:" line of /proc/self/status, in bytes.
qint64 statusBytes(const char *key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix(key);
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

} // namespace

bool isolateUserStore(const QTemporaryDir &homeDir)
{
    if (!homeDir.isValid())
        return false;
    const QString home = homeDir.path();
    qputenv("HOME", home.toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home + QStringLiteral("/.config")).toLocal8Bit());
    const QString runtime = home + QStringLiteral("/runtime");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    return true;
}

bool smokeRun()
{
    return qEnvironmentVariableIntValue("RIMEGLASS_BENCH_SMOKE") == 1;
}

int sized(int full, int smoke)
{
    return smokeRun() ? smoke : full;
}

double monotonicSeconds()
{
    return clockSeconds(CLOCK_MONOTONIC);
}

double processCpuSeconds()
{
    return clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
}

qint64 residentBytes()
{
    return statusBytes("VmRSS:");
}

qint64 peakResidentBytes()
{
    return statusBytes("VmHWM:");
}

bool resetPeakResident()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (!clearRefs.open(QIODevice::WriteOnly))
        return false;
    return clearRefs.write("5") == 1;
}

void discardDebugLog()
{
    if (qEnvironmentVariableIsSet("RIMEGLASS_BENCH_DEBUG_LOG"))
        return;
    if (!debugSink)
        debugSink = std::fopen("/dev/null", "w");
    if (debugSink)
        qInstallMessageHandler(writeToSink);
}

double median(QVector<double> values)
{
    if (values.isEmpty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const int middle = values.size() / 2;
    if (values.size() % 2)
        return values.at(middle);
    return (values.at(middle - 1) + values.at(middle)) / 2.0;
}

void printRow(const QString &figure, const QString &measure, const QString &value,
              const QString &againstWire, const QString &goal, const QString &verdict)
{
    QTextStream out(stdout);
    out << "ROW\t" << figure << '\t' << measure << '\t' << value << '\t' << againstWire << '\t'
        << goal << '\t' << verdict << '\n';
}

QString verdict(bool met)
{
    return met ? QStringLiteral("met") : QStringLiteral("MISSED");
}

QString grouped(double value, int decimals)
{
    QLocale english(QLocale::English);
    return english.toString(value, 'f', decimals);
}

QString duration(double seconds)
{
    if (seconds >= 1.0)
        return grouped(seconds, 2) + QStringLiteral(" s");
    if (seconds >= 1e-3)
        return grouped(seconds * 1e3, 1) + QStringLiteral(" ms");
    return grouped(seconds * 1e6, 1) + QStringLiteral(" µs");
}

QString mebibytes(qint64 bytes)
{
    return grouped(double(bytes) / (1024.0 * 1024.0), 2) + QStringLiteral(" MiB");
}

} // namespace bench
