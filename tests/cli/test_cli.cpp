// rimeglass-cli as a script runs it, against the simulated instrument on a pseudo-terminal:
// what each subcommand writes on the wire, prints and exits with; and `log` into CSV, line
// protocol and a real InfluxDB server on a loopback port.

#include "calibrationtable.h"
#include "containerpacker.h"
#include "influxserver.h"
#include "instrumentsettings.h"
#include "recordedsimulator.h"
#include "signingkeys.h"
#include "testmain.h"
#include "uuids.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>
#include <sodium.h>
#include <sys/stat.h>

namespace {

const QByteArray opening("\x03\n*idn?\n@00\n", 12);
const QByteArray allQueries(":cal?\n:rs232:period?\n:rs485:period?\n:relay1:default?\n"
                            ":relay1:temp?\n:relay1:hyst?\n:relay2:default?\n:relay2:temp?\n"
                            ":relay2:hyst?\n:display:period?\n");

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

// How a row runs the program: its working folder, standard output into a file, and what
// happens at the first progress line (a signal, the port going away).
struct Launch
{
    QString folder;
    QString outputFile;
    std::function<void(QProcess &)> atProgress;
};

// Runs the program to its end while this process's event loop serves the instrument; with
// `terminateAfterMs`, the end is a SIGTERM then, as a script or Ctrl-C ends a log.
Run runCli(const QStringList &arguments, int terminateAfterMs = -1, const Launch &launch = {})
{
    QProcess process;
    process.setWorkingDirectory(launch.folder);
    if (!launch.outputFile.isEmpty())
        process.setStandardOutputFile(launch.outputFile);
    process.start(QStringLiteral(RIMEGLASS_CLI), arguments);
    if (terminateAfterMs >= 0)
        QTimer::singleShot(terminateAfterMs, &process, &QProcess::terminate);
    QTimer tick; // wakes the wait to look at the deadline
    tick.start(50);
    const QDeadlineTimer deadline(60000);
    Run run;
    bool progressSeen = false;
    while (process.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        run.err += process.readAllStandardError();
        if (launch.atProgress && !progressSeen && run.err.contains("progress ")) {
            progressSeen = true;
            launch.atProgress(process);
        }
    }
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
    // The instrument takes what the program wrote last (a commit, "boot").
    const QDeadlineTimer settled(150);
    while (!settled.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err += process.readAllStandardError();
    return run;
}

// A signed container of one revision-1 image.
QByteArray container(const QByteArray &seed, const QString &version,
                     const QString &model = QStringLiteral("ZURKD550"))
{
    QByteArray image = "SIMFW " + version.toUtf8();
    image += '\0' + QByteArray(400, 'x');
    ContainerPacker packer;
    packer.setVersion(version);
    packer.setVendor(QStringLiteral("MORVA"));
    packer.setModel(model);
    packer.addImage(rimeglass::uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1), image);
    return packer.pack(seed);
}

// Whether `text` is `expected`, or begins with it when that ends in "...".
bool matches(const QByteArray &text, const QByteArray &expected)
{
    return expected.endsWith("...") ? text.startsWith(expected.chopped(3)) : text == expected;
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
    void settingsBackup();
    void voltageCalibration();
    void logFollowsTheInstrument();

private:
    QTemporaryDir files;
    QByteArray seed;
    QTcpServer stalled; // takes connections and never answers
    QString deadUrl; // where nothing listens
};

void TestCli::initTestCase()
{
    QVERIFY(sodium_init() >= 0);
    seed = readSeedFile(QStringLiteral(RIMEGLASS_KEYS_DIR "/development-seed.hex"));
    QCOMPARE(seed.size(), 32);
    writeFile(files.filePath("empty.txt"), QByteArray());
    writeFile(files.filePath("existing.csv"), "# an earlier cool-down\n");
    writeFile(files.filePath("firmware.crp"), container(seed, "1.6.0.0"));
    writeFile(files.filePath("other.crp"), container(seed, "1.6.0.0", "ZURKD560"));
    writeFile(files.filePath("escaped.crp"), container(seed, "1.6\x1b[2J"));
    QVERIFY(QDir(files.path()).mkdir("folder"));
    QCOMPARE(::mkfifo(qPrintable(files.filePath("fifo")), 0600), 0);
    QVERIFY(stalled.listen(QHostAddress::LocalHost));
    QTcpServer dead;
    QVERIFY(dead.listen(QHostAddress::LocalHost));
    deadUrl = QStringLiteral("http://127.0.0.1:%1").arg(dead.serverPort());
}

// Each row: how the instrument and the run are set up ("silent", "bootloader", "period0"
// (its serial output off), "dropack1" (the first acknowledgement left out), "fast" (a
// reading every 100 ms), "full" (standard output on a full disk), "container" (needs the
// development key), "SIGINT"/"SIGTERM"/"SIGHUP"/"vanish" (at the first progress line: a
// signal, or the port goes away)); the arguments, with the row's files and servers by
// name; and what comes of them: the exit status, the output (exact, or its start when it
// ends in "..."), a part of the error output and the bytes on the wire.
void TestCli::commands_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<QByteArray>("wire");
    const auto row = [](const char *name, const char *setup, const char *arguments, int exitCode,
                        const QByteArray &out, const QByteArray &err, const QByteArray &wire) {
        QTest::newRow(name) << setup << QString(arguments).split(' ') << exitCode << out << err
                            << wire;
    };
    const QByteArray readBack = opening + allQueries;
    const QByteArray refused = "; nothing was sent.\n";
    const QByteArray fullOutput = "Cannot write to standard output: No space left on device\n";

