// Memory: the resident set after 1,000,000 readings against the one after 1,000. Each
// reading arrives as a line through the real Device and reaches the window shown
// offscreen; the event loop runs after every 100 lines, and the window draws its plot
// at most once a display frame.

#include "benchsupport.h"
#include "device-serial.h"
#include "mainwindow.h"
#include "offscreenwindow.h"
#include "paintcounter.h"

#include <QApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <cmath>
#include <cstdio>
#include <qwt_plot_canvas.h>

namespace {

constexpr int earlyReadings = 1000;
const int allReadings = bench::sized(1000000, 20000);
constexpr int readingsPerPass = 100;
// Longer than the window's display frame, so that the last readings are drawn.
constexpr int frameWaitMs = 25;

QByteArray temperatureLine(int i)
{
    const double kelvin = 77.35 + 217.65 * (0.5 + 0.5 * std::cos(i / 5000.0));
    return QByteArray("*T = ") + QByteArray::number(kelvin, 'f', 3) + " K\r\n";
}

void feed(Device &device, int from, int to)
{
    for (int i = from; i < to; ++i) {
        device.serialReceive(temperatureLine(i));
        if ((i + 1) % readingsPerPass == 0)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
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

    MainWindow window;
    bench::showOffscreen(window);
    QWidget *canvas = bench::liveCanvas(window);
    if (!canvas) {
        std::fprintf(stderr, "memory: no live plot\n");
        return 1;
    }
    PaintCounter paints(canvas);

    Device device(&window);
    int readings = 0;
    QObject::connect(&device, &Device::temperatureChanged, &window,
                     &MainWindow::temperatureChanged);
    QObject::connect(&device, &Device::temperatureChanged, [&](double) { ++readings; });

    feed(device, 0, earlyReadings);
    const qint64 early = bench::residentBytes();
    const bool peakReset = bench::resetPeakResident();
    const qint64 earlyPeak = bench::peakResidentBytes();

    const double start = bench::monotonicSeconds();
    feed(device, earlyReadings, allReadings - 1);
    const int paintsBeforeLastReading = paints.count();
    feed(device, allReadings - 1, allReadings);
    const double seconds = bench::monotonicSeconds() - start;
    const qint64 peak = bench::peakResidentBytes();
    const qint64 last = bench::residentBytes();
    QEventLoop loop;
    QTimer::singleShot(frameWaitMs, &loop, &QEventLoop::quit);
    loop.exec();

    // Drawn now and then along the way, and after the last reading.
    const bool complete = readings == allReadings && paintsBeforeLastReading > 1
        && paints.count() > paintsBeforeLastReading;
    if (!complete)
        std::fprintf(stderr, "memory: %d readings, %d paints\n", readings, paints.count());
    std::fprintf(stderr,
                 "memory: %s after %d (peak then %s, peak %s), peak %s and now %s after %d, in "
                 "%.1f s\n",
                 qPrintable(bench::mebibytes(early)), earlyReadings,
                 qPrintable(bench::mebibytes(earlyPeak)), peakReset ? "restarted" : "not restarted",
                 qPrintable(bench::mebibytes(peak)), qPrintable(bench::mebibytes(last)),
                 allReadings, seconds);

    const qint64 growth = peak - early;
    const double wireMinutes = allReadings / bench::wireTemperatureLinesPerSecond / 60.0;
    const QString figure = QStringLiteral("5 memory");
    bench::printRow(
        figure, QStringLiteral("RSS after %1 readings").arg(bench::grouped(earlyReadings)),
        bench::mebibytes(early), QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("-"));
    bench::printRow(
        figure,
        QStringLiteral("peak RSS after %1 readings%2")
            .arg(bench::grouped(allReadings),
                 peakReset ? QString() : QStringLiteral(" (peak since start)")),
        bench::mebibytes(peak),
        QStringLiteral("%1 over %2 min of full wire")
            .arg((growth >= 0 ? QStringLiteral("+") : QString()) + bench::mebibytes(growth),
                 bench::grouped(wireMinutes, 1)),
        QStringLiteral("≤ +1 MiB"),
        complete ? bench::verdict(growth <= 1024 * 1024) : QStringLiteral("INCOMPLETE"));
    return complete ? 0 : 1;
}
