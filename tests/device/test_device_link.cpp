// The serial link, line framing, the parser of the instrument's lines and the
// single commands, asserted byte for byte on a pseudo-terminal.

#include "devicelink.h"
#include "testmain.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <limits>

namespace {

const QByteArray openingBytes("\x03\n*idn?\n", 8);

} // namespace

class TestDeviceLink : public QObject
{
    Q_OBJECT

private slots:
    void openingSendsIdentificationQuery();
    void failedOpen();
    void commandsWithoutPortAreDropped();

    void framing_data();
    void framing();
    void manyLinesInOneRead();
    void receiveBufferStaysBounded();

    void parseTable_data();
    void parseTable();
    void versionCode_data();
    void versionCode();
    void identification_data();
    void identification();

    void resetModes();

    void measurementVersionGate_data();
    void measurementVersionGate();
    void adcCalibrationCommand_data();
    void adcCalibrationCommand();
};

void TestDeviceLink::openingSendsIdentificationQuery()
{
    DeviceLink link;
    QVERIFY(link.peer.isOpen());
    QCOMPARE(link.open(), openingBytes);
    QVERIFY(link.device.port->isOpen());
    QCOMPARE(link.device.port->baudRate(QSerialPort::Input), 115200);
    QCOMPARE(link.device.port->baudRate(QSerialPort::Output), 115200);
    QCOMPARE(link.device.port->dataBits(), QSerialPort::Data8);
    QCOMPARE(link.device.port->parity(), QSerialPort::NoParity);
    QCOMPARE(link.device.port->stopBits(), QSerialPort::OneStop);
    QCOMPARE(link.device.port->parent(), &link.device);
}

void TestDeviceLink::failedOpen()
{
    Device device(nullptr);
    QVERIFY(!device.openPort(QStringLiteral("/nonexistent/rimeglass-port")));
    QVERIFY(device.port != nullptr);
    QVERIFY(!device.port->isOpen());
    device.serialSendCommand(QStringLiteral(":save\n"));
    QCOMPARE(device.port->bytesToWrite(), 0);
    QVERIFY(device.close());
    QVERIFY(device.port == nullptr);
}

void TestDeviceLink::commandsWithoutPortAreDropped()
{
    DeviceLink link;
    QVERIFY(link.device.close()); // nothing to close yet
    link.device.serialSendCommand(QStringLiteral("before\n"));
    link.device.reset(Device::ResetManagement);
    QCOMPARE(link.device.resetPending, false);
    QCOMPARE(link.open(), openingBytes);
    link.device.provision(); // has nothing to send
    QCOMPARE(link.peer.collect(link.device.port), QByteArray());

    QVERIFY(link.device.close());
    QVERIFY(link.device.port == nullptr);
    link.device.serialSendCommand(QStringLiteral("after\n"));
    link.device.sendADCCalibration(1.0, 1.0);
    QCOMPARE(link.peer.collect(nullptr), QByteArray());
    QVERIFY(link.takeEvents().isEmpty());
}

// Each row: what the instrument sends, in separate writes, and the signals that follow.
void TestDeviceLink::framing_data()
{
    QTest::addColumn<QList<QByteArray>>("writes");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("LF") << QList<QByteArray>{"a = 1\n"} << QStringList{"param a|1"};
    QTest::newRow("CR LF, then an ignored empty line")
        << QList<QByteArray>{"a = 1\r\nb = 2\r\n"} << QStringList{"param a|1", "param b|2"};
    QTest::newRow("lone CR ends a line")
        << QList<QByteArray>{"abc\rdef = x\n"} << QStringList{"param def|x"};
    QTest::newRow("no line feed yet") << QList<QByteArray>{"a = 1"} << QStringList{};
    QTest::newRow("NUL cuts the text")
        << QList<QByteArray>{QByteArray("k = v\0 = w\n", 11)} << QStringList{"param k|v"};
    QTest::newRow("UTF-8 text") << QList<QByteArray>{"name = \xc2\xb5V\n"}
                                << QStringList{"param name|µV"};
    QTest::newRow("joined across reads, LF of the pair alone")
        << QList<QByteArray>{"relay1:te", "mp = 300.000\r", "\n"}
        << QStringList{"param relay1:temp|300.000"};
    QTest::newRow("overlong line dropped, framing goes on")
        << QList<QByteArray>{QByteArray(70000, 'x') + "\r\nafter = 1\r\n"}
        << QStringList{"param after|1"};
}

