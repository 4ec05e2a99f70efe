// The test programs' command lines: what rimeglass-sim refuses, with its exact message and
// exit status, the pictures of the live window taken by rimeglass-demo (1024 x 600), and
// the simulator's console controls.

#include "testmain.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>

class TestSimProgram : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void consoleControls();
};

void TestSimProgram::commandLine_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("fileContent"); // written to the file named by @FILE@
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("messageEnd"); // how standard error ends

    const QString sim = QStringLiteral(RIMEGLASS_SIM_EXECUTABLE);
    const QString demo = QStringLiteral(RIMEGLASS_DEMO_EXECUTABLE);
    QTest::newRow("bad option value")
        << sim << QStringList{"--garble-rate", "2"} << QString() << 2
        << "rimeglass-sim: invalid value \"2\" for --garble-rate: expected a chance from 0 to 1\n"
           "Try 'rimeglass-sim --help'.\n";
    QTest::newRow("unknown option") << sim << QStringList{"--fast"} << QString() << 2
                                    << "rimeglass-sim: Unknown option 'fast'.\n"
                                       "Try 'rimeglass-sim --help'.\n";
    QTest::newRow("broken state file")
        << sim << QStringList{"--state", "@FILE@"} << "{\"settings\": {\"cal\": \"pt100\"}}" << 1
        << "rimeglass-sim: state file @FILE@: bad value for \"cal\"\n";
    QTest::newRow("link over a file")
        << sim << QStringList{"--link", "@FILE@"} << "not a link" << 1
        << "rimeglass-sim: @FILE@ exists and is not a symbolic link; not replacing it\n";
    QTest::newRow("demo picture") << demo
                                  << QStringList{"--screenshot", "@FILE@", "--readings", "2"}
                                  << QString() << 0 << "rimeglass-demo: window saved to @FILE@\n";
    QTest::newRow("demo pictures of every tab")
        << demo << QStringList{"--tab-screenshots", "@DIR@"} << QString() << 0
        << "rimeglass-demo: every tab saved to @DIR@\n";
}

void TestSimProgram::commandLine()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(QString, fileContent);
    QFETCH(int, exitCode);
    QFETCH(QString, messageEnd);

    QTemporaryDir dir;
    const QString path = dir.filePath(exitCode == 0 ? "window.png" : "file");
    if (!fileContent.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(fileContent.toUtf8());
    }
    arguments.replaceInStrings(QStringLiteral("@FILE@"), path);
    arguments.replaceInStrings(QStringLiteral("@DIR@"), dir.path());

    QProcess process;
    process.start(program, arguments);
    QVERIFY(process.waitForFinished(60000));
    const QString errors = QString::fromLocal8Bit(process.readAllStandardError());
    QCOMPARE(process.exitCode(), exitCode);
    messageEnd.replace(QStringLiteral("@FILE@"), path).replace(QStringLiteral("@DIR@"), dir.path());
    QVERIFY2(errors.endsWith(messageEnd), qPrintable(errors));
    if (exitCode != 0)
        QCOMPARE(errors.count(QLatin1Char('\n')), messageEnd.count(QLatin1Char('\n')));
    if (!fileContent.isNull()) // a file in the way is left alone
        QCOMPARE(QFileInfo(path).isSymLink(), false);
    const QStringList pictures = QDir(dir.path()).entryList({QStringLiteral("window*.png")});
    QCOMPARE(pictures.size(), exitCode != 0 ? 0 : arguments.contains("--screenshot") ? 1 : 6);
    for (const QString &picture : pictures)
        QCOMPARE(QImage(dir.filePath(picture)).size(), QSize(1024, 600));
}

// Readings stopped at the instrument's keys, and the count of temperature lines sent
// against the lines that reached the port.
void TestSimProgram::consoleControls()
{
    QProcess sim;
    sim.start(QStringLiteral(RIMEGLASS_SIM_EXECUTABLE), {"--period", "10", "--speed", "7.2"});
    QVERIFY(sim.waitForReadyRead(10000));
    QSerialPort port(QString::fromLocal8Bit(sim.readLine()).trimmed());
    QVERIFY(port.open(QIODevice::ReadWrite));
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += port.readAll()).count('\n') >= 5, 10000);

    QByteArray errors;
    sim.write("set rs232:period 0\ncount\nset rs232:period fast\n");
    QTRY_VERIFY_WITH_TIMEOUT((errors += sim.readAllStandardError()).count('\n') == 3, 10000);
    const QList<QByteArray> replies = errors.split('\n');
    const int sent = replies.at(1).mid(15).split(' ').at(0).toInt();
    QCOMPARE(replies.at(0), QByteArray("rimeglass-sim: rs232:period = 0"));
    QCOMPARE(replies.at(1),
             QByteArray("rimeglass-sim: ") + QByteArray::number(sent) + " temperature lines sent");
    QCOMPARE(replies.at(2),
             QByteArray("rimeglass-sim: unknown control \"set rs232:period "
                        "fast\"; try \"input <volts>\" (-10 to 10), \"set <key> "
                        "<value>\" or \"count\""));
    QTRY_COMPARE((received += port.readAll()).count('\n'), sent);
    QVERIFY(received.startsWith("*T = "));
    sim.terminate();
    QVERIFY(sim.waitForFinished(10000));
}

RIMEGLASS_TEST_MAIN(QCoreApplication, TestSimProgram)
#include "test_sim_program.moc"
