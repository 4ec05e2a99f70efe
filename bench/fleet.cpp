// Fleet logging: a lab logs all its instruments from one machine into one database. N
// simulated instruments, each in a process of its own, send at the line's full rate (720
// readings a second, handed to the port in packets every 16 ms as a USB serial adapter
// does), and one `rimeglass-cli log` for each posts them to one local InfluxDB server.
//
// The instruments' readings are switched on and off at their keys (the simulator's
// console), so that what they sent is known exactly: after a warm-up, in which every log
// has connected and posted, the readings run for a measured window. Then the CPU time of
// all logs together (user and system, from /proc), each log's resident set at the
// window's start and end, and the points the database holds for each instrument (by a
// query) against the readings it sent.

#include "benchsupport.h"
#include "influxserver.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <numeric>
#include <unistd.h>
#include <vector>

namespace {

const int windowSeconds = bench::sized(30, 3);
const QVector<int> fleetSizes = bench::smokeRun() ? QVector<int>{1, 2} : QVector<int>{1, 4, 16};
// 10 ms at 7.2 times the speed: 720 readings a second, all the line carries.
const QString fullRatePeriod = QStringLiteral("10");
const QString fullRateSpeed = QStringLiteral("7.2");
constexpr int packetMs = 16;
// Goal: 16 instruments in half a core, so a thirty-second of a core each.
constexpr double goalCoreShareEach = 0.5 / 16.0;
constexpr qint64 flatBytes = 1024 * 1024;
constexpr int answerMs = 20000;
constexpr int settleMs = 1500;

// CPU seconds (user and system) and resident bytes of a process, from /proc.
struct Usage
{
    double cpuSeconds = -1.0;
    qint64 residentBytes = -1;
};

Usage usageOf(qint64 pid)
{
    Usage usage;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        // The fields after the command's name, which ends with the last ')'.
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 12) {
            const double tick = double(sysconf(_SC_CLK_TCK));
            usage.cpuSeconds = (fields.at(11).toLongLong() + fields.at(12).toLongLong()) / tick;
        }
    }
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                usage.residentBytes = line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
        }
    }
    return usage;
}

// This process's child of that name: the server InfluxServer started.
qint64 childNamed(const QByteArray &name)
{
    const QByteArray parent = QByteArray::number(qint64(getpid()));
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const QByteArray command
            = text.mid(text.indexOf('(') + 1, text.lastIndexOf(')') - text.indexOf('(') - 1);
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (command == name && fields.value(1) == parent)
            return entry.toLongLong();
    }
    return -1;
}

void runEventLoop(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

// One simulated instrument: rimeglass-sim with its readings off until switched on.
class Instrument
{
public:
    explicit Instrument(const QString &serial)
        : m_serial(serial)
    {
        m_process.start(QStringLiteral(RIMEGLASS_SIM),
                        {QStringLiteral("--serial"), serial, QStringLiteral("--period"),
                         QStringLiteral("0"), QStringLiteral("--speed"), fullRateSpeed,
                         QStringLiteral("--packet-ms"), QString::number(packetMs)});
        if (m_process.waitForReadyRead(answerMs))
            m_port = QString::fromLocal8Bit(m_process.readLine()).trimmed();
        // The port's name comes on standard output, the console's answers on standard error.
        m_process.setReadChannel(QProcess::StandardError);
    }
    ~Instrument()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }

    QString serial() const { return m_serial; }
    QString port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }

    // A line for the simulator's console; its answer is waited for with answer().
    void control(const QByteArray &line) { m_process.write(line + '\n'); }

    // The next answer on standard error that starts with `prefix`; empty when none came.
    QByteArray answer(const QByteArray &prefix)
    {
        const QByteArray speaker = "rimeglass-sim: ";
        const QByteArray marker = speaker + prefix;
        const QDeadlineTimer deadline(answerMs);
        for (;;) {
            while (m_process.canReadLine()) {
                const QByteArray line = m_process.readLine().trimmed();
                if (line.startsWith(marker))
                    return line.mid(speaker.size());
            }
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return QByteArray();
            m_process.waitForReadyRead(100);
        }
    }

    // Readings on (the line's full rate) or off.
    void switchReadings(bool on)
    {
        control("set rs232:period " + (on ? fullRatePeriod : "0").toLatin1());
    }
    bool readingsSwitched() { return !answer("rs232:period = ").isEmpty(); }
    // Temperature lines sent since start; -1 when the simulator did not answer.
    qint64 sent()
    {
        control("count");
        for (;;) {
            const QByteArray text = answer("");
            if (text.isEmpty())
                return -1;
            if (text.endsWith(" temperature lines sent"))
                return text.split(' ').value(0).toLongLong();
        }
    }

private:
    QString m_serial;
    QProcess m_process;
    QString m_port;
};

