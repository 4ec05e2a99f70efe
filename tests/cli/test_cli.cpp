// rimeglass-cli as a script runs it, against the simulated instrument on a pseudo-terminal:
// what each subcommand writes on the wire, prints and exits with; and `log` into CSV, line
// protocol and a real InfluxDB server on a loopback port.

#include "calibrationtable.h"
#include "containerpacker.h"
#include "influxserver.h"
#include "recordedsimulator.h"
#include "signingkeys.h"
#include "testmain.h"
#include "uuids.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>
#include <sodium.h>

namespace {

const QByteArray opening("\x03\n*idn?\n@00\n", 12);

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// The simulated instrument, powered up, with a short boot window and fixed noise.
struct Bench : RecordedSimulator
{
    explicit Bench(InstrumentConfig config = InstrumentConfig())
        : RecordedSimulator(withDefaults(config))
    {
        start();
    }

    static InstrumentConfig withDefaults(InstrumentConfig config)
    {
        if (config.compat.isEmpty())
            config.compat = rimeglass::uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1);
        config.bootWindowMs = 30;
        config.seed = 3;
        return config;
    }
};

// Runs the program to its end while this process's event loop serves the instrument; with
// `terminateAfterMs`, the end is a SIGTERM then, as a script or Ctrl-C ends a log.
Run runCli(const QStringList &arguments, int timeoutMs = 30000, int terminateAfterMs = -1)
{
    QProcess process;
    process.start(QStringLiteral(RIMEGLASS_CLI), arguments);
    if (terminateAfterMs >= 0)
        QTimer::singleShot(terminateAfterMs, &process, &QProcess::terminate);
    QTimer tick; // wakes the wait to look at the deadline
    tick.start(50);
    const QDeadlineTimer deadline(timeoutMs);
    while (process.state() != QProcess::NotRunning && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
    // The instrument takes what the program wrote last (a commit, "boot").
    const QDeadlineTimer settled(300);
    while (!settled.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

void writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) < 0)
        qFatal("cannot write %s", qPrintable(path));
}

// Whether `part` occurs in `whole` as one run, nothing left out in between.
template<typename T>
bool containsRun(const QList<T> &whole, const QList<T> &part)
{
    for (int start = 0; start + part.size() <= whole.size(); ++start) {
        if (whole.mid(start, part.size()) == part)
            return true;
    }
    return false;
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void commands_data();
    void commands();
    void identifyAfterAnAnswerLeftInThePort();
    void uploadTable();
    void upgrade();
    void logCsv();
    void logLineProtocol();
    void logIntoInfluxDb();

private:
    QTemporaryDir files;
    QByteArray seed;
};

void TestCli::initTestCase()
{
    QVERIFY(sodium_init() >= 0);
    seed = readSeedFile(QStringLiteral(RIMEGLASS_KEYS_DIR "/development-seed.hex"));
    QCOMPARE(seed.size(), 32);
}

