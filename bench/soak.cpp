// The soak (make soak): a simulated day of readings, with time compressed, through the
// real window (offscreen, in this process) and through `rimeglass-cli log` (a process),
// each against a simulated instrument of its own that sends at the line's full rate, 720
// readings a second. The day begins at 06:00 local time; every few simulated hours both
// ports are lost (the simulators end) and come back (they start again on the same
// links); at midnight the window, recording automatically, starts a new file while the
// log's --output file goes on.
//
// Time: the simulators run `speed` times faster than real time (--speed) with an output
// period of `periodMs` simulated milliseconds, so that a reading leaves every
// periodMs / speed = 1/720 s; the window's session and recorder take the same compressed
// clock (InstrumentSession::setClock, Recorder::setClock). The log has no clock of its
// own to compress: its rows carry real times, and nothing in it depends on the date.
//
// Counting: a simulator's console `count` tells the temperature lines it has sent since it
// started. The readings are switched off (at the instrument's keys, "set rs232:period 0")
// before a port is lost and on again only once the tool has opened the port anew, so that
// no reading is sent to a port that nobody has open (which the tool rightly discards
// when it opens it): every line counted has reached an open port. At each loss and at
// the end the rows in the files must equal the lines sent, exactly.
//
// Memory: the resident set of each program after the first simulated hour and at the
// end. The window's History view keeps every reading of the session by design (16 bytes
// each, ReadingHistory::memoryBytes); what grows beyond that, and the log's growth, must
// stay within the margins below.

#include "batcheddebugoutput.h"
#include "benchsupport.h"
#include "historyview.h"
#include "instrumentsession.h"
#include "mainwindow.h"
#include "offscreenwindow.h"
#include "reading.h"
#include "recorder.h"
#include "rimeglass-version.h"
#include "settingstable.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <unistd.h>

namespace {

// The simulated day, in local time.
const QDate firstDay(2026, 6, 15);
const QTime dayStart(6, 0);
constexpr double dayHours = 24.0;
constexpr double midnightHours = 18.0;
// Ports lost at these simulated hours after the start: 10:00, 14:00, 18:00, 22:00, 02:00;
// midnight (18 hours in) falls between two losses.
const QVector<double> lossHours{4, 8, 12, 16, 20};
// The resident sets are read first after this much of the day: what the programs
// allocate once (the plot's first layouts, buffers, the first file) is in by then.
constexpr double warmUpHours = 1.0;
// How long a port stays away, in wall time (at 144 times: about five simulated minutes).
constexpr int awayMs = 2000;

// A day in about this many wall seconds; the output period follows from it.
constexpr int defaultWallSeconds = 600;
constexpr int shortestWallSeconds = 120; // period 1000 ms, the tool's longest
constexpr int longestWallSeconds = 1200; // period 100 ms, the tool's shortest

// Growth allowed beyond what is explained: the log's resident set, and the window's
// beyond what its History view holds for the day's readings.
constexpr qint64 logGrowthMargin = 1024 * 1024;
constexpr qint64 windowGrowthMargin = 2 * 1024 * 1024;

// Time-outs in wall time: a step that takes longer is a fault.
constexpr int startMs = 20000;
constexpr int answerMs = 10000;
constexpr int drainMs = 30000;
constexpr int noticeMs = 10000;
constexpr int returnMs = 20000;

const QString windowSerial = QStringLiteral("SOAK-WINDOW");
const QString logSerial = QStringLiteral("SOAK-LOG");

void runEventLoop(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until `done`; false when the time-out passed first.
bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        runEventLoop(10);
    }
    return true;
}

QString grouped(qint64 value)
{
    return bench::grouped(double(value));
}

// User and system CPU seconds of a process, from /proc.
double cpuSecondsOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1.0;
    // The fields after the command's name, which ends with the last ')'.
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() <= 12)
        return -1.0;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong())
        / double(sysconf(_SC_CLK_TCK));
}