    row("identify", "", "identify PORT", 0,
        "vendor=MORVA\nmodel=ZURKD550\nserial-number=SIM-000001\nversion=1.5.2.0\n"
        "mode=application\nrevision=1\nrevision-id=3cc3a93f-4261-45ff-95bf-653df2686cb0\n",
        "", opening);
    row("a relative port path", "", "identify ttySIM", 0, "vendor=MORVA\n...", "", opening);
    row("help names the command", "", "identify --help", 0,
        "Usage: rimeglass-cli identify [options] ...", "", "");
    row("settings", "", "settings PORT", 0,
        "sensor=ZUR\nrelay1-temperature=80.000\nrelay1-hysteresis=1.000\n"
        "relay1-default-state=Off\nrelay2-temperature=300.000\nrelay2-hysteresis=2.500\n"
        "relay2-default-state=On\nrs232-output=enabled\nrs232-period=1000\n"
        "rs485-output=disabled\nrs485-period=0\ndisplay-refresh-period=500\n",
        "", readBack);
    row("settings as typed JSON", "", "settings PORT --json", 0,
        "{\n    \"display-refresh-period\": 500,\n    \"relay1-default-state\": \"Off\",\n    "
        "\"relay1-hysteresis\": 1,\n    \"relay1-temperature\": 80,\n    "
        "\"relay2-default-state\": \"On\",\n    \"relay2-hysteresis\": 2.5,\n    "
        "\"relay2-temperature\": 300,\n    \"rs232-output\": true,\n    \"rs232-period\": 1000,\n"
        "    \"rs485-output\": false,\n    \"rs485-period\": 0,\n    \"sensor\": \"ZUR\"\n}\n",
        "", readBack);
    row("set and save", "",
        "set PORT relay1-temperature=77.35 rs232-period=250 sensor=dt-670 rs485-output=disabled "
        "--save",
        0,
        "Relay 1 temperature set to 77.350 K\nRS232 output period set to 250 ms\n"
        "Sensor set to DT-670\nRS485 automatic output disabled\nSettings saved in the instrument\n",
        "",
        opening + ":relay1:temp 77.350\n:rs232:period 250\n:cal dt-670\n:rs485:period 0\n:save\n");
    row("each change once, quietly", "", "set PORT rs485-output=disabled rs485-period=0 --quiet", 0,
        "", "", opening + ":rs485:period 0\n");
    row("out of range: nothing sent", "", "set PORT relay2-hysteresis=5 relay1-temperature=2000", 5,
        "", "relay1-temperature: 2000 is out of range (0.1 to 1000 K)" + refused, "");
    row("port not found", "", "identify /nonexistent/port", 3, "",
        "rimeglass-cli: Cannot open /nonexistent/port", "");
    row("no answer", "silent", "identify PORT --timeout 0.3", 4, "",
        "rimeglass-cli: No instrument answered on ", QByteArray("\x03\n*idn?\n", 8));
    row("unknown command", "", "reboot PORT", 2, "",
        "rimeglass-cli: unknown command \"reboot\"\nTry \"rimeglass-cli --help\".\n", "");
    row("missing argument", "", "set PORT", 2, "", "NAME=VALUE... or --from FILE", "");
    row("no duration", "", "log PORT --duration 0", 2, "", "--duration takes seconds, more than 0",
        "");
    row("a time-out that is no number", "", "identify PORT --timeout nan", 2, "",
        "--timeout takes seconds, more than 0 and at most 3600", "");
    row("settings into a full disk", "full", "settings PORT --json", 1, "", fullOutput, readBack);
    row("ports into a full disk", "full", "ports --json", 1, "", fullOutput, "");
    row("a log into a full disk", "full fast", "log PORT --duration 2", 1, "", fullOutput,
        readBack);
    row("save in the boot loader", "bootloader", "save PORT", 5, "",
        "The instrument runs its boot loader, which has no settings: finish the firmware "
        "upgrade first.\n",
        opening);
    row("a table upload in the boot loader", "bootloader", "upload-table PORT DATA", 5,
        "71 points read from DATA\n...",
        "The instrument runs its boot loader, which takes no calibration table: finish the "
        "firmware upgrade first. Nothing was sent.\n",
        opening);
    row("empty table refused", "", "upload-table PORT EMPTY", 5, "0 points read from EMPTY\n",
        "rimeglass-cli: The table has no points. Uploading it erases the instrument's custom "
        "curve; give --allow-empty",
        "");
    row("a missing table, whatever --allow-empty says", "",
        "upload-table PORT MISSING --allow-empty", 5, "",
        "rimeglass-cli: MISSING does not exist. Nothing was sent.\n", "");
    row("a folder as table", "", "upload-table PORT FOLDER", 5, "",
        "rimeglass-cli: FOLDER is a folder, not a file. Nothing was sent.\n", "");
    row("a FIFO as container", "", "upgrade PORT FIFO --yes", 5, "",
        "rimeglass-cli: FIFO is not a regular file (it is a pipe, a device or a socket); only "
        "regular files are read. Nothing was sent.\n",
        "");
    row("a name too long", "", "upload-table PORT DATA --name TOOLONGNAME", 5, "",
        "--name \"TOOLONGNAME\" is 11 characters long; the instrument takes at most 8. Nothing "
        "was sent.\n",
        "");
    const QByteArray cancelled = "Calibration upload: The upload was cancelled. 0 of 592 bytes "
                                 "were written. The custom table was erased; upload it again.\n";
    for (const char *signal : {"SIGINT", "SIGTERM", "SIGHUP"})
        row(signal, QByteArray("dropack1 ") + signal, "upload-table PORT DATA --timeout 30", 6,
            "71 points read from DATA\n...", cancelled, opening + ":cal:erase\n");
    row("SIGHUP during an upgrade", "container dropack1 SIGHUP",
        "upgrade PORT FIRMWARE --yes --timeout 30", 6, "",
        "Firmware upgrade: The upgrade was cancelled.", opening + "...");
    row("the port goes away during an upload", "dropack1 vanish",
        "upload-table PORT DATA --timeout 30", 6, "71 points read from DATA\n...",
        "Calibration upload: The port went away during the upload. 0 of 592 bytes were "
        "written. The custom table was erased; upload it again.\n",
        opening + "...");
    row("invalid container", "", "upgrade PORT EMPTY --yes", 5, "",
        "rimeglass-cli: Invalid or unsupported firmware file\n", opening);
    row("another model's container", "container", "upgrade PORT OTHER --yes", 5, "",
        "rimeglass-cli: The firmware file is for the MORVA ZURKD560, not for this MORVA "
        "ZURKD550. Nothing was sent.\n",
        opening);
    row("control characters in the version", "container", "upgrade PORT ESCAPED", 5, "",
        "rimeglass-cli: Downgrade firmware from version 1.5.2.0 to version 1.6\\x1b[2J? This "
        "build accepts containers signed with the published development seed. Not confirmed",
        opening);
    row("measured twice at the same voltage", "", "calibrate-voltage PORT 1=1.000001 2=1.0000015",
        5, "",
        "The two measured voltages must be at least 10 mV apart: change the voltage at the "
        "input between the two measurements"
            + refused,
        "");
    row("a slope the command cannot carry", "", "calibrate-voltage PORT 0=0 10=0.05", 5, "",
        "The fitted slope 200 is more than the instrument takes (below 128)" + refused, "");
    row("the serial output off", "period0", "log PORT --timeout 0.5", 4, "# rimeglass ...",
        "The instrument's serial output is off: enable it with rimeglass-cli set PORT "
        "rs232-period=1000\nrimeglass-cli: No reading arrived within 0.5 s.\n",
        readBack);
    row("a log into a full disk's file", "", "log PORT --output /dev/full --overwrite", 1, "",
        "rimeglass-cli: Cannot write /dev/full: No space left on device\n", readBack);
    row("an earlier log kept", "", "log PORT --output EXISTING", 5, "",
        "rimeglass-cli: EXISTING exists: give --append to add to it or --overwrite to replace "
        "it. Nothing was logged.\n",
        "");
    row("a server unreachable to the end", "fast",
        "log PORT --influx-url DEAD --database d --duration 1.5 --timeout 0.3", 1, "",
        "InfluxDB did not take the last ", readBack);
    row("a server that never answers", "fast",
        "log PORT --influx-url STALLED --database d --duration 2 --timeout 0.3", 1, "",
        "cannot be reached (no answer within 0.3 s)", readBack);
    row("a tag of the log's own", "", "log PORT --format influx --tag serial=X", 2, "",
        "--tag serial: the log sets the tags serial, model, sensor itself\n", "");
    row("a tag twice", "", "log PORT --format influx --tag site=a --tag site=b", 2, "",
        "--tag site is given twice\n", "");
    row("a token for InfluxDB 1.x", "",
        "log PORT --influx-url DEAD --database d --token-file EMPTY", 2, "",
        "InfluxDB 1.x (--database) takes --username with --password-file or INFLUX_PASSWORD", "");
}

