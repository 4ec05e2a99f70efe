// rimeglass-demo as a process, offscreen: the window with its simulated instrument opens
// the port, shows temperatures and saves its picture, in a settings store of its own.

#include "testmain.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>

namespace {

const QString program = QStringLiteral(RIMEGLASS_DEMO_EXECUTABLE);
const int runTimeoutMs = 60000;

QString captured(const QString &text, const char *pattern)
{
    return QRegularExpression(QString::fromLatin1(pattern), QRegularExpression::MultilineOption)
        .match(text)
        .captured(1);
}

} // namespace

class TestDemoProgram : public QObject
{
    Q_OBJECT

private slots:
    void screenshotOfTheLiveWindow();
    void refusals_data();
    void refusals();
};

void TestDemoProgram::screenshotOfTheLiveWindow()
{
    QTemporaryDir dir;
    const QString picture = dir.filePath(QStringLiteral("demo.png"));
    QProcess demo;
    demo.start(program, {"--screenshot", picture, "--readings", "2"});
    QVERIFY(demo.waitForFinished(runTimeoutMs));
    const QString messages = QString::fromLocal8Bit(demo.readAllStandardError());
    QVERIFY2(demo.exitStatus() == QProcess::NormalExit && demo.exitCode() == 0,
             qPrintable(messages));

    const QString port = captured(
        messages, "^rimeglass-demo: simulated instrument on (\\S+), selected in the port list");
    QVERIFY2(port.startsWith(QLatin1String("/dev/pts/")), qPrintable(messages));
    QVERIFY(messages.contains(QStringLiteral("rimeglass-demo: window saved to ") + picture));
    const QImage image(picture);
    QVERIFY(!image.isNull());
    QVERIFY(image.width() > 200 && image.height() > 200);

    // The temporary files of the instrument went with the demo.
    const QString instrumentFiles
        = captured(messages,
                   "^rimeglass-demo: its saved state, sensor table and firmware "
                   "image go to (\\S+)$");
    QVERIFY(!instrumentFiles.isEmpty());
    QVERIFY(!QFileInfo::exists(instrumentFiles));

    // The demo remembered the port it opened in its own store, and left the tool's alone.
    const QSettings demoStore(QStringLiteral("MORVA"), QStringLiteral("rimeglass-demo"));
    QCOMPARE(demoStore.value(QStringLiteral("/serial/port-name")).toString(), port);
    const QSettings toolStore(QStringLiteral("MORVA"), QStringLiteral("rimeglass"));
    QVERIFY(!QFileInfo::exists(toolStore.fileName()));
}

void TestDemoProgram::refusals_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("no readings") << QStringList{"--readings", "0"} << 2
                                 << "rimeglass-demo: invalid value \"0\" for --readings\n";
    QTest::newRow("readings not a number") << QStringList{"--readings", "many"} << 2
                                           << "rimeglass-demo: invalid value \"many\" for "
                                              "--readings\n";
    QTest::newRow("unknown option") << QStringList{"--fast"} << 1 << "Unknown option 'fast'.\n";
}

void TestDemoProgram::refusals()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    QProcess demo;
    demo.start(program, arguments);
    QVERIFY(demo.waitForFinished(runTimeoutMs));
    QCOMPARE(demo.exitCode(), exitCode);
    QVERIFY2(QString::fromLocal8Bit(demo.readAllStandardError()).endsWith(message),
             qPrintable(message));
}

RIMEGLASS_TEST_MAIN(QCoreApplication, TestDemoProgram)
#include "test_demo_program.moc"
