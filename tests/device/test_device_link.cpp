// The serial link, line framing, the parser of the instrument's lines and the
// single commands, asserted byte for byte on a pseudo-terminal.

#include "devicelink.h"
#include "testmain.h"
#include "uuids.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <limits>

namespace {

const QByteArray openingBytes("\x03\n*idn?\n", 8);

QByteArray revision1()
{
    return QByteArray(reinterpret_cast<const char *>(rimeglass::uuid_compat_stm32g071kb_r1), 16);
}

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
    void lineJoinedAcrossReads();
    void manyLinesInOneRead();
    void overlongLineIsDroppedAndFramingGoesOn();
    void receiveBufferStaysBounded();

    void parseTable_data();
    void parseTable();
    void versionCode_data();
    void versionCode();
    void identification_data();
    void identification();
    void unrecognisedModelKeepsBootstrapAndCompat();
    void wrongFieldCountChangesNothing();
    void compatWithoutIdentification();

    void resetModes();
    void managementModeExchange();
    void wrongFieldCountAnswersPendingReset();
    void bootstrapWithoutPendingReset();

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

void TestDeviceLink::framing_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("LF") << QByteArray("a = 1\n") << QStringList{"param a|1"};
    QTest::newRow("CR LF, then an ignored empty line")
        << QByteArray("a = 1\r\nb = 2\r\n") << QStringList{"param a|1", "param b|2"};
    QTest::newRow("lone CR ends a line")
        << QByteArray("abc\rdef = x\n") << QStringList{"param def|x"};
    QTest::newRow("no line feed yet") << QByteArray("a = 1") << QStringList{};
    QTest::newRow("NUL cuts the text")
        << QByteArray("k = v\0 = w\n", 11) << QStringList{"param k|v"};
    QTest::newRow("UTF-8 text") << QByteArray("name = \xc2\xb5V\n") << QStringList{"param name|µV"};
}

void TestDeviceLink::framing()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, events);

    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    link.peer.send(bytes);
    QCOMPARE(link.peer.collect(link.device.port), QByteArray());
    QCOMPARE(link.takeEvents(), events);
}

void TestDeviceLink::lineJoinedAcrossReads()
{
    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);

    link.peer.send("relay1:te");
    link.peer.settle(link.device.port);
    QVERIFY(link.events.isEmpty());
    QCOMPARE(link.device.rxBuffer, QByteArray("relay1:te"));

    link.peer.send("mp = 300.000\r");
    link.peer.settle(link.device.port);
    QCOMPARE(link.takeEvents(), QStringList{"param relay1:temp|300.000"});

    // The LF of the CR LF pair arrives alone: an empty line, ignored.
    link.peer.send("\n");
    link.peer.settle(link.device.port);
    QVERIFY(link.events.isEmpty());
    QVERIFY(link.device.rxBuffer.isEmpty());
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

void TestDeviceLink::overlongLineIsDroppedAndFramingGoesOn()
{
    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);

    link.device.serialReceive(QByteArray(70000, 'x') + "\r\nafter = 1\r\n");
    QCOMPARE(link.takeEvents(), QStringList{"param after|1"});
    QVERIFY(link.device.rxBuffer.isEmpty());
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

void TestDeviceLink::identification_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("bootstrap");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("application 1.3.9") << QByteArray("MORVA,ZURKD550,A123,1.3.9") << false
                                       << QByteArray() << QStringList{"identified"};
    QTest::newRow("application 1.3.255.255") << QByteArray("MORVA,ZURKD550,A123,1.3.255.255")
                                             << false << QByteArray() << QStringList{"identified"};
    QTest::newRow("application 1.4 asks for its revision")
        << QByteArray("MORVA,ZURKD550,A123,1.4") << false << QByteArray("@00\n") << QStringList{};
    QTest::newRow("boot loader 1.2") << QByteArray("MORVA,ZURKD550-BS,A123,1.2") << true
                                     << QByteArray() << QStringList{"identified"};
    QTest::newRow("boot loader 1.6")
        << QByteArray("MORVA,ZURKD550-BS,A123,1.6") << true << QByteArray("@00\n") << QStringList{};
}