void TestDeviceLink::framing()
{
    QFETCH(QList<QByteArray>, writes);
    QFETCH(QStringList, events);

    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    for (const QByteArray &bytes : writes) {
        link.peer.send(bytes);
        QCOMPARE(link.peer.collect(link.device.port), QByteArray());
    }
    QCOMPARE(link.takeEvents(), events);
    QCOMPARE(link.device.rxBuffer, writes.last().endsWith('\n') ? QByteArray() : writes.last());
}

void TestDeviceLink::manyLinesInOneRead()
{
    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);

    // Every line is logged; a hundred thousand of them would only bury the output.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const int count = 100000;
    QByteArray stream;
    for (int i = 0; i < count; ++i)
        stream += "k = " + QByteArray::number(i) + "\r\n";
    // Handed to the receive path directly, so that all of it is one read.
    link.device.serialReceive(stream);

    QCOMPARE(link.events.size(), count);
    for (int i = 0; i < count; i += 9973)
        QCOMPARE(link.events.at(i), QStringLiteral("param k|%1").arg(i));
    QCOMPARE(link.events.last(), QStringLiteral("param k|%1").arg(count - 1));
    QVERIFY(link.device.rxBuffer.isEmpty());
    QLoggingCategory::setFilterRules(QString());
}

void TestDeviceLink::receiveBufferStaysBounded()
{
    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);

    const QByteArray noise(64 * 1024, 'z');
    int largest = 0;
    for (int i = 0; i < 16; ++i) { // 1 MiB without a line feed
        link.peer.send(noise);
        link.peer.settle(link.device.port);
        largest = qMax(largest, link.device.rxBuffer.size());
    }
    QVERIFY2(largest <= 64 * 1024, qPrintable(QString::number(largest)));

    // Whatever was kept of the noise ends with the next line feed; the line after
    // it is understood.
    link.peer.send("\r\n*T = 77.350 K\r\n");
    link.peer.settle(link.device.port);
    QCOMPARE(link.takeEvents(), QStringList{"T 77.35"});
}

