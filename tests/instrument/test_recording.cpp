// Recording readings to CSV: the files' names and exact contents, automatic mode with a
// lost port, Close and midnight, and the failures that stop or refuse a recording.

#include "recorder.h"
#include "recordingfile.h"
#include "testmain.h"

#include <QCoreApplication>
#include <QDir>
#include <QSignalSpy>
#include <csignal>
#include <ctime>
#include <sys/resource.h>

namespace {

const QByteArray sn1Header = "# rimeglass 1.7 recording\n"
                             "# instrument: MORVA ZURKD550, serial number SN0001, firmware "
                             "1.5.2.0\n"
                             "# sensor: DT-670\n"
                             "time_utc,seconds,kelvin\n";

QByteArray header(const QByteArray &serial, const QByteArray &sensor = "DT-670")
{
    return QByteArray(sn1Header).replace("SN0001", serial).replace("DT-670", sensor);
}

// Limits the size of files this process writes, as a full disk would stop them.
class FileSizeLimit
{
public:
    FileSizeLimit() { getrlimit(RLIMIT_FSIZE, &m_saved); }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_saved); }
    void limitTo(qint64 bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_saved;
        limit.rlim_cur = rlim_t(bytes);
        setrlimit(RLIMIT_FSIZE, &limit);
    }

private:
    rlimit m_saved;
};

} // namespace

class TestRecording : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void recording_data();
    void recording();
    void fullDevice();
};

void TestRecording::initTestCase()
{
    // Local time two hours ahead of UTC, all year: local midnight is 22:00 UTC.
    qputenv("TZ", "RGT-2");
    tzset();
}

// Each step of `script`: "id SERIAL SENSOR", "auto", "start", "stop", "at ISO-TIME",
// "T KELVIN", "sensor NAME", "lost", "close", "full" (the disk fills up at the current
// size of the file). `events` are the signals started and stopped, with "%d" for the
// temporary folder; `files` the folder's files after the script, by name.
void TestRecording::recording_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("fileNames");
    QTest::addColumn<QByteArrayList>("contents");

    QTest::newRow("header and rows, local time in the name")
        << "rec"
        << QStringList{"id SN0001 DT-670",
                       "at 2026-12-07T14:03:21.125Z",
                       "start",
                       "T 77.35",
                       "at 2026-12-07T14:03:22.5Z",
                       "T 77.3494",
                       "stop",
                       "T 77.1"}
        << QStringList{"started %d/rec/SN0001_2026-12-07_160321.csv", "stopped "}
        << QStringList{"SN0001_2026-12-07_160321.csv"}
        << QByteArrayList{sn1Header
                          + "2026-12-07T14:03:21.125Z,0.000,77.350\n"
                            "2026-12-07T14:03:22.500Z,1.375,77.349\n"};
    QTest::newRow("below 1 K, unsafe serial, sensor changed")
        << "rec" << QStringList{"id SN/01:A DT-670",
                                "at 2026-12-07T14:00:00Z",
                                "start",
                                "T 0.85",
                                "sensor DT-400",
                                "T 0.8494"}
        << QStringList{"started %d/rec/SN_01_A_2026-12-07_160000.csv"}
        << QStringList{"SN_01_A_2026-12-07_160000.csv"}
        << QByteArrayList{header("SN/01:A")
                          + "2026-12-07T14:00:00.000Z,0.000,0.850\n# sensor: DT-400\n"
                            "2026-12-07T14:00:00.000Z,0.000,0.849\n"};
    QTest::newRow("automatic: a lost port that comes back keeps the file")
        << "rec" << QStringList{"auto", "at 2026-12-07T14:00:00Z", "id SN0001 DT-670", "T 80",
                                "lost", "at 2026-12-07T14:01:00Z", "id SN0001 DT-670", "T 79"}
        << QStringList{"started %d/rec/SN0001_2026-12-07_160000.csv"}
        << QStringList{"SN0001_2026-12-07_160000.csv"}
        << QByteArrayList{sn1Header
                          + "2026-12-07T14:00:00.000Z,0.000,80.000\n"
                            "2026-12-07T14:01:00.000Z,60.000,79.000\n"};
    QTest::newRow("automatic: Close ends the file, the next Open starts one")
        << "rec"
        << QStringList{"auto", "at 2026-12-07T14:00:00Z", "id SN0001 DT-670", "T 80", "close",
                       "T 81", "at 2026-12-07T14:00:01Z", "id SN0002 DT-400", "T 79"}
        << QStringList{"started %d/rec/SN0001_2026-12-07_160000.csv", "stopped ",
                       "started %d/rec/SN0002_2026-12-07_160001.csv"}
        << QStringList{"SN0001_2026-12-07_160000.csv", "SN0002_2026-12-07_160001.csv"}
        << QByteArrayList{sn1Header + "2026-12-07T14:00:00.000Z,0.000,80.000\n",
                          header("SN0002", "DT-400") + "2026-12-07T14:00:01.000Z,0.000,79.000\n"};
    QTest::newRow("automatic: a new file at local midnight")
        << "rec" << QStringList{"auto", "at 2026-12-07T21:59:59.5Z",  "id SN0001 DT-670",
                                "T 80", "at 2026-12-07T22:00:00.25Z", "T 79"}
        << QStringList{"started %d/rec/SN0001_2026-12-07_235959.csv",
                       "started %d/rec/SN0001_2026-12-08_000000.csv"}
        << QStringList{"SN0001_2026-12-07_235959.csv", "SN0001_2026-12-08_000000.csv"}
        << QByteArrayList{sn1Header + "2026-12-07T21:59:59.500Z,0.000,80.000\n",
                          sn1Header + "2026-12-07T22:00:00.250Z,0.000,79.000\n"};
    QTest::newRow("started by hand: one file across midnight, none at identification")
        << "rec"
        << QStringList{"at 2026-12-07T21:59:59.5Z",
                       "id SN0001 DT-670",
                       "T 81",
                       "start",
                       "T 80",
                       "at 2026-12-07T22:00:00.25Z",
                       "T 79"}
        << QStringList{"started %d/rec/SN0001_2026-12-07_235959.csv"}
        << QStringList{"SN0001_2026-12-07_235959.csv"}
        << QByteArrayList{sn1Header
                          + "2026-12-07T21:59:59.500Z,0.000,80.000\n"
                            "2026-12-07T22:00:00.250Z,0.750,79.000\n"};
    QTest::newRow("the same second twice: no file overwritten")
        << "rec" << QStringList{"at 2026-12-07T14:00:00Z",
                                "id SN0001 DT-670",
                                "start",
                                "T 80",
                                "start",
                                "T 79"}
        << QStringList{"started %d/rec/SN0001_2026-12-07_160000.csv",
                       "started %d/rec/SN0001_2026-12-07_160000-2.csv"}
        << QStringList{"SN0001_2026-12-07_160000-2.csv", "SN0001_2026-12-07_160000.csv"}
        << QByteArrayList{sn1Header + "2026-12-07T14:00:00.000Z,0.000,79.000\n",
                          sn1Header + "2026-12-07T14:00:00.000Z,0.000,80.000\n"};
    QTest::newRow("a folder that cannot be created refuses to start")
        << "file/rec" << QStringList{"id SN0001 DT-670", "start", "T 80"}
        << QStringList{"stopped Cannot create the folder %d/file/rec: Not a directory"}
        << QStringList() << QByteArrayList();
    QTest::newRow("a full disk stops the recording")
        << "rec" << QStringList{"at 2026-12-07T14:00:00Z",
                                "id SN0001 DT-670",
                                "start",
                                "T 80",
                                "full",
                                "T 79",
                                "T 78"}
        << QStringList{"started %d/rec/SN0001_2026-12-07_160000.csv",
                       "stopped Cannot write %d/rec/SN0001_2026-12-07_160000.csv: File too large"}
        << QStringList{"SN0001_2026-12-07_160000.csv"}
        << QByteArrayList{sn1Header + "2026-12-07T14:00:00.000Z,0.000,80.000\n"};
}