void TestCli::commands()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(QByteArray, wire);
    const QStringList words = setup.split(' ', Qt::SkipEmptyParts);
    if (words.contains("container") && publicKeyOfSeed(seed) != compiledPublicKey())
        QSKIP("this build trusts another key than the development one");

    InstrumentConfig config;
    config.faults.silent = words.contains("silent");
    config.faults.dropAcknowledgement = words.contains("dropack1") ? 1 : 0;
    config.startInManagementMode = words.contains("bootloader");
    config.speed = words.contains("fast") ? 10 : 1;
    if (words.contains("period0"))
        config.factorySettings.assign("rs232:period", "0");
    Bench bench(config);
    bench.simulator->setAutomaticOutputEnabled(words.contains("fast"));
    QString error;
    QVERIFY2(bench.simulator->createLink(files.filePath("ttySIM"), &error), qPrintable(error));

    const QMap<QString, QString> places{
        {"PORT", bench.port()},
        {"DATA", RIMEGLASS_TEST_DATA_DIR "/dt670-D6068043.dat"},
        {"EMPTY", files.filePath("empty.txt")},
        {"EXISTING", files.filePath("existing.csv")},
        {"MISSING", files.filePath("missing.txt")},
        {"FOLDER", files.filePath("folder")},
        {"FIFO", files.filePath("fifo")},
        {"FIRMWARE", files.filePath("firmware.crp")},
        {"OTHER", files.filePath("other.crp")},
        {"ESCAPED", files.filePath("escaped.crp")},
        {"DEAD", deadUrl},
        {"STALLED", QStringLiteral("http://127.0.0.1:%1").arg(stalled.serverPort())}};
    for (QString &argument : arguments)
        argument = places.value(argument, argument);
    for (auto it = places.cbegin(); it != places.cend(); ++it) {
        out.replace(it.key().toUtf8(), it.value().toUtf8());
        err.replace(it.key().toUtf8(), it.value().toUtf8());
    }

    Launch launch;
    launch.folder = files.path();
    launch.outputFile = words.contains("full") ? "/dev/full" : QString();
    launch.atProgress = [&](QProcess &process) {
        const QMap<QString, int> signals_{
            {"SIGINT", SIGINT}, {"SIGTERM", SIGTERM}, {"SIGHUP", SIGHUP}};
        for (auto it = signals_.cbegin(); it != signals_.cend(); ++it) {
            if (words.contains(it.key()))
                ::kill(pid_t(process.processId()), it.value());
        }
        if (words.contains("vanish"))
            bench.simulator.reset();
    };
    const Run run = runCli(arguments, -1, launch);
    QVERIFY2(run.err.contains(err), run.err.constData());
    QVERIFY2(matches(run.out, out), run.out.constData());
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(matches(bench.received, wire), bench.received.toHex().constData());
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
    QCOMPARE(identity.value("serial-number"), QJsonValue("SIM-000001"));
    QCOMPARE(identity.value("version"), QJsonValue("1.5.2.0"));
    QCOMPARE(identity.value("revision"), QJsonValue(1));
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
    const QString container = files.filePath(QStringLiteral("firmware.crp"));
    {
        Bench bench;
        const Run unanswered = runCli({"upgrade", bench.port(), container});
        QCOMPARE(unanswered.exitCode, 5);
        QCOMPARE(unanswered.err,
                 QByteArray("rimeglass-cli: Upgrade firmware from version 1.5.2.0 to version "
                            "1.6.0.0? This build accepts containers signed with the published "
                            "development seed. Not confirmed (give --yes in scripts); nothing was "
                            "sent.\n"));
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
    const Run run = runCli({"log", bench.port(), "--output", output}, 2500);
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
    const Run run = runCli({"log", bench.port(), "--format", "influx", "--tag", "site=lab 2",
                            "--measurement", "cryo stat", "--duration", "2.5"});
    QCOMPARE(run.exitCode, 0);
    const QRegularExpression point(
        QStringLiteral("^cryo\\\\ stat,model=ZURKD550,sensor=ZUR,serial=SIM-000001,site=lab\\\\ 2 "
                       "kelvin=\\d+\\.\\d{3} \\d{19}$"));
    const QList<QByteArray> lines = run.out.trimmed().split('\n');
    QVERIFY(lines.size() >= 2);
    for (const QByteArray &line : lines)
        QVERIFY2(point.match(QString::fromLatin1(line)).hasMatch(), line.constData());
}

