// rimeglass-sim as a process: its help, its refusals, and a run that the real Device
// reaches through the --link path, with the voltage input changed on standard input.

#include "device-serial.h"
#include "testmain.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <functional>

namespace {

const QString program = QStringLiteral(RIMEGLASS_SIM_EXECUTABLE);

bool waitUntil(const std::function<bool()> &done, int timeoutMs = 10000)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

} // namespace

class TestSimProgram : public QObject
{
    Q_OBJECT

private slots:
    void help();
    void refusals_data();
    void refusals();
    void runThroughLink();
};

void TestSimProgram::help()
{
    QProcess process;
    process.start(program, {QStringLiteral("--help")});
    QVERIFY(process.waitForFinished());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    const QString text = QString::fromLocal8Bit(process.readAllStandardOutput());
    for (const char *option :
         {"--link <path>", "--serial <text>", "--firmware-version <version>",
          "--bootloader-version <version>", "--revision <r1|r2>", "--state <file>",
          "--dump-cal <file>", "--dump-flash <file>", "--drop-ack <n>", "--garble-rate <r>",
          "--seed <n>", "--silent", "--speed <factor>"})
        QVERIFY2(text.contains(QLatin1String(option)), option);
}

void TestSimProgram::refusals_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("fileContent"); // written to the file named by @FILE@
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("bad option value")
        << QStringList{"--garble-rate", "2"} << QString() << 2
        << "rimeglass-sim: invalid value \"2\" for --garble-rate: expected a chance from 0 to 1\n"
           "Try 'rimeglass-sim --help'.\n";
    QTest::newRow("unknown option") << QStringList{"--fast"} << QString() << 2
                                    << "rimeglass-sim: Unknown option 'fast'.\n"
                                       "Try 'rimeglass-sim --help'.\n";
    QTest::newRow("broken state file")
        << QStringList{"--state", "@FILE@"} << "{\"settings\": {\"cal\": \"pt100\"}}" << 1
        << "rimeglass-sim: state file @FILE@: bad value for \"cal\"\n";
    QTest::newRow("link over a file")
        << QStringList{"--link", "@FILE@"} << "not a link" << 1
        << "rimeglass-sim: @FILE@ exists and is not a symbolic link; not replacing it\n";
}

void TestSimProgram::refusals()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, fileContent);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("file"));
    if (!fileContent.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(fileContent.toUtf8());
    }
    arguments.replaceInStrings(QStringLiteral("@FILE@"), path);

    QProcess process;
    process.start(program, arguments);
    QVERIFY(process.waitForFinished());
    QCOMPARE(process.exitCode(), exitCode);
    QCOMPARE(QString::fromLocal8Bit(process.readAllStandardError()),
             QString(message).replace(QStringLiteral("@FILE@"), path));
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    if (!fileContent.isNull())
        QVERIFY(QFileInfo(path).isFile() && !QFileInfo(path).isSymLink());
}

void TestSimProgram::runThroughLink()
{
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("ttySIM"));
    QProcess process;
    process.start(program,
                  {"--link", link, "--serial", "P-77", "--firmware-version", "1.6.1.0",
                   "--revision", "r2", "--adc-gain", "1", "--adc-offset", "0", "--period", "0"});
    QVERIFY(process.waitForStarted());
    QVERIFY(waitUntil([&] { return process.canReadLine(); }));
    const QString port = QString::fromLocal8Bit(process.readLine()).trimmed();
    QVERIFY(port.startsWith(QLatin1String("/dev/pts/")));
    QCOMPARE(QFileInfo(link).symLinkTarget(), port);

    Device device(nullptr);
    bool identified = false;
    QStringList reports;
    connect(&device, &Device::identified, this, [&] { identified = true; });
    connect(&device, &Device::parameterReceived, this,
            [&](const QString &key, const QString &value) { reports << key + " = " + value; });
    QVERIFY(device.openPort(link));
    QVERIFY(waitUntil([&] { return identified; }));
    QCOMPARE(device.model, QStringLiteral("ZURKD550"));
    QCOMPARE(device.serialNumber, QStringLiteral("P-77"));
    QCOMPARE(device.version, QStringLiteral("1.6.1.0"));
    QCOMPARE(device.compat.toHex(), QByteArray("21de3ef209bf4a7883a09eb750df2e57"));

    QByteArray errors;
    process.write("input 0.25\n");
    QVERIFY(waitUntil([&] {
        errors += process.readAllStandardError();
        return errors.contains("rimeglass-sim: input voltage 0.250000 V\n");
    }));
    device.measureUncalibrated();
    QVERIFY(waitUntil([&] { return !reports.isEmpty(); }));
    QCOMPARE(reports, QStringList{"Vunc = 250000"});

    device.close();
    process.terminate();
    QVERIFY(process.waitForFinished());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

RIMEGLASS_TEST_MAIN(QCoreApplication, TestSimProgram)
#include "test_sim_program.moc"