// One `rimeglass-cli log` posting to the server; its messages go to a file.
class Logger
{
public:
    Logger(const QString &port, const QString &url, const QString &database,
           const QString &messages)
    {
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(messages);
        m_process.start(QStringLiteral(RIMEGLASS_CLI),
                        {QStringLiteral("log"), port, QStringLiteral("--influx-url"), url,
                         QStringLiteral("--database"), database});
        m_process.waitForStarted(answerMs);
    }
    ~Logger()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    qint64 pid() const { return m_process.processId(); }
    bool running() const { return m_process.state() == QProcess::Running; }
    // Ends the log as an operator does (SIGTERM); true when it ended cleanly.
    bool stop()
    {
        m_process.terminate();
        return m_process.waitForFinished(answerMs) && m_process.exitStatus() == QProcess::NormalExit
            && m_process.exitCode() == 0;
    }

private:
    QProcess m_process;
};

struct FleetResult
{
    int size = 0;
    bool ok = false;
    double windowSeconds = 0.0;
    double readingsSeconds = 0.0; // from the readings switched on to switched off
    double loggersCpu = 0.0; // CPU seconds of all logs together over the window
    double busiestLoggerCpu = 0.0;
    double quietestLoggerCpu = 0.0;
    double simulatorsCpu = 0.0;
    double serverCpu = -1.0;
    QVector<qint64> residentStart;
    QVector<qint64> residentEnd;
    qint64 sent = 0;
    qint64 points = 0;
    qint64 worstInstrumentLost = 0;
};

class Fleet
{
public:
    Fleet(InfluxServer &server, int size, const QString &messagesDir)
        : m_server(server)
        , m_database(QStringLiteral("fleet%1").arg(size))
        , m_messagesDir(messagesDir)
    {
        m_result.size = size;
        server.query(QStringLiteral("CREATE DATABASE %1").arg(m_database));
        for (int i = 0; i < size; ++i) {
            m_instruments.emplace_back(std::make_unique<Instrument>(
                QStringLiteral("FLEET-%1-%2").arg(size).arg(i + 1, 2, 10, QLatin1Char('0'))));
        }
    }

    FleetResult run()
    {
        for (const auto &instrument : m_instruments) {
            if (instrument->port().isEmpty())
                return fail(QStringLiteral("a simulator did not start"));
        }
        // Warm-up: the instruments send, as they do all day, and every log connects and
        // posts.
        if (!switchReadings(true))
            return fail(QStringLiteral("the readings could not be switched on"));
        for (const auto &instrument : m_instruments) {
            m_loggers.emplace_back(std::make_unique<Logger>(
                instrument->port(), m_server.url(), m_database,
                QStringLiteral("%1/%2.log").arg(m_messagesDir, instrument->serial())));
        }
        if (!waitForPointsFromAll())
            return fail(QStringLiteral("not every log posted its readings"));
        if (!switchReadings(false))
            return fail(QStringLiteral("the readings could not be switched off"));
        QVector<qint64> sentBefore;
        QVector<qint64> pointsBefore;
        if (!countAll(&sentBefore, &pointsBefore))
            return fail(QStringLiteral("the counts before the window could not be read"));

        // The window: readings on, usage read at its start and end.
        if (!switchReadings(true))
            return fail(QStringLiteral("the readings could not be switched on"));
        const double readingsOn = bench::monotonicSeconds();
        const QVector<Usage> loggersBefore = loggerUsage();
        const QVector<Usage> simulatorsBefore = simulatorUsage();
        const qint64 serverPid = childNamed("influxd");
        const Usage serverBefore = serverPid > 0 ? usageOf(serverPid) : Usage();
        const double start = bench::monotonicSeconds();
        runEventLoop(windowSeconds * 1000);
        const QVector<Usage> loggersAfter = loggerUsage();
        const QVector<Usage> simulatorsAfter = simulatorUsage();
        const Usage serverAfter = serverPid > 0 ? usageOf(serverPid) : Usage();
        m_result.windowSeconds = bench::monotonicSeconds() - start;
        if (!switchReadings(false))
            return fail(QStringLiteral("the readings could not be switched off"));
        m_result.readingsSeconds = bench::monotonicSeconds() - readingsOn;
        QVector<qint64> sentAfter;
        QVector<qint64> pointsAfter;
        if (!countAll(&sentAfter, &pointsAfter))
            return fail(QStringLiteral("the counts after the window could not be read"));

        QVector<double> loggerCpu;
        for (int i = 0; i < m_result.size; ++i) {
            loggerCpu.append(loggersAfter.at(i).cpuSeconds - loggersBefore.at(i).cpuSeconds);
            m_result.residentStart.append(loggersBefore.at(i).residentBytes);
            m_result.residentEnd.append(loggersAfter.at(i).residentBytes);
            m_result.simulatorsCpu
                += simulatorsAfter.at(i).cpuSeconds - simulatorsBefore.at(i).cpuSeconds;
            const qint64 sent = sentAfter.at(i) - sentBefore.at(i);
            const qint64 points = pointsAfter.at(i) - pointsBefore.at(i);
            m_result.sent += sent;
            m_result.points += points;
            m_result.worstInstrumentLost = qMax(m_result.worstInstrumentLost, sent - points);
        }
        m_result.loggersCpu = std::accumulate(loggerCpu.begin(), loggerCpu.end(), 0.0);
        m_result.busiestLoggerCpu = *std::max_element(loggerCpu.begin(), loggerCpu.end());
        m_result.quietestLoggerCpu = *std::min_element(loggerCpu.begin(), loggerCpu.end());
        if (serverBefore.cpuSeconds >= 0 && serverAfter.cpuSeconds >= 0)
            m_result.serverCpu = serverAfter.cpuSeconds - serverBefore.cpuSeconds;

        bool stopped = true;
        for (const auto &logger : m_loggers)
            stopped = logger->stop() && stopped;
        if (!stopped)
            return fail(QStringLiteral("a log did not end cleanly"));
        m_result.ok = m_result.sent > 0;
        return m_result;
    }

private:
    FleetResult fail(const QString &why)
    {
        std::fprintf(stderr, "fleet: %d instruments: %s (the logs' messages: %s)\n", m_result.size,
                     qPrintable(why), qPrintable(m_messagesDir));
        const QStringList files = QDir(m_messagesDir).entryList(QDir::Files);
        for (const QString &name : files) {
            QFile file(QDir(m_messagesDir).filePath(name));
            if (file.open(QIODevice::ReadOnly) && file.size() > 0)
                std::fprintf(stderr, "fleet: %s: %s\n", qPrintable(name),
                             file.readAll().trimmed().constData());
        }
        return m_result;
    }