// Points posted to a real server with authentication on, as labs run it, can be queried
// back with their tags and times; a server that goes away for a while and comes back
// loses none of them. A wrong password, or a database that is not there, ends the log
// with the server's words, and the readings it could not write are counted as lost.
void TestCli::logIntoInfluxDb()
{
    InfluxServer server(InfluxServer::Authentication::On);
    if (!server.available())
        QSKIP("influxd is not installed (scripts/install-deps installs it)");
    QVERIFY2(server.start(), qPrintable(server.log()));
    QVERIFY(server.query("CREATE USER admin WITH PASSWORD 'secret' WITH ALL PRIVILEGES")
                .contains("statement_id"));
    server.setCredentials("admin", "secret");
    QVERIFY(server.query("CREATE DATABASE cryostat").contains("statement_id"));
    writeFile(files.filePath("password"), "secret\n");

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
                   "--retention-policy", "autogen", "--username", "admin", "--password-file",
                   files.filePath("password"), "--tag", "site=lab", "--duration", "7"});
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
    // The summary counts what the server took.
    QVERIFY2(
        err.endsWith(QStringLiteral("Readings written: %1, lost: 0\n").arg(values.size()).toUtf8()),
        err.constData());
    // No reading in the middle is missing, also from the time the server was away.
    QList<double> sent;
    for (const QByteArray &text : bench.temperaturesSent())
        sent.append(text.toDouble());
    QVERIFY(containsRun(sent, logged));

    qputenv("INFLUX_PASSWORD", "wrong");
    const Run wrongPassword = runCli({"log", bench.port(), "--influx-url", server.url(),
                                      "--database", "cryostat", "--username", "admin"});
    qunsetenv("INFLUX_PASSWORD");
    QCOMPARE(wrongPassword.exitCode, 1);
    QVERIFY2(wrongPassword.err.contains("refused the readings: HTTP 401"),
             wrongPassword.err.constData());
    // Every reading it had is counted as lost.
    QVERIFY2(QRegularExpression("Readings written: 0, lost: [1-9][0-9]*\\n$")
                 .match(QString::fromUtf8(wrongPassword.err))
                 .hasMatch(),
             wrongPassword.err.constData());
    // The credentials of the URL itself are kept: the server says why it refuses.
    const Run noDatabase = runCli({"log", bench.port(), "--influx-url",
                                   server.url() + "/?u=admin&p=secret", "--database", "nosuchdb"});
    QCOMPARE(noDatabase.exitCode, 1);
    QVERIFY2(noDatabase.err.contains("HTTP 404 {\"error\":\"database not found: \\\"nosuchdb"),
             noDatabase.err.constData());
}

