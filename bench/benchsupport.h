#ifndef RIMEGLASS_BENCH_BENCHSUPPORT_H
#define RIMEGLASS_BENCH_BENCHSUPPORT_H

// What every benchmark program shares: the wire's limits, clocks, memory readings,
// the debug log sent where the tool's own goes when nobody watches, and the rows of
// the one table that bench/run-bench prints.

#include <QString>
#include <QTemporaryDir>
#include <QVector>

namespace bench {

// 115200 baud, 8N1: ten bit times per byte.
constexpr double wireBytesPerSecond = 115200.0 / 10.0;
// "*T = 293.150 K" with CR LF: the most common line, 16 bytes.
constexpr int temperatureLineBytes = 16;
constexpr double wireTemperatureLinesPerSecond = wireBytesPerSecond / temperatureLineBytes;

// HOME and XDG_CONFIG_HOME (and the runtime directory) in `home`, offscreen unless a
// platform was asked for: no benchmark touches a real user's settings or screen. False
// when `home` could not be made.
bool isolateUserStore(const QTemporaryDir &home);

// The smoke run (bench/run-bench --smoke, make bench-smoke) runs every row once with short
// durations, to see that each still produces its figure; the figures themselves mean
// little then.
bool smokeRun();
// `full` in a full run, `smoke` in the smoke run.
int sized(int full, int smoke);

double monotonicSeconds();
double processCpuSeconds();

// Resident set size now and its peak since start (or since the last reset), in bytes.
qint64 residentBytes();
qint64 peakResidentBytes();
// Restarts the peak from the current size; false where the kernel does not allow it.
bool resetPeakResident();

// The tool writes a line to its debug log for every line it receives. Here the lines
// are formatted as Qt's default handler formats them and written to /dev/null, as when
// the tool runs with its standard error discarded: the cost stays in the figures and
// the table stays readable. With RIMEGLASS_BENCH_DEBUG_LOG set the log goes to
// standard error as usual, for looking into a figure.
void discardDebugLog();

double median(QVector<double> values);

// One line of the table: figure, what was measured, the value, the same against the
// wire, the goal, and whether the goal was met. Written to standard output, tab
// separated, behind the marker "ROW".
void printRow(const QString &figure, const QString &measure, const QString &value,
              const QString &againstWire, const QString &goal, const QString &verdict);
QString verdict(bool met);

// Numbers with thousands separators, and durations in a fitting unit.
QString grouped(double value, int decimals = 0);
QString duration(double seconds);
QString mebibytes(qint64 bytes);

} // namespace bench

#endif