// Each row: the arguments after the port, and what comes of them: the exit status, the
// exact output, the start of the error message and the exact bytes on the wire.
void TestCli::commands_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<QByteArray>("wire");

    QTest::newRow("identify") << QStringList{"identify", "PORT"} << false << 0
                              << QByteArray(
                                     "vendor=MORVA\nmodel=ZURKD550\nserialNumber=SIM-000001\n"
                                     "version=1.5.2.0\nmode=application\n"
                                     "revision=revision 1\n")
                              << QByteArray() << opening;
    QTest::newRow("settings")
        << QStringList{"settings", "PORT"} << false << 0
        << QByteArray("sensor=ZUR\nrelay1-temperature=80.000\nrelay1-hysteresis=1.000\n"
                      "relay1-default-state=Off\nrelay2-temperature=300.000\n"
                      "relay2-hysteresis=2.500\nrelay2-default-state=On\nrs232-output=enabled\n"
                      "rs232-period=1000\nrs485-output=disabled\nrs485-period=0\n"
                      "display-refresh-period=500\n")
        << QByteArray()
        << opening
            + ":cal?\n:rs232:period?\n:rs485:period?\n:relay1:default?\n:relay1:temp?\n"
              ":relay1:hyst?\n:relay2:default?\n:relay2:temp?\n:relay2:hyst?\n:display:period?\n";
    QTest::newRow("set and save")
        << QStringList{"set",
                       "PORT",
                       "relay1-temperature=77.35",
                       "rs232-period=250",
                       "sensor=dt-670",
                       "rs485-output=disabled",
                       "--save"}
        << false << 0
        << QByteArray("Relay 1 temperature set to 77.350 K\nRS232 output period set to 250 ms\n"
                      "Sensor set to DT-670\nRS485 automatic output disabled\n"
                      "Settings saved in the instrument\n")
        << QByteArray()
        << opening
            + ":relay1:temp 77.350\n:rs232:period 250\n:cal dt-670\n:rs485:period 0\n:save\n";
    QTest::newRow("out of range: nothing sent")
        << QStringList{"set", "PORT", "relay2-hysteresis=5", "relay1-temperature=2000"} << false
        << 5 << QByteArray()
        << QByteArray("rimeglass-cli: relay1-temperature: 2000 is out of range (0.1 to 1000 K); "
                      "nothing was sent.\n")
        << QByteArray();
    QTest::newRow("port not found")
        << QStringList{"identify", "/nonexistent/port"} << false << 3 << QByteArray()
        << QByteArray("rimeglass-cli: Cannot open /nonexistent/port") << QByteArray();
    QTest::newRow("no answer") << QStringList{"identify", "PORT", "--timeout", "0.3"} << true << 4
                               << QByteArray()
                               << QByteArray("rimeglass-cli: No instrument answered on ")
                               << QByteArray("\x03\n*idn?\n", 8);
    QTest::newRow("unknown command")
        << QStringList{"reboot", "PORT"} << false << 2 << QByteArray()
        << QByteArray("rimeglass-cli: unknown command \"reboot\"\n") << QByteArray();
    QTest::newRow("missing argument")
        << QStringList{"set", "PORT"} << false << 2 << QByteArray()
        << QByteArray("rimeglass-cli: set takes PORT NAME=VALUE...") << QByteArray();
    QTest::newRow("no duration") << QStringList{"log", "PORT", "--duration", "0"} << false << 2
                                 << QByteArray()
                                 << QByteArray(
                                        "rimeglass-cli: --duration takes seconds, more than 0")
                                 << QByteArray();
    QTest::newRow("empty table refused")
        << QStringList{"upload-table", "PORT", "EMPTY"} << false << 5
        << QByteArray("0 points read from EMPTY\n")
        << QByteArray("rimeglass-cli: The table has no points. Uploading it erases the "
                      "instrument's custom curve; give --allow-empty")
        << QByteArray();
    QTest::newRow("invalid container")
        << QStringList{"upgrade", "PORT", "EMPTY", "--yes"} << false << 5 << QByteArray()
        << QByteArray("rimeglass-cli: Invalid or unsupported firmware file\n") << opening;
}

void TestCli::commands()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, silent);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(QByteArray, wire);

    InstrumentConfig config;
    config.faults.silent = silent;
    Bench bench(config);
    const QString empty = files.filePath(QStringLiteral("empty.txt"));
    writeFile(empty, QByteArray());
    arguments.replaceInStrings(QRegularExpression(QStringLiteral("^PORT$")), bench.port());
    arguments.replaceInStrings(QRegularExpression(QStringLiteral("^EMPTY$")), empty);
    out.replace("EMPTY", empty.toUtf8());

    const Run run = runCli(arguments);
    QVERIFY2(run.err.startsWith(err), run.err.constData());
    QCOMPARE(run.out, out);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(bench.received, wire);
}