// A backup of the settings, taken with `settings --format assignments` and given back
// with `set --from`, restores every setting as it was, each with one command.
void TestCli::settingsBackup()
{
    Bench bench;
    QCOMPARE(runCli({"set", bench.port(), "relay1-temperature=77.35", "relay2-default-state=off",
                     "rs232-period=250", "rs485-period=500", "sensor=dt-670",
                     "display-refresh-period=1000"})
                 .exitCode,
             0);
    const Run backup = runCli({"settings", bench.port(), "--format", "assignments"});
    QCOMPARE(backup.exitCode, 0);
    writeFile(files.filePath("k3.conf"), backup.out);
    const QList<QByteArray> keys = InstrumentSettings::keys();
    QByteArrayList kept;
    for (const QByteArray &key : keys)
        kept << bench.instrument()->settings().value(key);

    QCOMPARE(
        runCli({"set", bench.port(), "sensor=zur", "rs232-output=disabled", "relay1-temperature=1"})
            .exitCode,
        0);
    bench.received.clear();
    QCOMPARE(runCli({"set", bench.port(), "--from", files.filePath("k3.conf")}).exitCode, 0);
    QByteArrayList restored;
    for (const QByteArray &key : keys)
        restored << bench.instrument()->settings().value(key);
    QCOMPARE(restored, kept);
    QCOMPARE(bench.received,
             opening
                 + ":cal dt-670\n:relay1:temp 77.350\n:relay1:hyst 1.000\n:relay1:default 0\n"
                   ":relay2:temp 300.000\n:relay2:hyst 2.500\n:relay2:default 0\n"
                   ":rs232:period 250\n:rs485:period 500\n:display:period 1000\n");
}