qint64 residentBytesOf(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

// The day's clock: starts at 06:00 local time of the first day and runs `speed` times
// faster than the monotonic clock.
class CompressedClock
{
public:
    explicit CompressedClock(double speed)
        : m_startNs(QDateTime(firstDay, dayStart, Qt::LocalTime).toMSecsSinceEpoch() * 1000000)
        , m_speed(speed)
    {
        m_elapsed.start();
    }

    qint64 utcNanoseconds() const
    {
        return m_startNs + qint64(double(m_elapsed.nsecsElapsed()) * m_speed);
    }
    QDateTime now() const { return Reading::timeOf(utcNanoseconds()); }
    double hours() const { return double(m_elapsed.nsecsElapsed()) * m_speed / 3.6e12; }
    double wallSeconds() const { return double(m_elapsed.nsecsElapsed()) / 1e9; }

private:
    qint64 m_startNs;
    double m_speed;
    QElapsedTimer m_elapsed;
};

// The rows of one CSV file (lines that begin with the time, a digit), read as the file
// grows; the rows' times must never go back.
class CsvRows
{
public:
    explicit CsvRows(const QString &path)
        : m_file(path)
    { }

    qint64 update()
    {
        if (!m_file.isOpen() && !m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return m_rows;
        // In small pieces: this process is the window whose memory is measured.
        char piece[16384];
        for (qint64 n; (n = m_file.read(piece, sizeof piece)) > 0;)
            countRows(QByteArray::fromRawData(piece, int(n)));
        return m_rows;
    }

    qint64 rows() const { return m_rows; }
    bool ordered() const { return m_ordered; }
    // The local dates of the first and the last row.
    QDate firstDate() const { return localDate(m_firstTime); }
    QDate lastDate() const { return localDate(m_lastTime); }

private:
    // The complete lines of what was read so far; an incomplete one waits for the rest.
    void countRows(const QByteArray &bytes)
    {
        m_partial += bytes;
        int start = 0;
        for (int end; (end = m_partial.indexOf('\n', start)) >= 0; start = end + 1) {
            const char first = m_partial.at(start);
            if (first < '0' || first > '9')
                continue;
            const QByteArray time = m_partial.mid(start, m_partial.indexOf(',', start) - start);
            if (m_rows == 0)
                m_firstTime = time;
            else if (time < m_lastTime)
                m_ordered = false;
            m_lastTime = time;
            ++m_rows;
        }
        m_partial.remove(0, start);
    }

    static QDate localDate(const QByteArray &time)
    {
        return QDateTime::fromString(QString::fromLatin1(time), Qt::ISODateWithMs)
            .toLocalTime()
            .date();
    }

    QFile m_file;
    QByteArray m_partial;
    qint64 m_rows = 0;
    QByteArray m_firstTime;
    QByteArray m_lastTime;
    bool m_ordered = true;
};

// The CSV files of a folder, each counted as it grows.
class CsvFolder
{
public:
    explicit CsvFolder(const QString &path)
        : m_dir(path)
    { }

    qint64 rows()
    {
        qint64 rows = 0;
        for (const QString &name : m_dir.entryList({QStringLiteral("*.csv")}, QDir::Files)) {
            auto &file = m_files[name];
            if (!file)
                file = std::make_unique<CsvRows>(m_dir.filePath(name));
            rows += file->update();
        }
        return rows;
    }
    // By name, which begins with the serial number and the date and time the file began.
    const std::map<QString, std::unique_ptr<CsvRows>> &files() const { return m_files; }

private:
    QDir m_dir;
    std::map<QString, std::unique_ptr<CsvRows>> m_files;
};

// rimeglass-sim on a link of its own, started again on the same link after each loss;
// the readings it sent are summed over its runs.
class Instrument
{
public:
    Instrument(const QString &serial, const QString &link, double speed, int periodMs)
        : m_serial(serial)
        , m_link(link)
        , m_speed(speed)
        , m_periodMs(periodMs)
    { }
    ~Instrument() { stop(); }

    QString link() const { return m_link; }
    qint64 sent() const { return m_sent; }
    QString problem() const { return m_problem; }

    // Its readings off until switchReadings(true).
    bool start()
    {
        m_process = std::make_unique<QProcess>();
        m_errors.clear();
        QObject::connect(m_process.get(), &QProcess::readyReadStandardError, [this] {
            const QByteArray bytes = m_process->readAllStandardError();
            m_errors += bytes;
            m_messages += bytes;
        });
        m_process->start(QStringLiteral(RIMEGLASS_SIM),
                         {QStringLiteral("--link"), m_link, QStringLiteral("--serial"), m_serial,
                          QStringLiteral("--period"), QStringLiteral("0"),
                          QStringLiteral("--speed"), QString::number(m_speed),
                          QStringLiteral("--packet-ms"), QStringLiteral("16"),
                          QStringLiteral("--seed"), QString::number(++m_runs)});
        const bool started = waitUntil(
            [this] {
                return m_process->canReadLine() || m_process->state() == QProcess::NotRunning;
            },
            startMs);
        if (!started || !m_process->canReadLine())
            return fail(QStringLiteral("did not start: ") + QString::fromLocal8Bit(m_errors));
        m_process->readLine();
        return true;
    }

    bool switchReadings(bool on)
    {
        const QByteArray period = on ? QByteArray::number(m_periodMs) : QByteArray("0");
        control("set rs232:period " + period);
        const QByteArray reply = "rs232:period = " + period;
        if (answer([&](const QByteArray &line) { return line == reply; }).isEmpty())
            return fail(QStringLiteral("did not switch its readings %1")
                            .arg(on ? QStringLiteral("on") : QStringLiteral("off")));
        return true;
    }

    // With the readings off: adds what this run sent so far to sent().
    bool countSent()
    {
        control("count");
        const QByteArray suffix = " temperature lines sent";
        const QByteArray text
            = answer([&](const QByteArray &line) { return line.endsWith(suffix); });
        if (text.isEmpty())
            return fail(QStringLiteral("did not tell its count"));
        const qint64 sentThisRun = text.chopped(suffix.size()).toLongLong();
        m_sent += sentThisRun - m_sentThisRun;
        m_sentThisRun = sentThisRun;
        return true;
    }

    // Ends the run (SIGTERM: the simulator removes its link and closes the port).
    bool stop()
    {
        if (!m_process || m_process->state() == QProcess::NotRunning)
            return true;
        m_process->terminate();
        const bool ended
            = waitUntil([this] { return m_process->state() == QProcess::NotRunning; }, answerMs);
        m_messages += m_process->readAllStandardError();
        m_sentThisRun = 0;
        if (m_messages.contains("bytes dropped"))
            return fail(QStringLiteral("dropped readings: ") + QString::fromLocal8Bit(m_messages));
        if (!ended || m_process->exitCode() != 0)
            return fail(QStringLiteral("did not end cleanly"));
        m_process.reset();
        return true;
    }

private:
    void control(const QByteArray &line) { m_process->write(line + '\n'); }

    // The console's next answer that `matches` (without the "rimeglass-sim: " in front);
    // empty when none came.
    QByteArray answer(const std::function<bool(const QByteArray &)> &matches)
    {
        const QByteArray speaker = "rimeglass-sim: ";
        QByteArray found;
        waitUntil(
            [&] {
                for (int end; (end = m_errors.indexOf('\n')) >= 0;) {
                    const QByteArray line = m_errors.left(end).trimmed();
                    m_errors.remove(0, end + 1);
                    if (line.startsWith(speaker) && matches(line.mid(speaker.size()))) {
                        found = line.mid(speaker.size());
                        return true;
                    }
                }
                return false;
            },
            answerMs);
        return found;
    }

    bool fail(const QString &what)
    {
        if (m_problem.isEmpty())
            m_problem = QStringLiteral("the simulator for %1 %2").arg(m_serial, what);
        return false;
    }

    QString m_serial;
    QString m_link;
    double m_speed;
    int m_periodMs;
    std::unique_ptr<QProcess> m_process;
    QByteArray m_errors; // not looked at yet
    QByteArray m_messages; // all of them
    QString m_problem;
    int m_runs = 0;
    qint64 m_sent = 0;
    qint64 m_sentThisRun = 0;
};

// The real window, recording automatically into its folder, on the day's clock.
class Window
{
public:
    Window(const CompressedClock &clock, const QString &folder)
        : m_rows(folder)
    {
        QSettings store;
        store.setValue(StoreKey::recordingAutomatic, true);
        store.setValue(StoreKey::recordingFolder, folder);
        store.sync();
        m_window = std::make_unique<MainWindow>();
        m_session = m_window->findChild<InstrumentSession *>();
        m_recorder = m_window->findChild<Recorder *>();
        m_history = m_window->findChild<HistoryView *>();
        if (!m_session || !m_recorder || !m_history)
            return;
        m_session->setClock([&clock] { return clock.utcNanoseconds(); });
        m_recorder->setClock([&clock] { return clock.now(); });
        QObject::connect(m_session, &InstrumentSession::readingArrived,
                         [this] { ++m_readingsArrived; });
        QObject::connect(m_session, &InstrumentSession::portLost, [this] { ++m_portsLost; });
        QObject::connect(m_session, &InstrumentSession::portBack, [this] { ++m_portsBack; });
    }

    bool valid() const { return m_session && m_recorder && m_history; }

    // Shown offscreen, the port chosen in the port list and opened with Open; true once
    // the recording has begun (at the instrument's identification).
    bool open(const QString &link)
    {
        if (!bench::showOffscreen(*m_window))
            return false;
        m_window->addExtraPort(link, QStringLiteral("soak"));
        auto *open = m_window->findChild<QAbstractButton *>(QStringLiteral("serialPortOpenButton"));
        if (!open)
            return false;
        open->click();
        return waitUntil([this] { return m_recorder->isRecording(); }, startMs);
    }

    void close() { m_window->close(); }

    qint64 readingsArrived() const { return m_readingsArrived; }
    qint64 rows() { return m_rows.rows(); }
    CsvFolder &files() { return m_rows; }
    int portsLost() const { return m_portsLost; }
    int portsBack() const { return m_portsBack; }
    qint64 historyBytes() const { return m_history->history().memoryBytes(); }

private:
    std::unique_ptr<MainWindow> m_window;
    InstrumentSession *m_session = nullptr;
    Recorder *m_recorder = nullptr;
    HistoryView *m_history = nullptr;
    CsvFolder m_rows;
    qint64 m_readingsArrived = 0;
    int m_portsLost = 0;
    int m_portsBack = 0;
};

// rimeglass-cli log into a CSV file, as a script runs it; its messages are kept.
class Log
{
public:
    explicit Log(const QString &folder)
        : m_folder(folder)
        , m_rows(QDir(folder).filePath(QStringLiteral("log.csv")))
    { }
    ~Log()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(answerMs);
        }
    }

    // True once the output file is there: the log has identified the instrument and
    // read its settings, and writes every reading from now on.
    bool start(const QString &link)
    {
        m_process.setStandardOutputFile(QProcess::nullDevice());
        QObject::connect(&m_process, &QProcess::readyReadStandardError,
                         [this] { m_messages += m_process.readAllStandardError(); });
        m_process.start(QStringLiteral(RIMEGLASS_CLI),
                        {QStringLiteral("log"), link, QStringLiteral("--output"), path(),
                         QStringLiteral("--timeout"), QStringLiteral("30")});
        return waitUntil(
                   [this] {
                       return QFile::exists(path()) || m_process.state() == QProcess::NotRunning;
                   },
                   startMs)
            && m_process.state() == QProcess::Running;
    }

    // SIGTERM, as an operator ends it; false unless it ended with exit status 0.
    bool stop()
    {
        m_process.terminate();
        waitUntil([this] { return m_process.state() == QProcess::NotRunning; }, answerMs);
        m_messages += m_process.readAllStandardError();
        return m_process.state() == QProcess::NotRunning
            && m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }

    QString path() const { return QDir(m_folder).filePath(QStringLiteral("log.csv")); }
    qint64 pid() const { return m_process.processId(); }
    qint64 rows() { return m_rows.update(); }
    const CsvRows &file() const { return m_rows; }
    int filesMade() const { return QDir(m_folder).entryList(QDir::Files).size(); }
    int count(const QByteArray &message) const { return m_messages.count(message); }
    QByteArray messages() const { return m_messages; }
    int exitCode() const { return m_process.exitCode(); }

private:
    QString m_folder;
    QProcess m_process;
    QByteArray m_messages;
    CsvRows m_rows;
};