// Another program asked for the revision and closed the port before the answer came:
// that answer names no instrument.
void TestCli::identifyAfterAnAnswerLeftInThePort()
{
    Bench bench;
    QSerialPort other(bench.port());
    QVERIFY(other.open(QIODevice::ReadWrite));
    other.write("@00\n");
    QVERIFY(other.waitForBytesWritten(1000));
    other.close();
    QTRY_VERIFY(bench.sent.startsWith("*COMPAT = "));
    const Run run = runCli({"identify", bench.port(), "--json"});
    QCOMPARE(run.exitCode, 0);
    const QJsonObject identity = QJsonDocument::fromJson(run.out).object();
    QCOMPARE(identity.value("serialNumber").toString(), QStringLiteral("SIM-000001"));
    QCOMPARE(identity.value("version").toString(), QStringLiteral("1.5.2.0"));
    QCOMPARE(bench.received, "@00\n" + opening);
}

// The table from the published DT-670 file, as the window would upload it.
void TestCli::uploadTable()
{
    Bench bench;
    const QString path = QStringLiteral(RIMEGLASS_TEST_DATA_DIR "/dt670-D6068043.dat");
    const Run run = runCli({"upload-table", bench.port(), path, "--name", "D6068043"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.startsWith("71 points read from "), run.out.constData());
    QVERIFY(run.out.endsWith("Calibration table \"D6068043\" uploaded, 71 points\n"));
    QVERIFY(run.err.startsWith("progress 0 %\n"));

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const CalibrationTable table = CalibrationTable::fromFileData(file.readAll());
    QCOMPARE(table.temperatures.size(), 71);
    QCOMPARE(bench.instrument()->calibrationTable(),
             CalibrationTable::encodePayload(QStringLiteral("D6068043"), table.temperatures,
                                             table.voltages));
    QVERIFY(bench.received.startsWith(opening + ":cal:erase\n:cal:write 0000 "));
}

// The same question as the window's, answered by --yes; a silent step fails the transfer
// with the window's words and its own exit status.
void TestCli::upgrade()
{
    if (publicKeyOfSeed(seed) != compiledPublicKey())
        QSKIP("this build trusts another key than the development one");
    QByteArray image = "SIMFW 1.6.0.0";
    image += '\0' + QByteArray(400, 'x');
    ContainerPacker packer;
    packer.setVersion(QStringLiteral("1.6.0.0"));
    packer.addImage(rimeglass::uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1), image);
    const QString container = files.filePath(QStringLiteral("firmware.crp"));
    writeFile(container, packer.pack(seed));

    {
        Bench bench;
        const Run unanswered = runCli({"upgrade", bench.port(), container});
        QCOMPARE(unanswered.exitCode, 5);
        QCOMPARE(unanswered.err,
                 QByteArray("rimeglass-cli: Upgrade firmware from version 1.5.2.0 to version "
                            "1.6.0.0? Not confirmed (give --yes in scripts); nothing was sent.\n"));
        const Run run = runCli({"upgrade", bench.port(), container, "--yes"});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, QByteArray("Firmware upgraded to 1.6.0.0\n"));
        QCOMPARE(bench.instrument()->firmwareVersion(), QStringLiteral("1.6.0.0"));
    }

    InstrumentConfig config;
    config.faults.dropAcknowledgement = 2;
    Bench silent(config);
    const Run failed = runCli({"upgrade", silent.port(), container, "--yes", "--timeout", "0.5"});
    QCOMPARE(failed.exitCode, 6);
    QVERIFY2(failed.err.endsWith("rimeglass-cli: Firmware upgrade: The instrument stopped "
                                 "answering during the upgrade. 0 of 416 bytes were written. The "
                                 "instrument is still in its boot loader: run the upgrade again to "
                                 "finish.\n"),
             failed.err.constData());
}