    bool switchReadings(bool on)
    {
        for (const auto &instrument : m_instruments)
            instrument->switchReadings(on);
        bool switched = true;
        for (const auto &instrument : m_instruments)
            switched = instrument->readingsSwitched() && switched;
        return switched;
    }

    qint64 pointsOf(const Instrument &instrument)
    {
        const QJsonArray rows = m_server.values(
            QStringLiteral("SELECT count(kelvin) FROM temperature WHERE serial = '%1'")
                .arg(instrument.serial()),
            m_database);
        return qint64(rows.at(0).toArray().at(1).toDouble());
    }

    bool loggersRunning() const
    {
        return std::all_of(m_loggers.begin(), m_loggers.end(),
                           [](const std::unique_ptr<Logger> &logger) { return logger->running(); });
    }

    bool waitForPointsFromAll()
    {
        const QDeadlineTimer deadline(60000);
        while (!deadline.hasExpired() && loggersRunning()) {
            const bool all = std::all_of(m_instruments.begin(), m_instruments.end(),
                                         [this](const std::unique_ptr<Instrument> &instrument) {
                                             return pointsOf(*instrument) > 0;
                                         });
            if (all)
                return true;
            runEventLoop(250);
        }
        return false;
    }

    // With the readings off: what each instrument sent, and the points in the database
    // once the logs have posted all they had (the same total twice in a row).
    bool countAll(QVector<qint64> *sent, QVector<qint64> *points)
    {
        for (const auto &instrument : m_instruments) {
            sent->append(instrument->sent());
            if (sent->constLast() < 0)
                return false;
        }
        qint64 previous = -1;
        const QDeadlineTimer deadline(60000);
        while (!deadline.hasExpired() && loggersRunning()) {
            runEventLoop(settleMs);
            points->clear();
            for (const auto &instrument : m_instruments)
                points->append(pointsOf(*instrument));
            const qint64 total = std::accumulate(points->begin(), points->end(), qint64(0));
            if (total == previous)
                return true;
            previous = total;
        }
        return false;
    }

    QVector<Usage> loggerUsage() const
    {
        QVector<Usage> usage;
        for (const auto &logger : m_loggers)
            usage.append(usageOf(logger->pid()));
        return usage;
    }

    QVector<Usage> simulatorUsage() const
    {
        QVector<Usage> usage;
        for (const auto &instrument : m_instruments)
            usage.append(usageOf(instrument->pid()));
        return usage;
    }

    InfluxServer &m_server;
    QString m_database;
    QString m_messagesDir;
    FleetResult m_result;
    std::vector<std::unique_ptr<Instrument>> m_instruments;
    std::vector<std::unique_ptr<Logger>> m_loggers;
};

QString percent(double share, int decimals = 1)
{
    return QStringLiteral("%1 %").arg(bench::grouped(100.0 * share, decimals));
}