// The resident sets after the warm-up and at each loss and the end; the window's less
// what its History view holds.
struct Memory
{
    QVector<double> hours;
    QVector<double> wallSeconds;
    QVector<double> windowCpu; // this process's CPU seconds
    QVector<double> logCpu;
    QVector<qint64> window;
    QVector<qint64> history;
    QVector<qint64> log;

    bool complete() const { return hours.size() >= 2 && !window.contains(-1) && !log.contains(-1); }
    qint64 windowGrowth() const
    {
        return window.last() - window.first() - (history.last() - history.first());
    }
    qint64 logGrowth() const { return log.last() - log.first(); }
};

class Soak
{
public:
    Soak(int wallSeconds, const QString &folder)
        : m_periodMs(int(std::lround(120000.0 / wallSeconds)))
        , m_speed(m_periodMs * bench::wireTemperatureLinesPerSecond / 1000.0)
        , m_folder(folder)
    { }

    int run()
    {
        QDir(m_folder).mkpath(QStringLiteral("window"));
        QDir(m_folder).mkpath(QStringLiteral("log"));
        m_clock = std::make_unique<CompressedClock>(m_speed);
        m_window = std::make_unique<Window>(*m_clock, subfolder("window"));
        m_log = std::make_unique<Log>(subfolder("log"));
        m_windowInstrument = std::make_unique<Instrument>(windowSerial, subfolder("window-port"),
                                                          m_speed, m_periodMs);
        m_logInstrument
            = std::make_unique<Instrument>(logSerial, subfolder("log-port"), m_speed, m_periodMs);

        printPlan();
        if (!m_window->valid())
            return failed(QStringLiteral("the window has no session, recorder or History view"));
        if (!m_windowInstrument->start() || !m_logInstrument->start())
            return failed(instrumentProblem());
        if (!m_window->open(m_windowInstrument->link()))
            return failed(QStringLiteral("the window did not start recording"));
        if (!m_log->start(m_logInstrument->link()))
            return failed(QStringLiteral("the log did not start: ")
                          + QString::fromLocal8Bit(m_log->messages()));
        if (!m_windowInstrument->switchReadings(true) || !m_logInstrument->switchReadings(true))
            return failed(instrumentProblem());
        m_readingsWallStart = m_clock->wallSeconds();

        for (const double hour : lossHours) {
            runUntilHour(hour);
            if (!stopReadingsAndCompare(QStringLiteral("before the loss at hour %1").arg(hour)))
                break;
            if (!loseAndRestorePorts())
                break;
        }
        if (m_problems.isEmpty()) {
            runUntilHour(dayHours);
            stopReadingsAndCompare(QStringLiteral("at the end of the day"));
        }
        finish();
        report();
        return m_problems.isEmpty() ? 0 : 1;
    }

private:
    QString subfolder(const char *name) const { return QDir(m_folder).filePath(name); }