void TestCli::logCsv()
{
    Bench bench;
    bench.simulator->setAutomaticOutputEnabled(true);
    const QString output = files.filePath(QStringLiteral("log.csv"));
    const Run run = runCli({"log", bench.port(), "--output", output}, 30000, 2500);
    QCOMPARE(run.exitCode, 0);

    QFile file(output);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QVERIFY(lines.at(0).startsWith("# rimeglass "));
    QCOMPARE(lines.at(1),
             QByteArray("# instrument: MORVA ZURKD550, serial number SIM-000001, "
                        "firmware 1.5.2.0"));
    QCOMPARE(lines.at(2), QByteArray("# sensor: ZUR"));
    QCOMPARE(lines.at(3), QByteArray("time_utc,seconds,kelvin"));
    const QRegularExpression row(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z,\\d+\\.\\d{3},(.*)$"));
    QList<QByteArray> logged;
    for (const QByteArray &line : lines.mid(4, lines.size() - 5)) {
        const QRegularExpressionMatch match = row.match(QString::fromLatin1(line));
        QVERIFY2(match.hasMatch(), line.constData());
        logged.append(match.captured(1).toLatin1());
    }
    QVERIFY(logged.size() >= 2);
    // Every reading that arrived while the log ran, in order.
    QVERIFY(containsRun(bench.temperaturesSent(), logged));
}

void TestCli::logLineProtocol()
{
    Bench bench;
    bench.simulator->setAutomaticOutputEnabled(true);
    const Run run = runCli(
        {"log", bench.port(), "--format", "influx", "--tag", "site=lab 2", "--duration", "2.5"});
    QCOMPARE(run.exitCode, 0);
    const QRegularExpression point(QStringLiteral("^temperature,serial=SIM-000001,model=ZURKD550,"
                                                  "site=lab\\\\ 2 kelvin=\\d+\\.\\d{3} \\d{19}$"));
    const QList<QByteArray> lines = run.out.trimmed().split('\n');
    QVERIFY(lines.size() >= 2);
    for (const QByteArray &line : lines)
        QVERIFY2(point.match(QString::fromLatin1(line)).hasMatch(), line.constData());
}

// Points posted to a real server can be queried back with their tags and times; a server
// that goes away for a while and comes back loses none of them.
void TestCli::logIntoInfluxDb()
{
    InfluxServer server;
    if (!server.available())
        QSKIP("influxd is not installed (scripts/install-deps installs it)");
    QVERIFY2(server.start(), qPrintable(server.log()));
    QVERIFY(server.query("CREATE DATABASE cryostat").contains("statement_id"));

    // Readings reach the port several at a time, as from a USB adapter: each still needs a
    // time of its own, or the server keeps only one of them.
    InstrumentConfig config;
    config.speed = 20; // a reading every 50 ms
    config.packetMs = 200;
    Bench bench(config);
    bench.simulator->setAutomaticOutputEnabled(true);
    QProcess process;
    process.start(QStringLiteral(RIMEGLASS_CLI),
                  {"log", bench.port(), "--influx-url", server.url(), "--database", "cryostat",
                   "--tag", "site=lab", "--duration", "7"});
    QTimer tick;
    tick.start(50);
    const auto runFor = [&](int ms) {
        const QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired() && process.state() != QProcess::NotRunning)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    };
    runFor(2000);
    server.stop();
    runFor(2500);
    QVERIFY2(server.start(), qPrintable(server.log()));
    runFor(20000);
    QCOMPARE(process.exitCode(), 0);
    const QByteArray err = process.readAllStandardError();
    QVERIFY2(err.contains("cannot be reached"), err.constData());
    QVERIFY2(err.contains("none was lost"), err.constData());
    QVERIFY2(!err.contains("readings were dropped"), err.constData());

    const QJsonArray values
        = server.values("SELECT kelvin, serial, model, site FROM temperature", "cryostat");
    QVERIFY(values.size() >= 4);
    QList<double> logged;
    qint64 previous = 0;
    for (const QJsonValue &value : values) {
        const QJsonArray point = value.toArray();
        const qint64 nanoseconds = qint64(point.at(0).toDouble());
        QVERIFY(nanoseconds > previous);
        previous = nanoseconds;
        logged.append(point.at(1).toDouble());
        QCOMPARE(point.at(2).toString(), QStringLiteral("SIM-000001"));
        QCOMPARE(point.at(3).toString(), QStringLiteral("ZURKD550"));
        QCOMPARE(point.at(4).toString(), QStringLiteral("lab"));
    }
    // No reading in the middle is missing, also from the time the server was away.
    QList<double> sent;
    for (const QByteArray &text : bench.temperaturesSent())
        sent.append(text.toDouble());
    QVERIFY(containsRun(sent, logged));
}

RIMEGLASS_TEST_MAIN(QCoreApplication, TestCli)
#include "test_cli.moc"