void TestRecording::recording()
{
    QFETCH(QString, folder);
    QFETCH(QStringList, script);
    QFETCH(QStringList, events);
    QFETCH(QStringList, fileNames);
    QFETCH(QByteArrayList, contents);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile blocker(dir.filePath(QStringLiteral("file")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString recordingFolder = dir.filePath(folder);

    Recorder recorder;
    QDateTime now = QDateTime::fromString(QStringLiteral("2026-12-07T12:00:00Z"), Qt::ISODate);
    recorder.setClock([&now] { return now; });
    recorder.setFolder(recordingFolder);
    QStringList seen;
    connect(&recorder, &Recorder::started, this,
            [&](const QString &path) { seen << QStringLiteral("started ") + path; });
    connect(&recorder, &Recorder::stopped, this,
            [&](const QString &error) { seen << QStringLiteral("stopped ") + error; });
    FileSizeLimit fileSize;

    for (const QString &step : script) {
        const QString command = step.section(QLatin1Char(' '), 0, 0);
        const QString argument = step.section(QLatin1Char(' '), 1);
        if (command == QLatin1String("id"))
            recorder.instrumentIdentified(QStringLiteral("ZURKD550"), argument.section(' ', 0, 0),
                                          QStringLiteral("1.5.2.0"), argument.section(' ', 1));
        else if (command == QLatin1String("auto"))
            recorder.setAutomatic(true);
        else if (command == QLatin1String("start"))
            recorder.start(recordingFolder);
        else if (command == QLatin1String("stop"))
            recorder.stop();
        else if (command == QLatin1String("at"))
            now = QDateTime::fromString(argument, Qt::ISODateWithMs);
        else if (command == QLatin1String("T"))
            recorder.addReading(argument.toDouble());
        else if (command == QLatin1String("sensor"))
            recorder.sensorChanged(argument);
        else if (command == QLatin1String("lost") || command == QLatin1String("close"))
            recorder.connectionEnded(command == QLatin1String("lost"));
        else if (command == QLatin1String("full"))
            fileSize.limitTo(QFileInfo(recorder.filePath()).size());
        else
            QFAIL(qPrintable(step));
    }
    QCOMPARE(seen, events.replaceInStrings(QStringLiteral("%d"), dir.path()));
    const QDir results(recordingFolder);
    QCOMPARE(results.entryList(QDir::Files, QDir::Name), fileNames);
    for (int i = 0; i < fileNames.size(); ++i) {
        QFile file(results.filePath(fileNames.at(i)));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), contents.at(i));
    }
}

void TestRecording::fullDevice()
{
    RecordingFile file;
    QVERIFY(!file.open(QStringLiteral("/dev/full"), "time_utc,seconds,kelvin\n"));
    QCOMPARE(file.errorText(), QStringLiteral("Cannot write /dev/full: No space left on device"));
    QVERIFY(!file.isOpen());
}

RIMEGLASS_TEST_MAIN(QCoreApplication, TestRecording)
#include "test_recording.moc"