void TestDeviceLink::parseTable_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QByteArray>("sent");

    const QStringList none;
    QTest::newRow("reset") << QByteArray("*RESET cause=watchdog") << QStringList{"reset"}
                           << QByteArray();
    QTest::newRow("reset without its blank is free text")
        << QByteArray("*RESET") << none << QByteArray();
    QTest::newRow("reset announcement with a parameter form")
        << QByteArray("*RESET x = y") << QStringList{"reset"} << QByteArray();
    QTest::newRow("bootstrap, no reset pending")
        << QByteArray("*BOOTSTRAP 1.4") << none << QByteArray();
    QTest::newRow("management") << QByteArray("*MGMT") << none << QByteArray("*IDN?\n");
    QTest::newRow("application started")
        << QByteArray("*APP 1.7") << QStringList{"restarted"} << QByteArray("*IDN?\n");
    QTest::newRow("application without its blank is free text")
        << QByteArray("*APP") << none << QByteArray();
    QTest::newRow("temperature") << QByteArray("*T = 293.150 K") << QStringList{"T 293.15"}
                                 << QByteArray();
    QTest::newRow("temperature, negative exponent")
        << QByteArray("*T = 1.5e-1 K") << QStringList{"T 0.15"} << QByteArray();
    QTest::newRow("temperature, letters") << QByteArray("*T = abc K") << none << QByteArray();
    QTest::newRow("temperature, not finite") << QByteArray("*T = nan K") << none << QByteArray();
    QTest::newRow("temperature, short line takes all after the prefix")
        << QByteArray("*T = 5") << QStringList{"T 5"} << QByteArray();
    QTest::newRow("temperature never becomes a parameter")
        << QByteArray("*T = 1 = 2 K") << none << QByteArray();
    QTest::newRow("temperature, comma decimal") << QByteArray("*T = 4,2 K") << none << QByteArray();
    QTest::newRow("parameter") << QByteArray("relay1:temp = 300.000")
                               << QStringList{"param relay1:temp|300.000"} << QByteArray();
    QTest::newRow("parameter, parts untrimmed")
        << QByteArray(" key  =  value ") << QStringList{"param  key | value "} << QByteArray();
    QTest::newRow("parameter, empty value")
        << QByteArray("key = ") << QStringList{"param key|"} << QByteArray();
    QTest::newRow("parameter starting with a star keeps it")
        << QByteArray("*X = 1") << QStringList{"param *X|1"} << QByteArray();
    QTest::newRow("two separators") << QByteArray("a = b = c") << none << QByteArray();
    QTest::newRow("equals without blanks is free text")
        << QByteArray("a=b") << none << QByteArray();
    QTest::newRow("free text") << QByteArray("hello") << none << QByteArray();
    QTest::newRow("calibration ack while idle")
        << QByteArray("*cal-write-done") << none << QByteArray();
    QTest::newRow("firmware write ack while idle")
        << QByteArray("*WRITE_OK") << none << QByteArray();
    QTest::newRow("only a NUL") << QByteArray("\0 = x", 5) << none << QByteArray();
    QTest::newRow("compat") << QByteArray("*COMPAT = 21de3ef209bf4a7883a09eb750df2e57")
                            << QStringList{"identified"} << QByteArray();
}

void TestDeviceLink::parseTable()
{
    QFETCH(QByteArray, line);
    QFETCH(QStringList, events);
    QFETCH(QByteArray, sent);

    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    QCOMPARE(link.exchange(line), sent);
    QCOMPARE(link.takeEvents(), events);
    QCOMPARE(link.device.calibrationState, -1);
    QCOMPARE(link.device.upgradeState, -1);
}

void TestDeviceLink::versionCode_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<uint>("code");

    QTest::newRow("1.3.9") << "1.3.9" << 0x01030900u;
    QTest::newRow("1.4") << "1.4" << 0x01040000u;
    QTest::newRow("1.5.0.0") << "1.5.0.0" << 0x01050000u;
    QTest::newRow("component above 255 spills") << "1.4.256" << 0x01050000u;
    QTest::newRow("fifth component ignored") << "1.2.3.4.5" << 0x01020304u;
    QTest::newRow("not a number counts 0") << "1.x.3" << 0x01000300u;
    QTest::newRow("empty parts") << "1..3" << 0x01000300u;
    QTest::newRow("empty") << "" << 0u;
    QTest::newRow("negative counts 0") << "-1.4" << 0x00040000u;
}

void TestDeviceLink::versionCode()
{
    QFETCH(QString, version);
    QFETCH(uint, code);

    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    link.exchange("MORVA,OTHER,SN," + version.toUtf8());
    QCOMPARE(link.device.version, version);
    QCOMPARE(link.device.versionCode, quint32(code));
}