    QString instrumentProblem() const
    {
        return m_windowInstrument->problem().isEmpty() ? m_logInstrument->problem()
                                                       : m_windowInstrument->problem();
    }

    int failed(const QString &problem)
    {
        m_problems << problem;
        report();
        return 1;
    }

    void printPlan() const
    {
        const QDateTime start(firstDay, dayStart, Qt::LocalTime);
        QTextStream out(stdout);
        out << "soak: a simulated day from " << start.toString(Qt::ISODate) << " local time in "
            << qRound(dayHours * 3600 / m_speed) << " s: " << m_speed
            << " times real time, a reading every " << m_periodMs << " simulated ms, "
            << bench::wireTemperatureLinesPerSecond << " a second; ports lost at hours";
        for (const double hour : lossHours)
            out << ' ' << hour;
        out << "; files in " << m_folder << '\n';
        out.flush();
    }

    // Runs the event loop while the readings flow; the resident sets are read once the
    // warm-up is over.
    void runUntilHour(double hour)
    {
        while (m_clock->hours() < hour) {
            if (m_memory.hours.isEmpty() && m_clock->hours() >= warmUpHours)
                readMemory();
            runEventLoop(qBound(10, int((hour - m_clock->hours()) * 3.6e6 / m_speed), 250));
        }
    }