// The Calibration tab's journey from a script: two points measured at two voltages,
// calibrated, checked at a third, and cleared again.
void TestCli::voltageCalibration()
{
    Bench bench;
    const auto measure = [&bench](double volts) {
        bench.instrument()->setInputVoltage(volts);
        const Run run = runCli({"voltage", bench.port(), "--json"});
        return QJsonDocument::fromJson(run.out).object();
    };
    const double first = measure(1.0).value("uncalibrated-volts").toDouble();
    const double second = measure(0.2).value("uncalibrated-volts").toDouble();
    QCOMPARE(first, 1.01015);
    const Run calibrate = runCli({"calibrate-voltage", bench.port(), "1=" + QString::number(first),
                                  "0.2=" + QString::number(second)});
    QCOMPARE(calibrate.exitCode, 0);
    QCOMPARE(calibrate.out,
             QByteArray("Voltage input calibrated: slope 0.987654321, offset 0.002350 V\n"));
    const QJsonObject calibrated = measure(0.5);
    QCOMPARE(calibrated.value("calibrated"), QJsonValue(true));
    QVERIFY(qAbs(calibrated.value("calibrated-volts").toDouble() - 0.5) < 2e-6);

    const Run reset = runCli({"reset-voltage-calibration", bench.port(), "--yes"});
    QCOMPARE(reset.out, QByteArray("Voltage calibration cleared\n"));
    QVERIFY(bench.received.endsWith(opening + ":volt:cal 00000000 00000000\n"));
    QCOMPARE(measure(0.5).value("calibrated"), QJsonValue(false));
}

