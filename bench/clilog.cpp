// `rimeglass-cli log` at the line's limit: the simulated instrument, in a process of its
// own, sends 720 readings a second; the log writes them as CSV into a file, and as line
// protocol to a local InfluxDB server. The log's CPU time per reading is the difference
// to a run of the same length in which the instrument sends nothing, divided by the
// readings logged, against the wire's time per reading.
//
// The readings reach the port as a USB serial adapter hands them over, in packets every
// 16 ms (the FTDI chips' default latency timer). A pseudo-terminal that hands over every
// line on its own wakes the log once per reading; that case is a row of its own.

#include "benchsupport.h"
#include "influxserver.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cerrno>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const int logSeconds = bench::sized(10, 2);

struct LogRun
{
    double cpuSeconds = -1;
    int readings = 0;
};

// The simulated instrument, sending one reading every `periodMs` / `speed` milliseconds.
class SimulatorProgram
{
public:
    SimulatorProgram(double speed, const char *period, int packetMs)
    {
        m_process.start(QStringLiteral(RIMEGLASS_SIM),
                        {QStringLiteral("--period"), QLatin1String(period),
                         QStringLiteral("--speed"), QString::number(speed),
                         QStringLiteral("--packet-ms"), QString::number(packetMs),
                         QStringLiteral("--firmware-version"), QStringLiteral("1.3.0.0")});
        if (m_process.waitForReadyRead(10000))
            m_port = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    }
    ~SimulatorProgram()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    QString port() const { return m_port; }

private:
    QProcess m_process;
    QString m_port;
};

// Runs the program to its end and returns the CPU time it used, user and system.
double childCpuSeconds(const QStringList &arguments)
{
    QList<QByteArray> storage;
    for (const QString &argument : arguments)
        storage.append(argument.toLocal8Bit());
    QVector<char *> argv;
    for (QByteArray &argument : storage)
        argv.append(argument.data());
    argv.append(nullptr);

    const pid_t child = ::fork();
    if (child == 0) {
        ::execv(argv.at(0), argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    while (::wait4(child, &status, 0, &usage) < 0 && errno == EINTR) { }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec
        + usage.ru_stime.tv_usec / 1e6;
}

LogRun logRun(const QString &port, const QStringList &output)
{
    LogRun run;
    run.cpuSeconds
        = childCpuSeconds(QStringList{QStringLiteral(RIMEGLASS_CLI), QStringLiteral("log"), port,
                                      QStringLiteral("--duration"), QString::number(logSeconds)}
                          + output);
    return run;
}

int countRows(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return int(file.readAll().count('\n')) - 4; // the header is four lines
}

void printFigure(const QString &measure, const LogRun &busy, const LogRun &idle,
                 bool withGoal = true)
{
    const double lineSeconds = 1.0 / bench::wireTemperatureLinesPerSecond;
    if (busy.cpuSeconds < 0 || idle.cpuSeconds < 0 || busy.readings <= 0) {
        bench::printRow(QStringLiteral("8 log"), measure, QStringLiteral("failed"),
                        QStringLiteral("-"), QStringLiteral("< 1 %"), bench::verdict(false));
        return;
    }
    const double perReading = qMax(0.0, busy.cpuSeconds - idle.cpuSeconds) / busy.readings;
    const double share = perReading / lineSeconds * 100.0;
    bench::printRow(QStringLiteral("8 log"),
                    measure
                        + QStringLiteral(" (%1 readings in %2 s)")
                              .arg(bench::grouped(busy.readings))
                              .arg(logSeconds),
                    bench::duration(perReading),
                    QStringLiteral("%1 % of a line's wire time").arg(share, 0, 'f', 3),
                    withGoal ? QStringLiteral("< 1 %") : QStringLiteral("-"),
                    withGoal ? bench::verdict(share < 1.0) : QStringLiteral("-"));
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    if (!bench::isolateUserStore(home))
        return 1;
    QCoreApplication application(argc, argv);

    // 10 ms at 7.2 times the speed: 720 readings a second, the line's limit. Each run
    // has an instrument of its own, fresh.
    // An idle instrument (period 0) sends no reading: the log is told to wait for one
    // longer than it runs.
    const auto run = [](double speed, const char *period, int packetMs, QStringList output) {
        SimulatorProgram instrument(speed, period, packetMs);
        if (qstrcmp(period, "0") == 0)
            output << QStringLiteral("--timeout") << QStringLiteral("3600");
        return instrument.port().isEmpty() ? LogRun() : logRun(instrument.port(), output);
    };
    const QString csv = home.filePath(QStringLiteral("log.csv"));
    const QStringList csvOutput{QStringLiteral("--output"), csv, QStringLiteral("--overwrite")};
    LogRun csvBusy = run(7.2, "10", 16, csvOutput);
    csvBusy.readings = countRows(csv);
    const LogRun csvIdle = run(1.0, "0", 16, csvOutput);
    printFigure(QStringLiteral("CLI log to a CSV file: CPU per reading"), csvBusy, csvIdle);
    LogRun csvLines = run(7.2, "10", 0, csvOutput);
    csvLines.readings = countRows(csv);
    printFigure(QStringLiteral("the same, each line handed over on its own"), csvLines, csvIdle,
                false);

    InfluxServer server;
    if (!server.available() || !server.start()) {
        bench::printRow(QStringLiteral("8 log"),
                        QStringLiteral("CLI log to InfluxDB: no influxd (scripts/install-deps)"),
                        QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("< 1 %"),
                        QStringLiteral("-"));
        return 0;
    }
    server.query(QStringLiteral("CREATE DATABASE bench"));
    const QStringList influx{QStringLiteral("--influx-url"), server.url(),
                             QStringLiteral("--database"), QStringLiteral("bench")};
    LogRun influxBusy = run(7.2, "10", 16, influx);
    influxBusy.readings = server
                              .values(QStringLiteral("SELECT count(kelvin) FROM temperature"),
                                      QStringLiteral("bench"))
                              .at(0)
                              .toArray()
                              .at(1)
                              .toInt();
    const LogRun influxIdle = run(1.0, "0", 16, influx);
    printFigure(QStringLiteral("CLI log to InfluxDB on this machine: CPU per reading"), influxBusy,
                influxIdle);
    return 0;
}
