// Start-up: from the moment the process is started to the moment its window's first
// frame is painted and flushed (offscreen), median of several runs each of
//  - the real rimeglass binary: the first flush of the main window is seen in Qt's
//    own widget painting log (qt.widgets.painting), read from its standard error;
//  - the instrumented launcher (the same main, linked the same way), which notes the
//    clock itself and so runs without that log.
// The clock is CLOCK_MONOTONIC, shared by every process of the machine.

#include "benchsupport.h"

#include <QByteArray>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const int runs = bench::sized(9, 1);
constexpr int timeoutMs = 20000;

struct Started
{
    pid_t pid = -1;
    int output = -1;
};

// Starts `program` with `environment`; the pipe carries its standard output or, with
// `readErrors`, its standard error (the other one goes to /dev/null).
Started spawn(const QByteArray &program, const QStringList &environment, bool readErrors)
{
    Started started;
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return started;

    QList<QByteArray> variables;
    for (const QString &variable : environment)
        variables.append(variable.toLocal8Bit());
    QVector<char *> envp;
    for (QByteArray &variable : variables)
        envp.append(variable.data());
    envp.append(nullptr);
    QByteArray path = program;
    char *argv[] = {path.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, readErrors ? 1 : 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], readErrors ? 2 : 1);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
    if (posix_spawn(&started.pid, path.constData(), &actions, nullptr, argv, envp.data()) != 0)
        started.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    started.output = pipeEnds[0];
    return started;
}

// Reads lines from `fd` until `wanted` says one of them is the one; returns the clock
// at that moment, or a negative number when the output ends or the time is up.
double readUntil(int fd, const std::function<bool(const QByteArray &)> &wanted)
{
    QByteArray pending;
    char buffer[65536];
    const double deadline = bench::monotonicSeconds() + timeoutMs / 1000.0;
    for (;;) {
        pollfd readable{fd, POLLIN, 0};
        const int left = int((deadline - bench::monotonicSeconds()) * 1000.0);
        if (left <= 0 || poll(&readable, 1, left) <= 0)
            return -1.0;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return -1.0;
        pending.append(buffer, int(n));
        int lineFeed;
        while ((lineFeed = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(lineFeed);
            pending.remove(0, lineFeed + 1);
            if (wanted(line))
                return bench::monotonicSeconds();
        }
    }
}

void finish(const Started &started)
{
    if (started.pid > 0) {
        kill(started.pid, SIGTERM);
        int status = 0;
        waitpid(started.pid, &status, 0);
    }
    if (started.output >= 0)
        ::close(started.output);
}

// Seconds from start to the window's first flush, as the painting log shows it.
double timeRealBinary(const QStringList &environment)
{
    QStringList logged = environment;
    logged.append(QStringLiteral("QT_LOGGING_RULES=qt.widgets.painting=true"));
    const double start = bench::monotonicSeconds();
    const Started started = spawn(QByteArrayLiteral(RIMEGLASS_BINARY), logged, true);
    const double shown = readUntil(started.output, [](const QByteArray &line) {
        return line.contains("Flushing QRegion(") && line.contains(" of MainWindow(");
    });
    finish(started);
    return shown < 0 ? -1.0 : shown - start;
}

struct LauncherRun
{
    double toMain = -1.0;
    double toShown = -1.0;
};

LauncherRun timeLauncher(const QStringList &environment)
{
    LauncherRun run;
    const double start = bench::monotonicSeconds();
    const Started started = spawn(QByteArrayLiteral(RIMEGLASS_LAUNCHER), environment, false);
    double enteredMain = -1.0;
    double shown = -1.0;
    readUntil(started.output, [&](const QByteArray &line) {
        if (line.startsWith("main "))
            enteredMain = line.mid(5).toDouble();
        if (line.startsWith("shown "))
            shown = line.mid(6).toDouble();
        return shown > 0.0;
    });
    finish(started);
    if (enteredMain > 0.0 && shown > 0.0) {
        run.toMain = enteredMain - start;
        run.toShown = shown - start;
    }
    return run;
}

QString linesMeanwhile(double seconds)
{
    return QStringLiteral("the wire carries %1 lines meanwhile")
        .arg(bench::grouped(seconds * bench::wireTemperatureLinesPerSecond));
}

} // namespace

int main()
{
    QTemporaryDir home;
    if (!bench::isolateUserStore(home))
        return 1;
    QProcessEnvironment system = QProcessEnvironment::systemEnvironment();
    system.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    const QStringList environment = system.toStringList();

    // One of each first, to have the libraries in the page cache.
    timeRealBinary(environment);
    timeLauncher(environment);

    QVector<double> real;
    QVector<double> launcher;
    QVector<double> beforeMain;
    for (int run = 0; run < runs; ++run) {
        const double seconds = timeRealBinary(environment);
        if (seconds > 0.0)
            real.append(seconds);
        const LauncherRun launched = timeLauncher(environment);
        if (launched.toShown > 0.0) {
            launcher.append(launched.toShown);
            beforeMain.append(launched.toMain);
        }
    }

    const QString figure = QStringLiteral("4 start-up");
    const auto row = [&](const QString &what, const QVector<double> &seconds) {
        const bool complete = seconds.size() == runs;
        const double value = bench::median(seconds);
        bench::printRow(figure, QStringLiteral("%1, median of %2").arg(what).arg(seconds.size()),
                        complete ? bench::duration(value) : QStringLiteral("-"),
                        complete ? linesMeanwhile(value) : QStringLiteral("-"), QStringLiteral("-"),
                        complete ? QStringLiteral("-") : QStringLiteral("FAILED"));
    };
    row(QStringLiteral("rimeglass binary, start to first frame (painting log on)"), real);
    row(QStringLiteral("instrumented launcher, start to first frame"), launcher);
    row(QStringLiteral("instrumented launcher, start to main() (loading)"), beforeMain);
    return real.size() == runs && launcher.size() == runs ? 0 : 1;
}