    // Readings off, the lines sent counted, and the rows of both programs waited for.
    bool stopReadingsAndCompare(const QString &when)
    {
        m_readingsWallSeconds += m_clock->wallSeconds() - m_readingsWallStart;
        if (!m_windowInstrument->switchReadings(false) || !m_logInstrument->switchReadings(false)
            || !m_windowInstrument->countSent() || !m_logInstrument->countSent()) {
            m_problems << instrumentProblem();
            return false;
        }
        const qint64 windowSent = m_windowInstrument->sent();
        const qint64 logSent = m_logInstrument->sent();
        const bool equal = waitUntil(
            [&] {
                return m_window->readingsArrived() == windowSent && m_window->rows() == windowSent
                    && m_log->rows() == logSent;
            },
            drainMs);
        if (equal) {
            readMemory();
            return true;
        }
        m_problems << QStringLiteral("%1: the window recorded %2 rows (its session had %3 "
                                     "readings) of %4 sent; the log wrote %5 rows of %6 sent")
                          .arg(when, grouped(m_window->rows()),
                               grouped(m_window->readingsArrived()), grouped(windowSent),
                               grouped(m_log->rows()), grouped(logSent));
        return false;
    }

    // Both simulators end (the ports go away), and start again on the same links once
    // both programs have noticed; the readings go on once each program has the port open.
    bool loseAndRestorePorts()
    {
        ++m_losses;
        if (!m_windowInstrument->stop() || !m_logInstrument->stop()) {
            m_problems << instrumentProblem();
            return false;
        }
        const QByteArray lost = "Port lost";
        if (!waitUntil([&] { return m_window->portsLost() == m_losses; }, noticeMs)
            || !waitUntil([&] { return m_log->count(lost) == m_losses; }, noticeMs)) {
            m_problems << QStringLiteral("loss %1: the window or the log did not notice the "
                                         "port going away")
                              .arg(m_losses);
            return false;
        }
        runEventLoop(awayMs);
        if (!m_windowInstrument->start() || !m_logInstrument->start()) {
            m_problems << instrumentProblem();
            return false;
        }
        const QByteArray back = "is back";
        if (!waitUntil([&] { return m_window->portsBack() == m_losses; }, returnMs)
            || !m_windowInstrument->switchReadings(true)
            || !waitUntil([&] { return m_log->count(back) == m_losses; }, returnMs)
            || !m_logInstrument->switchReadings(true)) {
            m_problems << QStringLiteral("loss %1: the port did not come back to the %2 (%3)")
                              .arg(m_losses)
                              .arg(m_window->portsBack() == m_losses ? QStringLiteral("log")
                                                                     : QStringLiteral("window"))
                              .arg(instrumentProblem());
            return false;
        }
        m_readingsWallStart = m_clock->wallSeconds();
        ++m_returns;
        return true;
    }