// Each row is a script: the instrument's line, then exactly what the tool writes in
// answer ("(reset)" is the tool's own reset into management mode); then the signals and
// what the tool knows of the instrument: model, serial number, version, version code,
// application or boot loader, a reset still pending, hardware revision.
void TestDeviceLink::identification_data()
{
    QTest::addColumn<QList<QByteArray>>("script");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QString>("identity");

    const QString r1 = QStringLiteral("3cc3a93f426145ff95bf653df2686cb0");
    const QString r2 = QStringLiteral("21de3ef209bf4a7883a09eb750df2e57");
    const QByteArray r2Line("*COMPAT = 21DE3EF2-09bf-4a78-83a0-9eb750df2e57");
    const QStringList identified{"identified"};
    QTest::newRow("application 1.3.9")
        << QList<QByteArray>{"MORVA,ZURKD550,A123,1.3.9", ""} << identified
        << "ZURKD550 A123 1.3.9 1030900 application " + r1;
    QTest::newRow("application 1.3.255.255")
        << QList<QByteArray>{"MORVA,ZURKD550,A123,1.3.255.255", ""} << identified
        << "ZURKD550 A123 1.3.255.255 103ffff application " + r1;
    QTest::newRow("application 1.4 asks for its revision")
        << QList<QByteArray>{"MORVA,ZURKD550,A123,1.4", "@00\n", r2Line, ""} << identified
        << "ZURKD550 A123 1.4 1040000 application " + r2;
    QTest::newRow("boot loader 1.2") << QList<QByteArray>{"MORVA,ZURKD550-BS,A123,1.2", ""}
                                     << identified << "ZURKD550-BS A123 1.2 1020000 boot " + r1;
    QTest::newRow("boot loader 1.6")
        << QList<QByteArray>{"MORVA,ZURKD550-BS,A123,1.6", "@00\n", r2Line, ""} << identified
        << "ZURKD550-BS A123 1.6 1060000 boot " + r2;
    QTest::newRow("boot loader, then the application")
        << QList<QByteArray>{"MORVA,ZURKD550-BS,S1,1.2", "", "MORVA,ZURKD550,S1,1.3", ""}
        << QStringList{"identified", "identified"} << "ZURKD550 S1 1.3 1030000 application " + r1;
    QTest::newRow("unrecognised model keeps boot loader and revision")
        << QList<QByteArray>{"MORVA,ZURKD550-BS,S1,1.2", "", "MORVA,ZURKD999,S2,1.9", ""}
        << identified << "ZURKD999 S2 1.9 1090000 boot " + r1;
    QTest::newRow("wrong field count changes nothing")
        << QList<QByteArray>{"MORVA,ZURKD550,S1,1.3",       "", "MORVA,ZURKD550,S2", "",
                             "MORVA,ZURKD550,S3,1.9,extra", ""}
        << identified << "ZURKD550 S1 1.3 1030000 application " + r1;
    QTest::newRow("revision without identification")
        << QList<QByteArray>{"*COMPAT = 0a0B-zz0c", ""} << identified
        << QStringLiteral("   0 application 0a0b0c");
    QTest::newRow("reset into management mode")
        << QList<QByteArray>{"MORVA,ZURKD550,S1,1.3",
                             "",
                             "(reset)",
                             ":system:reset\n",
                             "*RESET ",
                             "",
                             "*BOOTSTRAP v1.4",
                             "\x03",
                             "*BOOTSTRAP v1.4", // the pending reset stays
                             "\x03",
                             "*MGMT",
                             "*IDN?\n",
                             "MORVA,ZURKD550-BS,S1,1.4.1",
                             "@00\n",
                             "*COMPAT = " + r1.toLatin1(),
                             "",
                             "*BOOTSTRAP v1.4", // nothing pending: not answered
                             ""}
        << QStringList{"identified", "reset", "management", "identified"}
        << "ZURKD550-BS S1 1.4.1 1040100 boot " + r1;
    QTest::newRow("garbled reply answers a pending reset")
        << QList<QByteArray>{"(reset)", ":system:reset\n", "MORVA,garbled", ""}
        << QStringList{"management"} << QStringLiteral("   0 application ");
    QTest::newRow("boot loader announcement without a pending reset")
        << QList<QByteArray>{"*BOOTSTRAP ", "", "MORVA,ZURKD550-BS,S1,1.3", ""} << identified
        << "ZURKD550-BS S1 1.3 1030000 boot " + r1;
}