// "9.8–10.1 MiB": the least and the most of the logs.
QString mebibyteRange(const QVector<qint64> &bytes)
{
    const auto range = std::minmax_element(bytes.begin(), bytes.end());
    const auto mib = [](qint64 value) {
        return bench::grouped(double(value) / 1048576.0, 2);
    };
    return QStringLiteral("%1–%2 MiB").arg(mib(*range.first), mib(*range.second));
}

void printRows(const FleetResult &result)
{
    const QString figure = QStringLiteral("9 fleet log");
    const QString fleet = result.size == 1 ? QStringLiteral("1 instrument")
                                           : QStringLiteral("%1 instruments").arg(result.size);
    if (!result.ok) {
        bench::printRow(figure, fleet + QStringLiteral(": failed (see the messages above)"),
                        QStringLiteral("failed"), QStringLiteral("-"), QStringLiteral("-"),
                        QStringLiteral("FAILED"));
        return;
    }
    const double seconds = result.windowSeconds;
    const double share = result.loggersCpu / seconds;
    const double readingsPerSecond = result.sent / result.readingsSeconds;
    const double perReading = result.loggersCpu / (readingsPerSecond * seconds);
    const double goal = goalCoreShareEach * result.size;
    bench::printRow(
        figure,
        QStringLiteral("%1 at %2 readings/s each, a rimeglass-cli log each into one influxd, "
                       "%3 s: CPU of all logs together (per instrument %4; logs %5 to %6)")
            .arg(fleet, bench::grouped(readingsPerSecond / result.size))
            .arg(qRound(seconds))
            .arg(percent(share / result.size, 2), percent(result.quietestLoggerCpu / seconds, 2),
                 percent(result.busiestLoggerCpu / seconds, 2)),
        percent(share) + QStringLiteral(" of a core"),
        QStringLiteral("%1 per reading, %2 of a line's wire time")
            .arg(bench::duration(perReading),
                 percent(perReading * bench::wireTemperatureLinesPerSecond, 2)),
        QStringLiteral("≤ %1").arg(percent(goal)), bench::verdict(share <= goal));

    const qint64 lost = result.sent - result.points;
    bench::printRow(
        figure,
        QStringLiteral("%1: points in the database (a count query for each) of the "
                       "readings sent; most lost by one instrument %2")
            .arg(fleet)
            .arg(result.worstInstrumentLost),
        QStringLiteral("%1 of %2").arg(bench::grouped(result.points), bench::grouped(result.sent)),
        QStringLiteral("%1 lost; %2 × the wire's readings")
            .arg(bench::grouped(lost))
            .arg(bench::grouped(
                readingsPerSecond / result.size / bench::wireTemperatureLinesPerSecond, 3)),
        QStringLiteral("0 lost"), bench::verdict(lost == 0 && result.worstInstrumentLost == 0));

    qint64 growth = 0;
    for (int i = 0; i < result.size; ++i)
        growth = qMax(growth, result.residentEnd.at(i) - result.residentStart.at(i));
    bench::printRow(
        figure, QStringLiteral("%1: each log's RSS at the window's start, end").arg(fleet),
        mebibyteRange(result.residentStart) + QStringLiteral(", ")
            + mebibyteRange(result.residentEnd),
        QStringLiteral("most growth %1 over %2 readings")
            .arg((growth >= 0 ? QStringLiteral("+") : QString()) + bench::mebibytes(growth),
                 bench::grouped(double(result.sent) / result.size)),
        QStringLiteral("flat (≤ +1 MiB)"), bench::verdict(growth <= flatBytes));

    bench::printRow(figure,
                    QStringLiteral("%1: the rest meanwhile on this machine: the simulators "
                                   "together (influxd %2)")
                        .arg(fleet,
                             result.serverCpu < 0 ? QStringLiteral("not measured")
                                                  : percent(result.serverCpu / seconds)
                                     + QStringLiteral(" of a core")),
                    percent(result.simulatorsCpu / seconds) + QStringLiteral(" of a core"),
                    QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("-"));
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    if (!bench::isolateUserStore(home))
        return 1;
    QCoreApplication application(argc, argv);

    InfluxServer server;
    if (!server.available() || !server.start()) {
        std::fprintf(stderr, "fleet: no InfluxDB server: %s\n", qPrintable(server.log()));
        bench::printRow(QStringLiteral("9 fleet log"),
                        QStringLiteral("no influxd (scripts/install-deps installs it)"),
                        QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("-"),
                        QStringLiteral("-"));
        return 1;
    }
    bool ok = true;
    for (const int size : fleetSizes) {
        const QString messages = home.filePath(QStringLiteral("messages-%1").arg(size));
        QDir().mkpath(messages);
        Fleet fleet(server, size, messages);
        const FleetResult result = fleet.run();
        printRows(result);
        ok = ok && result.ok;
    }
    return ok ? 0 : 1;
}
