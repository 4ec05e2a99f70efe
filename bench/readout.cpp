// Live readout: readings through MainWindow::temperatureChanged with the window shown
// (label, 300-point history, axes, legend), against the most temperature lines the wire
// can carry: the event loop run after every reading or after every few, readings paced
// as the wire brings them, and readings in bursts. Offscreen unless QT_QPA_PLATFORM says
// otherwise; bench/run-bench runs it a second time under Xvfb, and
// RIMEGLASS_BENCH_SCREEN names the screen in the rows. Then the slow rate: 10 readings a
// second into a full 300-point plot, each reading's cost against drawing the same plot
// once; and a window idle on an open port whose instrument sends nothing.

#include "benchsupport.h"
#include "historyview.h"
#include "instrumentsession.h"
#include "mainwindow.h"
#include "offscreenwindow.h"
#include "paintcounter.h"
#include "simulatorprocess.h"

#include <QApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QLabel>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <qwt_plot.h>
#include <qwt_plot_canvas.h>
#include <sys/resource.h>

namespace {

const int readingsPerRun = bench::sized(1000, 200);
const int runs = bench::sized(5, 1);
constexpr int batchSize = 10;
const int pacedRuns = bench::sized(5, 1);
const int pacedReadingsPerRun = bench::sized(1440, 144); // two seconds of a saturated wire
const int burstRuns = bench::sized(5, 1);
const int burstReadingsPerRun = bench::sized(20000, 2000);
constexpr int burstSize = 100;
// Longer than the window's display frame, so that a repaint it holds back is due, and
// longer than the History view's redraw interval (100 ms).
constexpr int frameWaitMs = 25;
constexpr int historyWaitMs = 150;
const int historyRuns = bench::sized(3, 1);
// The slow rate: an RS232 output period of 100 ms.
constexpr int slowReadingsPerSecond = 10;
constexpr int plotPoints = 300;
const int slowRuns = bench::sized(5, 1);
const int slowReadingsPerRun = bench::sized(30, 10);
const int warmReplots = bench::sized(21, 3);
const int idleSeconds = bench::sized(20, 2);
// What the window does after Open (status messages that time out) is over by then.
constexpr int idleSettleMs = 3000;
constexpr int instrumentReadyMs = 10000;

// A cool-down with a little noise, so that the left axis rescales now and then. No two
// readings in a row show the same text, so every reading changes the label.
QVector<double> coolDown(int count)
{
    QVector<double> readings;
    readings.reserve(count);
    double previous = 0.0;
    for (int i = 0; i < count; ++i) {
        double kelvin = 77.35 + 217.65 * std::exp(-i / 3000.0) + 0.004 * ((i * 7919) % 11 - 5);
        if (std::abs(kelvin - previous) < 0.002)
            kelvin = previous + 0.002;
        readings.append(kelvin);
        previous = kelvin;
    }
    return readings;
}

struct Pass
{
    double cpuPerReading = 0.0;
    double wallPerReading = 0.0;
    double cpuShare = 0.0;
    bool caughtUp = false;
};

// The plot canvas and the readout label, with their paints counted.
// What must have been drawn after a run's last reading: the plot canvas and the readout
// label, or with the History tab in front the History view's canvas (both counters).
struct Painted
{
    PaintCounter &canvas;
    PaintCounter &label;
    int waitMs = frameWaitMs;
};

void sleepUntil(double monotonicSeconds)
{
    timespec until;
    until.tv_sec = time_t(monotonicSeconds);
    until.tv_nsec = long((monotonicSeconds - double(until.tv_sec)) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) != 0) { }
}

// The window draws its plot and its label at most once a frame: after the readings
// stop, with the event loop running for longer than a frame, it must have drawn both
// after the last of them.
bool drawsLastReading(const Painted &painted, int canvasPaintsBefore, int labelPaintsBefore)
{
    QEventLoop loop;
    QTimer::singleShot(painted.waitMs, &loop, &QEventLoop::quit);
    loop.exec();
    return painted.canvas.count() > canvasPaintsBefore && painted.label.count() > labelPaintsBefore;
}