void TestDeviceLink::identification()
{
    QFETCH(QList<QByteArray>, script);
    QFETCH(QStringList, events);
    QFETCH(QString, identity);

    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    for (int i = 0; i + 1 < script.size(); i += 2) {
        if (script.at(i) == "(reset)") {
            link.device.reset(Device::ResetManagement);
            QCOMPARE(link.peer.collect(link.device.port), script.at(i + 1));
        } else {
            QCOMPARE(link.exchange(script.at(i)), script.at(i + 1));
        }
    }
    QCOMPARE(link.takeEvents(), events);
    const Device &device = link.device;
    const QString known = QStringList{device.model,
                                      device.serialNumber,
                                      device.version,
                                      QString::number(device.versionCode, 16),
                                      device.bootstrap ? "boot" : "application",
                                      QString::fromLatin1(device.compat.toHex())}
                              .join(' ');
    QCOMPARE(known, identity);
    QCOMPARE(device.resetPending, false);
}

void TestDeviceLink::resetModes()
{
    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);

    link.device.reset(Device::ResetNormal);
    QCOMPARE(link.peer.collect(link.device.port), QByteArray(":system:reset\n"));
    QCOMPARE(link.device.resetPending, false);

    link.device.reset(Device::ResetMode(7));
    QCOMPARE(link.peer.collect(link.device.port), QByteArray(":system:reset\n"));
    QCOMPARE(link.device.resetPending, false);

    link.device.reset(Device::ResetManagement);
    QCOMPARE(link.peer.collect(link.device.port), QByteArray(":system:reset\n"));
    QCOMPARE(link.device.resetPending, true);
}

void TestDeviceLink::measurementVersionGate_data()
{
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<QByteArray>("sent");

    QTest::newRow("1.4.255.255") << QByteArray("1.4.255.255") << QByteArray();
    QTest::newRow("1.5.0.0") << QByteArray("1.5.0.0")
                             << QByteArray(":volt:raw?\n:volt:unc?\n:volt:cor?\n");
    QTest::newRow("1.3") << QByteArray("1.3") << QByteArray();
}

void TestDeviceLink::measurementVersionGate()
{
    QFETCH(QByteArray, version);
    QFETCH(QByteArray, sent);

    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    link.exchange("MORVA,OTHER,S1," + version);
    link.device.measureRaw();
    link.device.measureUncalibrated();
    link.device.measureCalibrated();
    QCOMPARE(link.peer.collect(link.device.port), sent);
}

void TestDeviceLink::adcCalibrationCommand_data()
{
    QTest::addColumn<double>("offset");
    QTest::addColumn<double>("slope");
    QTest::addColumn<QByteArray>("sent");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("0.5 V, 1.5") << 0.5 << 1.5 << QByteArray(":volt:cal 0007a120 01800000\n");
    QTest::newRow("-0.25 V, 0.99") << -0.25 << 0.99 << QByteArray(":volt:cal fffc2f70 00fd70a3\n");
    QTest::newRow("reset") << 0.0 << 0.0 << QByteArray(":volt:cal 00000000 00000000\n");
    QTest::newRow("fraction of a microvolt truncates toward zero")
        << -0.0000015 << -1.0 << QByteArray(":volt:cal ffffffff ff000000\n");
    QTest::newRow("slope above the range saturates")
        << 1.0 << 200.0 << QByteArray(":volt:cal 000f4240 7fffffff\n");
    QTest::newRow("offset below the range saturates")
        << -5000.0 << -200.0 << QByteArray(":volt:cal 80000000 80000000\n");
    QTest::newRow("NaN gives 0") << nan << nan << QByteArray(":volt:cal 00000000 00000000\n");
}

void TestDeviceLink::adcCalibrationCommand()
{
    QFETCH(double, offset);
    QFETCH(double, slope);
    QFETCH(QByteArray, sent);

    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    // Sent whatever the instrument's version.
    link.exchange("MORVA,ZURKD550,S1,1.0");
    link.device.sendADCCalibration(offset, slope);
    QCOMPARE(link.peer.collect(link.device.port), sent);
}

RIMEGLASS_TEST_MAIN(QCoreApplication, TestDeviceLink)
#include "test_device_link.moc"
