// Live readout: readings through MainWindow::temperatureChanged with the window shown
// offscreen, each one painted (label, 300-point history, axes, legend) before the
// next, against the most temperature lines the wire can carry.

#include "benchsupport.h"
#include "mainwindow.h"
#include "offscreenwindow.h"
#include "paintcounter.h"

#include <QApplication>
#include <QLabel>
#include <QTemporaryDir>
#include <QWindow>
#include <cmath>
#include <cstdio>
#include <qwt_plot_canvas.h>

namespace {

constexpr int readingsPerRun = 1000;
constexpr int runs = 5;
constexpr int batchSize = 10;

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
};

// `readings` through the slot, the event loop run after every `perPaint` of them.
Pass feed(MainWindow &window, const QVector<double> &readings, int perPaint)
{
    const double wallStart = bench::monotonicSeconds();
    const double cpuStart = bench::processCpuSeconds();
    for (int i = 0; i < readings.size(); ++i) {
        window.temperatureChanged(readings.at(i));
        if ((i + 1) % perPaint == 0)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    Pass pass;
    pass.cpuPerReading = (bench::processCpuSeconds() - cpuStart) / readings.size();
    pass.wallPerReading = (bench::monotonicSeconds() - wallStart) / readings.size();
    return pass;
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    bench::isolateUserStore(home.path());
    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("MORVA"));
    QCoreApplication::setApplicationName(QStringLiteral("rimeglass"));
    bench::discardDebugLog();

    MainWindow window;
    QWidget *canvas = bench::liveCanvas(window);
    auto *label = window.findChild<QLabel *>(QStringLiteral("temperatureValue"));
    if (!canvas || !label || !bench::showOffscreen(window)) {
        std::fprintf(stderr, "readout: the window did not show its live plot\n");
        return 1;
    }
    const QVector<double> readings = coolDown(runs * readingsPerRun);

    // Every reading painted before the next, as when each read of the port brings one
    // line: the dearest way for the window to take them.
    PaintCounter canvasPaints(canvas);
    PaintCounter labelPaints(label);
    QVector<double> cpuPerReading;
    QVector<double> wallPerReading;
    for (int run = 0; run < runs; ++run) {
        const Pass pass = feed(window, readings.mid(run * readingsPerRun, readingsPerRun), 1);
        cpuPerReading.append(pass.cpuPerReading);
        wallPerReading.append(pass.wallPerReading);
    }
    const int fed = readings.size();
    const int painted = qMin(canvasPaints.count(), labelPaints.count());
    const bool allPainted = painted >= fed;
    if (!allPainted)
        std::fprintf(stderr, "readout: %d readings, %d canvas and %d label paints\n", fed,
                     canvasPaints.count(), labelPaints.count());

    // A faster stream makes the reads bring several lines, and the event loop paints
    // once per read.
    QVector<double> batchedCpu;
    for (int run = 0; run < runs; ++run)
        batchedCpu.append(
            feed(window, readings.mid(run * readingsPerRun, readingsPerRun), batchSize)
                .cpuPerReading);

    const double cpu = bench::median(cpuPerReading);
    const double rate = 1.0 / cpu;
    const double ratio = rate / bench::wireTemperatureLinesPerSecond;
    const QString figure = QStringLiteral("2 live readout");
    bench::printRow(
        figure,
        QStringLiteral("readings/s on one core, each painted (%1 of %2)").arg(painted).arg(fed),
        bench::grouped(rate), QStringLiteral("%1 × wire").arg(bench::grouped(ratio, 1)),
        QStringLiteral("≥ 10 × wire"),
        allPainted ? bench::verdict(ratio >= 10.0) : QStringLiteral("NOT PAINTED"));
    bench::printRow(figure,
                    QStringLiteral("CPU time per reading (wall %1)")
                        .arg(bench::duration(bench::median(wallPerReading))),
                    bench::duration(cpu),
                    QStringLiteral("%1 % of a line's wire time")
                        .arg(bench::grouped(100.0 * cpu * bench::wireTemperatureLinesPerSecond, 1)),
                    QStringLiteral("-"), QStringLiteral("-"));
    const double batchedRate = 1.0 / bench::median(batchedCpu);
    bench::printRow(
        figure, QStringLiteral("readings/s on one core, one paint per %1 readings").arg(batchSize),
        bench::grouped(batchedRate),
        QStringLiteral("%1 × wire")
            .arg(bench::grouped(batchedRate / bench::wireTemperatureLinesPerSecond, 1)),
        QStringLiteral("-"), QStringLiteral("-"));
    return allPainted ? 0 : 1;
}