    // The log ends as an operator ends it, the window closes (saving its recording), the
    // simulators end; then the files are counted once more.
    void finish()
    {
        const bool logEnded = m_log->stop();
        const QByteArray summary = QByteArray("Readings written: ")
            + QByteArray::number(m_logInstrument->sent()) + ", lost: 0";
        if (!logEnded)
            m_problems
                << QStringLiteral("the log ended with exit status %1").arg(m_log->exitCode());
        else if (m_problems.isEmpty() && m_log->count(summary) != 1)
            m_problems << QStringLiteral("the log did not end with \"%1\"")
                              .arg(QString::fromLatin1(summary));
        QFile messages(QDir(m_folder).filePath(QStringLiteral("log-messages.txt")));
        if (messages.open(QIODevice::WriteOnly))
            messages.write(m_log->messages());
        m_window->close();
        runEventLoop(100);
        if (!m_windowInstrument->stop() || !m_logInstrument->stop())
            m_problems << instrumentProblem();
        m_window->rows();
        m_log->rows();
        checkFiles();
        checkMemory();
    }

    // The window: one file from the start, one from midnight, each within its own date;
    // the log: its one file. Rows in every file in time order.
    void checkFiles()
    {
        const auto &files = m_window->files().files();
        const QVector<QDate> expected = m_clock->hours() >= midnightHours
            ? QVector<QDate>{firstDay, firstDay.addDays(1)}
            : QVector<QDate>{firstDay};
        QVector<QDate> dates;
        for (const auto &entry : files) {
            const CsvRows &file = *entry.second;
            if (!file.ordered())
                m_problems << QStringLiteral("the window's %1 has rows out of time order")
                                  .arg(entry.first);
            if (file.firstDate() != file.lastDate())
                m_problems << QStringLiteral("the window's %1 has rows of %2 and of %3")
                                  .arg(entry.first, file.firstDate().toString(Qt::ISODate),
                                       file.lastDate().toString(Qt::ISODate));
            dates << file.firstDate();
        }
        if (dates != expected)
            m_problems << QStringLiteral("the window made %1 files, not one for each date")
                              .arg(files.size());
        if (!m_log->file().ordered())
            m_problems << QStringLiteral("the log's file has rows out of time order");
        if (m_log->filesMade() != 1)
            m_problems << QStringLiteral("the log made %1 files, not one").arg(m_log->filesMade());
    }

    void readMemory()
    {
        m_memory.hours << m_clock->hours();
        m_memory.wallSeconds << m_clock->wallSeconds();
        m_memory.windowCpu << bench::processCpuSeconds();
        m_memory.logCpu << cpuSecondsOf(m_log->pid());
        m_memory.window << bench::residentBytes();
        m_memory.history << m_window->historyBytes();
        m_memory.log << residentBytesOf(m_log->pid());
    }

