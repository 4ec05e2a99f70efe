// Recording: rows written to a CSV file on disk as at the line's limit, each handed to
// the operating system at once, CPU per row against the wire's time per reading; and
// the sync to the disk that follows each second of rows, in wall time.

#include "benchsupport.h"
#include "recorder.h"
#include "recordingfile.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <cmath>
#include <cstdio>

namespace {

const int rowsPerRun = bench::sized(100000, 5000);
const int runs = bench::sized(5, 1);
const int syncRuns = bench::sized(9, 1);

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    QTemporaryDir folder(QDir::currentPath() + QStringLiteral("/bench-recording-XXXXXX"));
    if (!bench::isolateUserStore(home) || !folder.isValid())
        return 1;
    QCoreApplication application(argc, argv);

    const double lineSeconds = 1.0 / bench::wireTemperatureLinesPerSecond;
    QVector<double> perRow;
    for (int run = 0; run < runs; ++run) {
        Recorder recorder;
        QDateTime now = QDateTime::currentDateTimeUtc();
        recorder.setClock([&now] { return now; });
        InstrumentIdentity identity;
        identity.model = QStringLiteral("ZURKD550");
        identity.serialNumber = QStringLiteral("BENCH-%1").arg(run);
        identity.version = QStringLiteral("1.5.2.0");
        recorder.sensorChanged(QStringLiteral("DT-670"));
        recorder.instrumentIdentified(identity);
        if (!recorder.start(folder.path()))
            return 1;
        const double start = bench::processCpuSeconds();
        for (int i = 0; i < rowsPerRun; ++i) {
            now = now.addMSecs(1);
            recorder.addReading({now.toMSecsSinceEpoch() * 1000000, 77.35 + 0.001 * (i % 1000)});
        }
        perRow.append((bench::processCpuSeconds() - start) / rowsPerRun);
        if (recorder.rowCount() != rowsPerRun) {
            std::fprintf(stderr, "recording: %lld rows of %d\n", recorder.rowCount(), rowsPerRun);
            return 1;
        }
    }
    const double cpu = bench::median(perRow);

    // A second of rows at the line's limit, then the sync the recorder does once a second.
    RecordingFile file;
    if (!file.open(folder.filePath(QStringLiteral("sync.csv")), "time_utc,seconds,kelvin\n"))
        return 1;
    const QDateTime start = QDateTime::currentDateTimeUtc();
    const int rowsPerSecond = int(bench::wireTemperatureLinesPerSecond);
    QVector<double> syncs;
    for (int run = 0; run < syncRuns; ++run) {
        for (int i = 0; i < rowsPerSecond; ++i)
            file.append(RecordingFile::row(start.addMSecs(i), i * lineSeconds, 77.35));
        const double wall = bench::monotonicSeconds();
        if (!file.sync())
            return 1;
        syncs.append(bench::monotonicSeconds() - wall);
    }
    const double sync = bench::median(syncs);

    const QString figure = QStringLiteral("7 recording");
    bench::printRow(figure, QStringLiteral("recording at the line's limit: CPU per row"),
                    bench::duration(cpu),
                    QStringLiteral("%1 % of a line's wire time")
                        .arg(bench::grouped(100.0 * cpu / lineSeconds, 2)),
                    QStringLiteral("-"), QStringLiteral("-"));
    bench::printRow(figure, QStringLiteral("sync to disk once a second (720 rows): wall time"),
                    bench::duration(sync),
                    QStringLiteral("%1 % of the second").arg(bench::grouped(100.0 * sync, 2)),
                    QStringLiteral("-"), QStringLiteral("-"));
    return 0;
}