// `readings` through the slot, the event loop run after every `perPaint` of them; with
// a `period`, each reading is handed over when the wire would have brought it.
Pass feed(MainWindow &window, const QVector<double> &readings, int perPaint, const Painted &painted,
          double period = 0.0)
{
    const double wallStart = bench::monotonicSeconds();
    const double cpuStart = bench::processCpuSeconds();
    int canvasPaintsBefore = 0;
    int labelPaintsBefore = 0;
    for (int i = 0; i < readings.size(); ++i) {
        if (period > 0.0)
            sleepUntil(wallStart + i * period);
        canvasPaintsBefore = painted.canvas.count();
        labelPaintsBefore = painted.label.count();
        window.temperatureChanged(readings.at(i));
        if ((i + 1) % perPaint == 0)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    Pass pass;
    pass.wallPerReading = (bench::monotonicSeconds() - wallStart) / readings.size();
    pass.caughtUp = drawsLastReading(painted, canvasPaintsBefore, labelPaintsBefore);
    const double cpu = bench::processCpuSeconds() - cpuStart;
    const double wall = bench::monotonicSeconds() - wallStart;
    pass.cpuPerReading = cpu / readings.size();
    pass.cpuShare = cpu / wall;
    return pass;
}

// Context switches of this process so far, all its threads: about one for each time a
// thread went to sleep and was woken again.
long contextSwitches()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw;
}