    void checkMemory()
    {
        if (!m_memory.complete()) {
            // A soak that ended early has its reason already.
            if (m_problems.isEmpty())
                m_problems << QStringLiteral("the resident sets were not read");
            return;
        }
        if (m_memory.windowGrowth() > windowGrowthMargin)
            m_problems << QStringLiteral("the window grew by %1 beyond its History view")
                              .arg(bench::mebibytes(m_memory.windowGrowth()));
        if (m_memory.logGrowth() > logGrowthMargin)
            m_problems
                << QStringLiteral("the log grew by %1").arg(bench::mebibytes(m_memory.logGrowth()));
    }

    void report()
    {
        QTextStream out(stdout);
        const qint64 windowSent = m_windowInstrument ? m_windowInstrument->sent() : 0;
        const qint64 logSent = m_logInstrument ? m_logInstrument->sent() : 0;
        const auto line = [&out](const QString &what, const QString &window, const QString &log) {
            out << QStringLiteral("  %1%2%3\n").arg(what, -42).arg(window, -40).arg(log);
        };
        const auto rate = [this](qint64 sent) {
            return m_readingsWallSeconds > 0
                ? QStringLiteral("%1 a second").arg(bench::grouped(sent / m_readingsWallSeconds, 1))
                : QStringLiteral("-");
        };
        out << '\n';
        line(QString(), QStringLiteral("window"), QStringLiteral("rimeglass-cli log"));
        line(QStringLiteral("readings sent (simulators' count)"), grouped(windowSent),
             grouped(logSent));
        line(QStringLiteral("rows written"), grouped(m_window ? m_window->rows() : 0),
             grouped(m_log ? m_log->rows() : 0));
        line(QStringLiteral("readings sent, of wall time"), rate(windowSent), rate(logSent));
        if (m_window && m_log) {
            QStringList names;
            for (const auto &entry : m_window->files().files())
                names << QStringLiteral("%1 (%2 rows)")
                             .arg(entry.first, grouped(entry.second->rows()));
            line(QStringLiteral("files made"), QString::number(names.size()),
                 QString::number(m_log->filesMade()));
            for (const QString &name : names)
                line(QString(), QStringLiteral("  ") + name, QString());
        }
        line(QStringLiteral("ports lost and back"),
             QStringLiteral("%1 of %2").arg(m_returns).arg(lossHours.size()),
             QStringLiteral("%1 of %2").arg(m_returns).arg(lossHours.size()));
        if (m_memory.complete()) {
            line(QStringLiteral("RSS after hour 1, at the end"),
                 bench::mebibytes(m_memory.window.first()) + QStringLiteral(", ")
                     + bench::mebibytes(m_memory.window.last()),
                 bench::mebibytes(m_memory.log.first()) + QStringLiteral(", ")
                     + bench::mebibytes(m_memory.log.last()));
            const double wall = m_memory.wallSeconds.last() - m_memory.wallSeconds.first();
            const auto share = [wall](const QVector<double> &cpu) {
                return QStringLiteral("%1 %").arg(100.0 * (cpu.last() - cpu.first()) / wall, 0, 'f',
                                                  1);
            };
            line(QStringLiteral("CPU of one core after hour 1"), share(m_memory.windowCpu),
                 share(m_memory.logCpu));
            line(QStringLiteral("History view's readings"),
                 QStringLiteral("+%1").arg(
                     bench::mebibytes(m_memory.history.last() - m_memory.history.first())),
                 QStringLiteral("-"));
            line(QStringLiteral("growth (window: beyond History)"),
                 QStringLiteral("%1 (margin %2)")
                     .arg(bench::mebibytes(m_memory.windowGrowth()),
                          bench::mebibytes(windowGrowthMargin)),
                 QStringLiteral("%1 (margin %2)")
                     .arg(bench::mebibytes(m_memory.logGrowth()),
                          bench::mebibytes(logGrowthMargin)));
            QStringList windowTrail;
            QStringList logTrail;
            for (int i = 0; i < m_memory.hours.size(); ++i) {
                windowTrail << QString::number(
                    double(m_memory.window.at(i) - m_memory.history.at(i)) / 1048576.0, 'f', 1);
                logTrail << QString::number(double(m_memory.log.at(i)) / 1048576.0, 'f', 1);
            }
            line(QStringLiteral("MiB at each loss (window: less History)"),
                 windowTrail.join(QLatin1Char(' ')), logTrail.join(QLatin1Char(' ')));
        }
        out << QStringLiteral("  wall time %1 s; load average %2 at the start, %3 at the end\n")
                   .arg(qRound(m_clock ? m_clock->wallSeconds() : 0.0))
                   .arg(m_loadAtStart, loadAverage())
            << "  machine: " << machine() << '\n';
        if (m_problems.isEmpty()) {
            out << "soak: passed: every reading sent was written, memory flat\n";
            return;
        }
        out << "soak: FAILED\n";
        for (const QString &problem : m_problems)
            out << "  " << problem << '\n';
        out << "  (the files are kept in " << m_folder << ")\n";
    }

