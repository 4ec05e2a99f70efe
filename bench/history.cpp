// History: 10 million readings (3.9 hours of a saturated wire) into the History view,
// the memory they take, and the time to redraw the whole range and a zoomed one,
// rendered offscreen into a 1000 x 600 image, against a frame at 60 Hz.

#include "benchsupport.h"
#include "historyview.h"
#include "offscreenwindow.h"

#include <QApplication>
#include <QImage>
#include <QTemporaryDir>
#include <cmath>
#include <cstdio>

namespace {

const int readingCount = bench::sized(10000000, 200000);
const int redrawRuns = bench::sized(9, 1);
constexpr double zoomSeconds = 1800.0;
constexpr double frameSeconds = 1.0 / 60.0;
constexpr qint64 memoryGoalBytes = qint64(64) * 1024 * 1024;

// Redraws the view over [from, to] and renders it into `image`: CPU seconds, median.
double redrawSeconds(HistoryView &view, QImage &image, double from, double to, bool whole)
{
    QVector<double> runs;
    for (int i = 0; i < redrawRuns; ++i) {
        const double start = bench::processCpuSeconds();
        if (whole)
            view.reset();
        else
            view.showRange(from, to);
        view.render(&image);
        runs.append(bench::processCpuSeconds() - start);
        if (!whole)
            view.reset();
    }
    return bench::median(runs);
}

void printRedraw(const QString &measure, double seconds)
{
    bench::printRow(QStringLiteral("6 history"), measure, bench::duration(seconds),
                    QStringLiteral("the wire carries %1 lines meanwhile")
                        .arg(bench::grouped(seconds * bench::wireTemperatureLinesPerSecond, 1)),
                    QStringLiteral("< 16.7 ms (60 Hz)"), bench::verdict(seconds < frameSeconds));
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    if (!bench::isolateUserStore(home))
        return 1;
    QApplication application(argc, argv);

    HistoryView view;
    view.resize(1000, 600);
    if (!bench::showOffscreen(view)) {
        std::fprintf(stderr, "history: the view was not shown\n");
        return 1;
    }
    QImage image(view.size(), QImage::Format_ARGB32_Premultiplied);

    // A saturated wire for 3.9 hours ending now: a cool-down with a little noise.
    const double lineSeconds = 1.0 / bench::wireTemperatureLinesPerSecond;
    const QDateTime end = QDateTime::currentDateTimeUtc();
    const qint64 startMs = end.toMSecsSinceEpoch() - qint64(readingCount * lineSeconds * 1000);
    const qint64 before = bench::residentBytes();
    const double appendStart = bench::processCpuSeconds();
    for (int i = 0; i < readingCount; ++i) {
        const double kelvin
            = 77.35 + 217.65 * std::exp(-i / 2.0e6) + 0.004 * ((qint64(i) * 7919) % 11 - 5);
        view.addReading(
            QDateTime::fromMSecsSinceEpoch(startMs + qint64(i * lineSeconds * 1000), Qt::UTC),
            kelvin);
    }
    const double appendSeconds = (bench::processCpuSeconds() - appendStart) / readingCount;
    const qint64 used = bench::residentBytes() - before;
    const ReadingHistory &history = view.history();
    if (history.count() != readingCount) {
        std::fprintf(stderr, "history: %lld readings kept of %d\n", history.count(), readingCount);
        return 1;
    }

    const QString figure = QStringLiteral("6 history");
    bench::printRow(figure,
                    QStringLiteral("%1 readings: memory (RSS growth; %2 exact, %3 "
                                   "condensed points, %4 held)")
                        .arg(bench::grouped(readingCount), bench::grouped(history.exactCount()),
                             bench::grouped(history.condensedCount()),
                             bench::mebibytes(history.memoryBytes())),
                    bench::mebibytes(used),
                    QStringLiteral("%1 h of full wire")
                        .arg(bench::grouped(readingCount * lineSeconds / 3600.0, 1)),
                    QStringLiteral("< 64 MiB"), bench::verdict(used < memoryGoalBytes));
    bench::printRow(figure, QStringLiteral("append: CPU per reading"),
                    bench::grouped(appendSeconds * 1e9, 1) + QStringLiteral(" ns"),
                    QStringLiteral("%1 % of a line's wire time")
                        .arg(bench::grouped(100.0 * appendSeconds / lineSeconds, 3)),
                    QStringLiteral("-"), QStringLiteral("-"));

    // The zoomed range first, so that the image saved is the whole session.
    const double last = history.lastTime();
    const double zoomed = redrawSeconds(view, image, last - zoomSeconds, last, false);
    const double whole = redrawSeconds(view, image, 0.0, 0.0, true);
    const double zoomedReadings = qMin(double(readingCount), zoomSeconds / lineSeconds);
    printRedraw(QStringLiteral("redraw of the whole range (%1 readings, 1000 x 600)")
                    .arg(bench::grouped(readingCount)),
                whole);
    printRedraw(QStringLiteral("redraw of a zoomed range (the last 30 minutes, %1 readings)")
                    .arg(bench::grouped(zoomedReadings)),
                zoomed);
    if (qEnvironmentVariableIsSet("RIMEGLASS_BENCH_HISTORY_IMAGE"))
        image.save(qEnvironmentVariable("RIMEGLASS_BENCH_HISTORY_IMAGE"));
    return 0;
}