void TestDeviceLink::identification()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, bootstrap);
    QFETCH(QByteArray, sent);
    QFETCH(QStringList, events);

    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    link.device.bootstrap = !bootstrap;
    QCOMPARE(link.exchange(reply), sent);
    QCOMPARE(link.takeEvents(), events);

    const QStringList fields = QString::fromUtf8(reply).split(',');
    QCOMPARE(link.device.vendor, fields.at(0));
    QCOMPARE(link.device.model, fields.at(1));
    QCOMPARE(link.device.serialNumber, fields.at(2));
    QCOMPARE(link.device.version, fields.at(3));
    QCOMPARE(link.device.bootstrap, bootstrap);
    QCOMPARE(link.device.compat, sent.isEmpty() ? revision1() : QByteArray());

    if (!sent.isEmpty()) {
        QCOMPARE(link.exchange("*COMPAT = 21DE3EF2-09bf-4a78-83a0-9eb750df2e57"), QByteArray());
        QCOMPARE(link.takeEvents(), QStringList{"identified"});
        QCOMPARE(link.device.compat.toHex(), QByteArray("21de3ef209bf4a7883a09eb750df2e57"));
    }
}

void TestDeviceLink::unrecognisedModelKeepsBootstrapAndCompat()
{
    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    link.exchange("MORVA,ZURKD550-BS,S1,1.2");
    link.takeEvents();

    QCOMPARE(link.exchange("MORVA,ZURKD999,S2,1.9"), QByteArray());
    QVERIFY(link.takeEvents().isEmpty());
    QCOMPARE(link.device.model, QStringLiteral("ZURKD999"));
    QCOMPARE(link.device.serialNumber, QStringLiteral("S2"));
    QCOMPARE(link.device.versionCode, 0x01090000u);
    QCOMPARE(link.device.bootstrap, true);
    QCOMPARE(link.device.compat, revision1());
}

void TestDeviceLink::wrongFieldCountChangesNothing()
{
    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    link.exchange("MORVA,ZURKD550,S1,1.3");
    link.takeEvents();

    QCOMPARE(link.exchange("MORVA,ZURKD550,S2"), QByteArray());
    QCOMPARE(link.exchange("MORVA,ZURKD550,S3,1.9,extra"), QByteArray());
    QVERIFY(link.takeEvents().isEmpty());
    QCOMPARE(link.device.serialNumber, QStringLiteral("S1"));
    QCOMPARE(link.device.versionCode, 0x01030000u);
}

void TestDeviceLink::compatWithoutIdentification()
{
    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    QCOMPARE(link.exchange("*COMPAT = 0a0B-zz0c"), QByteArray());
    QCOMPARE(link.takeEvents(), QStringList{"identified"});
    QCOMPARE(link.device.compat, QByteArray("\x0a\x0b\x0c"));
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

void TestDeviceLink::managementModeExchange()
{
    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    link.exchange("MORVA,ZURKD550,S1,1.3");
    link.takeEvents();

    link.device.reset(Device::ResetManagement);
    QCOMPARE(link.peer.collect(link.device.port), QByteArray(":system:reset\n"));
    QCOMPARE(link.exchange("*RESET "), QByteArray());
    QCOMPARE(link.exchange("*BOOTSTRAP v1.4"), QByteArray("\x03"));
    QCOMPARE(link.exchange("*BOOTSTRAP v1.4"), QByteArray("\x03")); // the pending reset stays
    QCOMPARE(link.exchange("*MGMT"), QByteArray("*IDN?\n"));
    QCOMPARE(link.exchange("MORVA,ZURKD550-BS,S1,1.4.1"), QByteArray("@00\n"));
    QCOMPARE(link.takeEvents(), (QStringList{"reset", "management"}));
    QCOMPARE(link.device.resetPending, false);
    QCOMPARE(link.device.bootstrap, true);

    QCOMPARE(link.exchange("*COMPAT = 3cc3a93f426145ff95bf653df2686cb0"), QByteArray());
    QCOMPARE(link.takeEvents(), QStringList{"identified"});
    QCOMPARE(link.device.compat, revision1());

    // With nothing pending the boot loader's announcement is not answered.
    QCOMPARE(link.exchange("*BOOTSTRAP v1.4"), QByteArray());
}

void TestDeviceLink::wrongFieldCountAnswersPendingReset()
{
    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    link.device.reset(Device::ResetManagement);
    link.peer.collect(link.device.port);

    QCOMPARE(link.exchange("MORVA,garbled"), QByteArray());
    QCOMPARE(link.takeEvents(), QStringList{"management"});
    QCOMPARE(link.device.resetPending, false);
    QVERIFY(link.device.model.isEmpty());
}

void TestDeviceLink::bootstrapWithoutPendingReset()
{
    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    QCOMPARE(link.exchange("*BOOTSTRAP "), QByteArray());
    QCOMPARE(link.exchange("MORVA,ZURKD550-BS,S1,1.3"), QByteArray());
    QCOMPARE(link.takeEvents(), QStringList{"identified"});
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