// Runs the event loop until the monotonic clock reaches `until`, as the tool's waits for
// its port: timers due meanwhile fire when they are due.
void runEventLoopUntil(double until)
{
    const int ms = int(std::ceil((until - bench::monotonicSeconds()) * 1000.0));
    if (ms <= 0)
        return;
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// The session's clock, moved on by hand: the slow readings are stamped a tenth of a second
// apart however fast they come, so that the plot holds 300 of them at once.
class SteppedClock
{
public:
    explicit SteppedClock(InstrumentSession &session)
        : m_nanoseconds(session.utcNanoseconds())
    {
        session.setClock([this] { return m_nanoseconds; });
    }
    void step() { m_nanoseconds += 1000000000 / slowReadingsPerSecond; }

private:
    qint64 m_nanoseconds;
};

struct SlowPass
{
    double cpuPerReading = 0.0;
    int canvasPaints = 0;
    int labelPaints = 0;
    long contextSwitches = 0;
    bool caughtUp = false;
};

// `readings` handed over 10 a second, the event loop running in between; the last one's
// tenth of a second is counted too.
SlowPass feedSlowly(MainWindow &window, SteppedClock &clock, const QVector<double> &readings,
                    const Painted &painted)
{
    const double period = 1.0 / slowReadingsPerSecond;
    const int canvasBefore = painted.canvas.count();
    const int labelBefore = painted.label.count();
    int lastCanvas = 0;
    int lastLabel = 0;
    const long switchesBefore = contextSwitches();
    const double wallStart = bench::monotonicSeconds();
    const double cpuStart = bench::processCpuSeconds();
    for (int i = 0; i < readings.size(); ++i) {
        runEventLoopUntil(wallStart + i * period);
        lastCanvas = painted.canvas.count();
        lastLabel = painted.label.count();
        clock.step();
        window.temperatureChanged(readings.at(i));
    }
    runEventLoopUntil(wallStart + readings.size() * period);
    SlowPass pass;
    pass.cpuPerReading = (bench::processCpuSeconds() - cpuStart) / readings.size();
    pass.contextSwitches = contextSwitches() - switchesBefore;
    pass.canvasPaints = painted.canvas.count() - canvasBefore;
    pass.labelPaints = painted.label.count() - labelBefore;
    pass.caughtUp = painted.canvas.count() > lastCanvas && painted.label.count() > lastLabel;
    return pass;
}

// The same plot drawn whole (laid out, replotted and repainted with its title, axes,
// legend and canvas, and shown) as often as the readings come, the event loop waiting in
// between: what a plot that is drawn anew for every reading costs a reading.
SlowPass replotSlowly(QwtPlot &plot, int count, const Painted &painted)
{
    const double period = 1.0 / slowReadingsPerSecond;
    const int canvasBefore = painted.canvas.count();
    int lastCanvas = 0;
    const long switchesBefore = contextSwitches();
    const double wallStart = bench::monotonicSeconds();
    const double cpuStart = bench::processCpuSeconds();
    for (int i = 0; i < count; ++i) {
        runEventLoopUntil(wallStart + i * period);
        lastCanvas = painted.canvas.count();
        plot.updateLayout();
        plot.replot();
        plot.repaint();
    }
    runEventLoopUntil(wallStart + count * period);
    SlowPass pass;
    pass.cpuPerReading = (bench::processCpuSeconds() - cpuStart) / count;
    pass.contextSwitches = contextSwitches() - switchesBefore;
    pass.canvasPaints = painted.canvas.count() - canvasBefore;
    pass.caughtUp = painted.canvas.count() > lastCanvas;
    return pass;
}

// The same plot drawn whole over and over, with nothing in between: the least a replot
// costs, its code and data warm in the processor's caches.
double warmReplotCpu(QwtPlot &plot)
{
    QVector<double> cpu;
    for (int i = 0; i < warmReplots; ++i) {
        QCoreApplication::processEvents();
        const double start = bench::processCpuSeconds();
        plot.updateLayout();
        plot.replot();
        plot.repaint();
        QCoreApplication::processEvents();
        cpu.append(bench::processCpuSeconds() - start);
    }
    return bench::median(cpu);
}

struct Idle
{
    double cpuShare = 0.0;
    long wakeUps = 0;
    QString failure;
};

// A window of its own, shown, its port open on a simulated instrument (a process of its
// own) whose RS232 output is off: identified, its settings read back, then nothing comes.
// The share of a core this process takes meanwhile, all its threads.
Idle measureIdle()
{
    Idle idle;
    SimulatorProcess instrument({QStringLiteral("--period"), QStringLiteral("0")});
    if (!instrument.start()) {
        idle.failure = QStringLiteral("the simulator did not start: ")
            + QString::fromLocal8Bit(instrument.errors());
        return idle;
    }
    MainWindow window;
    if (!bench::showOffscreen(window)) {
        idle.failure = QStringLiteral("the window did not show");
        return idle;
    }
    auto *session = window.findChild<InstrumentSession *>();
    window.addExtraPort(instrument.portName(), QStringLiteral("simulated instrument"));
    window.serialPortOpenButtonClicked();
    const double deadline = bench::monotonicSeconds() + instrumentReadyMs / 1000.0;
    const auto ready = [session] {
        return session->state() == InstrumentSession::State::Ready && !session->isReadingBack();
    };
    while (!ready() && bench::monotonicSeconds() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (!ready()) {
        idle.failure = QStringLiteral("the instrument was not identified and read back");
        return idle;
    }
    runEventLoopUntil(bench::monotonicSeconds() + idleSettleMs / 1000.0);

    const long switchesBefore = contextSwitches();
    const double wallStart = bench::monotonicSeconds();
    const double cpuStart = bench::processCpuSeconds();
    runEventLoopUntil(wallStart + idleSeconds);
    idle.cpuShare
        = (bench::processCpuSeconds() - cpuStart) / (bench::monotonicSeconds() - wallStart);
    idle.wakeUps = contextSwitches() - switchesBefore;
    if (session->state() != InstrumentSession::State::Ready)
        idle.failure = QStringLiteral("the port did not stay open");
    window.serialPortCloseButtonClicked();
    instrument.stop();
    return idle;
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    if (!bench::isolateUserStore(home))
        return 1;
    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("MORVA"));
    QCoreApplication::setApplicationName(QStringLiteral("rimeglass"));
    bench::discardDebugLog();
    const QString screen
        = qEnvironmentVariable("RIMEGLASS_BENCH_SCREEN", QGuiApplication::platformName());

    MainWindow window;
    QWidget *canvas = bench::liveCanvas(window);
    auto *label = window.findChild<QLabel *>(QStringLiteral("temperatureValue"));
    if (!canvas || !label || !bench::showOffscreen(window)) {
        std::fprintf(stderr, "readout: the window did not show its live plot\n");
        return 1;
    }
    const QVector<double> readings = coolDown(qMax(runs * readingsPerRun, burstReadingsPerRun));
    auto runOf = [&readings](int run, int perRun) {
        return readings.mid((run * perRun) % (readings.size() - perRun + 1), perRun);
    };
    PaintCounter canvasPaints(canvas);
    PaintCounter labelPaints(label);
    const Painted painted{canvasPaints, labelPaints};
    bool allDrawn = true;

    // The event loop run after every reading, as when each read of the port brings one
    // line: label and plot drawn at most once a frame, and after the last reading.
    QVector<double> cpuPerReading;
    QVector<double> wallPerReading;
    for (int run = 0; run < runs; ++run) {
        const Pass pass = feed(window, runOf(run, readingsPerRun), 1, painted);
        cpuPerReading.append(pass.cpuPerReading);
        wallPerReading.append(pass.wallPerReading);
        allDrawn = allDrawn && pass.caughtUp;
    }
    const int fed = runs * readingsPerRun;
    const int labelFrames = labelPaints.count();
    const int plotFrames = canvasPaints.count();
    const bool eachRunDrawn = allDrawn;

    // A faster stream makes the reads bring several lines, and the event loop runs once
    // per read.
    QVector<double> batchedCpu;
    for (int run = 0; run < runs; ++run) {
        const Pass pass = feed(window, runOf(run, readingsPerRun), batchSize, painted);
        batchedCpu.append(pass.cpuPerReading);
        allDrawn = allDrawn && pass.caughtUp;
    }

    // The wire's full rate, each reading handed over when it would arrive: the share of
    // one core the window takes, painting included.
    const int pacedPaintsBefore = canvasPaints.count();
    const int pacedLabelPaintsBefore = labelPaints.count();
    QVector<double> pacedShare;
    for (int run = 0; run < pacedRuns; ++run) {
        const Pass pass = feed(window, runOf(run, pacedReadingsPerRun), 1, painted,
                               1.0 / bench::wireTemperatureLinesPerSecond);
        pacedShare.append(pass.cpuShare);
        allDrawn = allDrawn && pass.caughtUp;
    }
    const int pacedFrames = canvasPaints.count() - pacedPaintsBefore;
    const int pacedLabelFrames = labelPaints.count() - pacedLabelPaintsBefore;

    // The same with the History tab in front: the History view redraws the session
    // instead of the live plot.
    auto *tabs = window.findChild<QTabWidget *>(QStringLiteral("tabWidget"));
    auto *historyTab = window.findChild<QWidget *>(QStringLiteral("historyTab"));
    auto *historyView = window.findChild<HistoryView *>();
    QwtPlotCanvas *historyCanvas
        = historyView ? historyView->findChild<QwtPlotCanvas *>() : nullptr;
    if (!tabs || !historyTab || !historyCanvas) {
        std::fprintf(stderr, "readout: the window has no History view\n");
        return 1;
    }
    QWidget *statusTab = tabs->currentWidget();
    tabs->setCurrentWidget(historyTab);
    PaintCounter historyPaints(historyCanvas);
    const Painted historyPainted{historyPaints, historyPaints, historyWaitMs};
    QVector<double> historyShare;
    for (int run = 0; run < historyRuns; ++run) {
        const Pass pass = feed(window, runOf(run, pacedReadingsPerRun), 1, historyPainted,
                               1.0 / bench::wireTemperatureLinesPerSecond);
        historyShare.append(pass.cpuShare);
        allDrawn = allDrawn && pass.caughtUp;
    }
    const int historyFrames = historyPaints.count();
    tabs->setCurrentWidget(statusTab);

    // Bursts: many readings from one read of the port, the event loop run after each.
    QVector<double> burstCpu;
    for (int run = 0; run < burstRuns; ++run) {
        const Pass pass = feed(window, runOf(run, burstReadingsPerRun), burstSize, painted);
        burstCpu.append(pass.cpuPerReading);
        allDrawn = allDrawn && pass.caughtUp;
    }
    // The slow rate, into a plot full of readings 10 a second apart: what a reading costs,
    // the waits between them included, against drawing the same plot once.
    auto *session = window.findChild<InstrumentSession *>();
    auto *plot = qobject_cast<QwtPlot *>(canvas->parentWidget());
    if (!session || !plot) {
        std::fprintf(stderr, "readout: the window has no session or no live plot\n");
        return 1;
    }
    SteppedClock slowClock(*session);
    for (int i = 0; i < plotPoints; ++i) {
        slowClock.step();
        window.temperatureChanged(readings.at(i));
    }
    const auto slowRun = [&readings](int run) {
        return readings.mid(plotPoints + run * slowReadingsPerRun, slowReadingsPerRun);
    };
    runEventLoopUntil(bench::monotonicSeconds() + frameWaitMs / 1000.0);
    // Runs of each in turn, so that both meet the machine in the same state.
    QVector<double> slowCpu;
    QVector<double> replotCpu;
    int slowCanvasPaints = 0;
    int slowLabelPaints = 0;
    long slowContextSwitches = 0;
    long replotContextSwitches = 0;
    for (int run = 0; run < slowRuns; ++run) {
        const SlowPass pass = feedSlowly(window, slowClock, slowRun(run), painted);
        slowCpu.append(pass.cpuPerReading);
        slowCanvasPaints += pass.canvasPaints;
        slowLabelPaints += pass.labelPaints;
        slowContextSwitches += pass.contextSwitches;
        allDrawn = allDrawn && pass.caughtUp;
        const SlowPass replots = replotSlowly(*plot, slowReadingsPerRun, painted);
        replotCpu.append(replots.cpuPerReading);
        replotContextSwitches += replots.contextSwitches;
        allDrawn = allDrawn && replots.caughtUp;
    }
    const double warmReplot = warmReplotCpu(*plot);

    if (!allDrawn)
        std::fprintf(stderr, "readout: a run's last reading was not drawn (label or plot)\n");
    const bool ok = allDrawn;

    const double cpu = bench::median(cpuPerReading);
    const double rate = 1.0 / cpu;
    const double ratio = rate / bench::wireTemperatureLinesPerSecond;
    const QString figure = QStringLiteral("2 live readout");
    const QString on = screen + QStringLiteral(": ");
    bench::printRow(figure,
                    on
                        + QStringLiteral("readings/s on one core, the event loop run after each "
                                         "(%1 readings; label %2, plot %3 frames)")
                              .arg(fed)
                              .arg(labelFrames)
                              .arg(plotFrames),
                    bench::grouped(rate), QStringLiteral("%1 × wire").arg(bench::grouped(ratio, 1)),
                    QStringLiteral("≥ 10 × wire"),
                    eachRunDrawn ? bench::verdict(ratio >= 10.0) : QStringLiteral("NOT PAINTED"));
    bench::printRow(figure,
                    on
                        + QStringLiteral("CPU time per reading (wall %1)")
                              .arg(bench::duration(bench::median(wallPerReading))),
                    bench::duration(cpu),
                    QStringLiteral("%1 % of a line's wire time")
                        .arg(bench::grouped(100.0 * cpu * bench::wireTemperatureLinesPerSecond, 1)),
                    QStringLiteral("-"), QStringLiteral("-"));
    const double batchedRate = 1.0 / bench::median(batchedCpu);
    bench::printRow(
        figure,
        on
            + QStringLiteral("readings/s on one core, the event loop run after every %1")
                  .arg(batchSize),
        bench::grouped(batchedRate),
        QStringLiteral("%1 × wire")
            .arg(bench::grouped(batchedRate / bench::wireTemperatureLinesPerSecond, 1)),
        QStringLiteral("-"), QStringLiteral("-"));
    const double share = bench::median(pacedShare);
    const double pacedSeconds
        = pacedRuns * pacedReadingsPerRun / bench::wireTemperatureLinesPerSecond;
    bench::printRow(
        figure,
        on
            + QStringLiteral("readings at the line's full rate (720/s, paced; label %1, plot %2 "
                             "frames in %3 s): CPU share of one core, painting included "
                             "(median of %4; %5 to %6 %)")
                  .arg(pacedLabelFrames)
                  .arg(pacedFrames)
                  .arg(pacedSeconds, 0, 'f', 1)
                  .arg(pacedRuns)
                  .arg(bench::grouped(
                      100.0 * *std::min_element(pacedShare.begin(), pacedShare.end()), 1))
                  .arg(bench::grouped(
                      100.0 * *std::max_element(pacedShare.begin(), pacedShare.end()), 1)),
        QStringLiteral("%1 %").arg(bench::grouped(100.0 * share, 1)),
        QStringLiteral("%1 µs per reading")
            .arg(bench::grouped(1e6 * share / bench::wireTemperatureLinesPerSecond, 1)),
        QStringLiteral("≤ 10 %"),
        ok ? bench::verdict(share <= 0.10) : QStringLiteral("NOT PAINTED"));
    const double historyMedian = bench::median(historyShare);
    bench::printRow(
        figure,
        on
            + QStringLiteral("the same with the History tab in front (History view %1 frames "
                             "in %2 s, median of %3; %4 to %5 %)")
                  .arg(historyFrames)
                  .arg(historyRuns * pacedReadingsPerRun / bench::wireTemperatureLinesPerSecond, 0,
                       'f', 1)
                  .arg(historyRuns)
                  .arg(bench::grouped(
                      100.0 * *std::min_element(historyShare.begin(), historyShare.end()), 1))
                  .arg(bench::grouped(
                      100.0 * *std::max_element(historyShare.begin(), historyShare.end()), 1)),
        QStringLiteral("%1 %").arg(bench::grouped(100.0 * historyMedian, 1)),
        QStringLiteral("%1 µs per reading")
            .arg(bench::grouped(1e6 * historyMedian / bench::wireTemperatureLinesPerSecond, 1)),
        QStringLiteral("≤ 10 %"),
        ok ? bench::verdict(historyMedian <= 0.10) : QStringLiteral("NOT PAINTED"));
    const double burstRate = 1.0 / bench::median(burstCpu);
    bench::printRow(
        figure,
        on + QStringLiteral("readings in bursts of %1: readings/s on one core").arg(burstSize),
        bench::grouped(burstRate),
        QStringLiteral("%1 × wire")
            .arg(bench::grouped(burstRate / bench::wireTemperatureLinesPerSecond, 1)),
        QStringLiteral("≥ 100,000/s"),
        ok ? bench::verdict(burstRate >= 100000.0) : QStringLiteral("NOT PAINTED"));

    const double slowMedian = bench::median(slowCpu);
    const double replotMedian = bench::median(replotCpu);
    QVector<double> runRatios;
    for (int run = 0; run < slowRuns; ++run)
        runRatios.append(slowCpu.at(run) / replotCpu.at(run));
    const double slowRatio = slowMedian / replotMedian;
    bench::printRow(
        figure,
        on
            + QStringLiteral("readings at %1 a second into a full %2-point plot, the event loop "
                             "waiting in between: CPU per reading, waits included (%3 readings; "
                             "label %4, plot %5 frames; %6 context switches; %10 % of a core; "
                             "median of %7 runs, each against the replots run after it %8 to "
                             "%9 ×)")
                  .arg(slowReadingsPerSecond)
                  .arg(plotPoints)
                  .arg(slowRuns * slowReadingsPerRun)
                  .arg(slowLabelPaints)
                  .arg(slowCanvasPaints)
                  .arg(slowContextSwitches)
                  .arg(slowRuns)
                  .arg(bench::grouped(*std::min_element(runRatios.begin(), runRatios.end()), 2))
                  .arg(bench::grouped(*std::max_element(runRatios.begin(), runRatios.end()), 2))
                  .arg(bench::grouped(100.0 * slowMedian * slowReadingsPerSecond, 2)),
        bench::duration(slowMedian),
        QStringLiteral("%1 × a full replot; %2 % of a line's wire time")
            .arg(bench::grouped(slowRatio, 2))
            .arg(bench::grouped(100.0 * slowMedian * bench::wireTemperatureLinesPerSecond, 1)),
        QStringLiteral("≤ 1 × a full replot"),
        ok ? bench::verdict(slowRatio <= 1.0) : QStringLiteral("NOT PAINTED"));
    bench::printRow(
        figure,
        on
            + QStringLiteral("the same %1-point plot drawn whole (layout, title, axes, legend, "
                             "canvas) %2 times a second instead, the event loop waiting in "
                             "between: CPU per replot, waits included (%3 context switches; %5 % "
                             "of a core; median of %4 runs)")
                  .arg(plotPoints)
                  .arg(slowReadingsPerSecond)
                  .arg(replotContextSwitches)
                  .arg(slowRuns)
                  .arg(bench::grouped(100.0 * replotMedian * slowReadingsPerSecond, 2)),
        bench::duration(replotMedian),
        QStringLiteral("%1 % of a line's wire time")
            .arg(bench::grouped(100.0 * replotMedian * bench::wireTemperatureLinesPerSecond, 1)),
        QStringLiteral("-"), QStringLiteral("-"));
    bench::printRow(
        figure,
        on
            + QStringLiteral("the same plot drawn whole %1 times in a row, nothing in between: "
                             "CPU per replot, median (a reading at %2 a second costs %3 × this)")
                  .arg(warmReplots)
                  .arg(slowReadingsPerSecond)
                  .arg(bench::grouped(slowMedian / warmReplot, 2)),
        bench::duration(warmReplot),
        QStringLiteral("%1 % of a line's wire time")
            .arg(bench::grouped(100.0 * warmReplot * bench::wireTemperatureLinesPerSecond, 1)),
        QStringLiteral("-"), QStringLiteral("-"));

    // Last, in a window of its own: the readings above leave nothing behind in it.
    window.hide();
    const Idle idle = measureIdle();
    if (!idle.failure.isEmpty())
        std::fprintf(stderr, "readout: idle: %s\n", qPrintable(idle.failure));
    bench::printRow(
        figure,
        on
            + QStringLiteral("idle, the port open on an instrument that sends nothing: CPU share "
                             "of one core over %1 s (%2 context switches)")
                  .arg(idleSeconds)
                  .arg(idle.wakeUps),
        idle.failure.isEmpty()
            ? QStringLiteral("%1 %").arg(bench::grouped(100.0 * idle.cpuShare, 3))
            : QStringLiteral("failed"),
        QStringLiteral("%1 ms of CPU a second").arg(bench::grouped(1000.0 * idle.cpuShare, 2)),
        QStringLiteral("≤ 0.1 %"),
        idle.failure.isEmpty() ? bench::verdict(idle.cpuShare <= 0.001) : QStringLiteral("FAILED"));
    return ok && idle.failure.isEmpty() ? 0 : 1;
}