// The port is lost and the same instrument comes back: its readings go on in the same file
// with nothing in between. Lost again, and another instrument appears on the same path: its
// readings go into a file of their own, under its own header, and the log goes on.
void TestCli::logFollowsTheInstrument()
{
    InstrumentConfig config;
    config.serialNumber = "SN0001";
    config.speed = 10;
    const QString link = files.filePath("ttyLOG");
    const auto power = [&](Bench &bench) {
        bench.simulator->setAutomaticOutputEnabled(true);
        QString error;
        QVERIFY2(bench.simulator->createLink(link, &error), qPrintable(error));
    };
    Bench bench(config);
    power(bench);
    const QString output = files.filePath("follow.csv");
    QProcess process;
    process.start(QStringLiteral(RIMEGLASS_CLI), {"log", link, "--output", output});
    const auto lines = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QByteArrayList();
    };
    QTRY_VERIFY_WITH_TIMEOUT(lines(output).size() > 6, 10000);
    const int beforeLoss = lines(output).size();
    bench.replaceInstrument(Bench::withDefaults(config));
    bench.start();
    power(bench);
    QTRY_VERIFY_WITH_TIMEOUT(lines(output).size() > beforeLoss + 5, 10000);
    config.serialNumber = "SN0002";
    bench.replaceInstrument(Bench::withDefaults(config));
    bench.start();
    power(bench);
    const QString second = files.filePath("follow_SN0002.csv");
    QTRY_VERIFY2_WITH_TIMEOUT(lines(second).size() > 6, process.readAllStandardError().constData(),
                              10000);
    process.terminate();
    QTRY_COMPARE(process.state(), QProcess::NotRunning);
    QCOMPARE(process.exitCode(), 0);
    const QByteArray instrument = "# instrument: MORVA ZURKD550, serial number SN0001, firmware "
                                  "1.5.2.0";
    QCOMPARE(lines(output).at(1), instrument);
    const QByteArrayList written = lines(output);
    QCOMPARE(std::count_if(written.begin(), written.end(),
                           [](const QByteArray &line) { return line.startsWith('#'); }),
             3);
    QCOMPARE(lines(second).at(1), QByteArray(instrument).replace("SN0001", "SN0002"));
}

RIMEGLASS_TEST_MAIN(QCoreApplication, TestCli)
#include "test_cli.moc"