    // "2 CPUs, <model>, 7.8 GiB memory"
    static QString machine()
    {
        QString model = QStringLiteral("unknown CPU");
        QFile cpuInfo(QStringLiteral("/proc/cpuinfo"));
        if (cpuInfo.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : cpuInfo.readAll().split('\n')) {
                if (line.startsWith("model name")) {
                    model = QString::fromLatin1(line.mid(line.indexOf(':') + 1).trimmed());
                    break;
                }
            }
        }
        return QStringLiteral("%1 CPUs, %2, %3 memory")
            .arg(sysconf(_SC_NPROCESSORS_ONLN))
            .arg(model)
            .arg(QStringLiteral("%1 GiB").arg(double(sysconf(_SC_PHYS_PAGES))
                                                  * double(sysconf(_SC_PAGE_SIZE)) / 1073741824.0,
                                              0, 'f', 1));
    }

    static QString loadAverage()
    {
        QFile file(QStringLiteral("/proc/loadavg"));
        return file.open(QIODevice::ReadOnly)
            ? QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 2)
            : QStringLiteral("unknown");
    }

    const int m_periodMs;
    const double m_speed;
    const QString m_folder;
    const QString m_loadAtStart = loadAverage();
    std::unique_ptr<CompressedClock> m_clock;
    std::unique_ptr<Window> m_window;
    std::unique_ptr<Log> m_log;
    std::unique_ptr<Instrument> m_windowInstrument;
    std::unique_ptr<Instrument> m_logInstrument;
    Memory m_memory;
    QStringList m_problems;
    int m_losses = 0;
    int m_returns = 0;
    double m_readingsWallStart = 0.0;
    double m_readingsWallSeconds = 0.0;
};

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    if (!bench::isolateUserStore(home))
        return 1;
    QCoreApplication::setOrganizationName(QStringLiteral("MORVA"));
    QCoreApplication::setApplicationName(QStringLiteral("rimeglass"));
    QApplication application(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A simulated day of readings at the line's full rate through the window and "
                       "rimeglass-cli log, with lost ports and a midnight, in about ten minutes."));
    parser.addHelpOption();
    const QCommandLineOption seconds(
        QStringLiteral("seconds"),
        QStringLiteral("Run the day in about this many seconds, %1 to %2 (default %3).")
            .arg(shortestWallSeconds)
            .arg(longestWallSeconds)
            .arg(defaultWallSeconds),
        QStringLiteral("seconds"), QString::number(defaultWallSeconds));
    parser.addOption(seconds);
    const QCommandLineOption keep(QStringLiteral("keep"),
                                  QStringLiteral("Keep the files also when the soak passes."));
    parser.addOption(keep);
    parser.process(application);
    bool ok = false;
    const int wallSeconds = parser.value(seconds).toInt(&ok);
    if (!ok || wallSeconds < shortestWallSeconds || wallSeconds > longestWallSeconds) {
        std::fprintf(stderr, "soak: --seconds takes %d to %d\n", shortestWallSeconds,
                     longestWallSeconds);
        return 2;
    }

    // As the installed window: its debug lines off unless the build keeps them.
    if (!rimeglass::debugOutputByDefault)
        QLoggingCategory::setFilterRules(QStringLiteral("rimeglass.*.debug=false"));
    BatchedDebugOutput::install("rimeglass.device");

    Soak soak(wallSeconds, home.filePath(QStringLiteral("soak")));
    const int status = soak.run();
    home.setAutoRemove(status == 0 && !parser.isSet(keep));
    return status;
}
