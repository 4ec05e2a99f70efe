// Device on a pseudo-terminal, byte for byte: the serial link, line framing, the parser
// of the instrument's lines and the single commands; both acknowledgement-driven
// transfers, whole against the simulated instrument and line by line in one exchange
// table per transfer, normal and faulty.

#include "devicelink.h"
#include "simulatedinstrument.h"
#include "testmain.h"
#include "uuids.h"
#include "wirebytes.h"

#include <QCoreApplication>
#include <QMetaEnum>
#include <QSignalSpy>
#include <limits>
#include <memory>
#include <pty.h>
#include <unistd.h>

using namespace wirebytes;

namespace {

const QByteArray openingBytes("\x03\n*idn?\n", 8);

const QByteArray revision1Hex("3cc3a93f426145ff95bf653df2686cb0");
const QByteArray revision2Hex("21de3ef209bf4a7883a09eb750df2e57");

QByteArray patterned(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 37 + 11) & 0xff);
    return bytes;
}

QStringList expectedProgress(int size, int chunk)
{
    QStringList progress{QStringLiteral("progress 0/%1").arg(size)};
    for (int sent = chunk; sent - chunk < size; sent += chunk)
        progress << QStringLiteral("progress %1/%2").arg(sent).arg(size);
    return progress;
}

// The script steps below name the tool's writes by their offset: "cal 0030" is the
// calibration write at that offset, "fw 000070" the firmware write (short-code dialect).
QByteArray expandedReply(const QByteArray &reply, const QByteArray &payload)
{
    if (reply.startsWith("cal ")) {
        const int offset = reply.mid(4).toInt(nullptr, 16);
        return ":cal:write " + reply.mid(4) + " " + payload.mid(offset, 48).toHex() + "\n";
    }
    if (reply.startsWith("fw ")) {
        const int offset = reply.mid(3).toInt(nullptr, 16);
        return "@03 " + reply.mid(3) + " " + payload.mid(offset, 112).toHex() + "\n";
    }
    return reply;
}

// The application identifies itself with its hardware revision.
QList<QByteArray> application()
{
    return {"MORVA,ZURKD550,SN1,1.6.0.0", "@00\n", "*COMPAT = " + revision1Hex, ""};
}

// A reset into the boot loader as far as its identification, which asks for the
// revision; the script then goes on with the "*COMPAT = " answer.
QList<QByteArray> toBootLoader()
{
    return {"*RESET ",
            "",
            "*BOOTSTRAP 1.4.0.0",
            "\x03",
            "*MGMT",
            "*IDN?\n",
            "MORVA,ZURKD550-BS,SN1,1.4.0.0",
            "@00\n"};
}

} // namespace

class TestDevice : public QObject
{
    Q_OBJECT

private slots:
    void openingSendsIdentificationQuery();
    void commandsWithoutPortAreDropped();

    void framing_data();
    void framing();

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

    void firmwareUpgrade_data();
    void firmwareUpgrade();

    void calibrationExchange_data();
    void calibrationExchange();
    void firmwareExchange_data();
    void firmwareExchange();

    void silentInstrument_data();
    void silentInstrument();
    void outputStaysBoundedWhenThePortStopsTakingIt();
    void refusals();

private:
    void playScript(DeviceLink &link, const QList<QByteArray> &script, const QByteArray &payload);
    void runExchange(bool firmware);
};

void TestDevice::openingSendsIdentificationQuery()
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

void TestDevice::commandsWithoutPortAreDropped()
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
void TestDevice::framing_data()
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
    QTest::newRow("line of the longest length kept")
        << QList<QByteArray>{"k = " + QByteArray(64 * 1024 - 4, 'v') + "\n"}
        << QStringList{"param k|" + QString(64 * 1024 - 4, 'v')};
    QTest::newRow("overlong line dropped, framing goes on")
        << QList<QByteArray>{QByteArray(70000, 'x') + "\r\nafter = 1\r\n"}
        << QStringList{"param after|1"};
}

void TestDevice::framing()
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

void TestDevice::parseTable_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QByteArray>("sent");

    const QStringList none;
    QTest::newRow("reset") << QByteArray("*RESET cause=watchdog") << QStringList{"reset"}
                           << QByteArray();
    QTest::newRow("reset without its blank is free text")
        << QByteArray("*RESET") << none << QByteArray();
    QTest::newRow("bootstrap, no reset pending")
        << QByteArray("*BOOTSTRAP 1.4") << none << QByteArray();
    QTest::newRow("management") << QByteArray("*MGMT") << none << QByteArray("*IDN?\n");
    QTest::newRow("application started")
        << QByteArray("*APP 1.7") << QStringList{"restarted"} << QByteArray("*IDN?\n");
    QTest::newRow("temperature") << QByteArray("*T = 293.150 K") << QStringList{"T 293.15"}
                                 << QByteArray();
    QTest::newRow("temperature, blanks around the number")
        << QByteArray("*T =  77.35  K") << QStringList{"T 77.35"} << QByteArray();
    QTest::newRow("temperature, lowest")
        << QByteArray("*T = 0 K") << QStringList{"T 0"} << QByteArray();
    QTest::newRow("temperature, highest")
        << QByteArray("*T = 1000.000 K") << QStringList{"T 1000"} << QByteArray();
    // Anything else is a damaged line.
    const char *const damaged[] = {"abc K", "nan K",  "inf K", "1e300 K", "-0.001 K", "1000.001 K",
                                   "77.35", "77.35K", "77 mK", "295.1",   "5",        "K"};
    for (const char *reading : damaged)
        QTest::newRow(qPrintable(QStringLiteral("temperature %1").arg(reading)))
            << "*T = " + QByteArray(reading) << none << QByteArray();
    QTest::newRow("temperature never becomes a parameter")
        << QByteArray("*T = 1 = 2 K") << none << QByteArray();
    QTest::newRow("parameter") << QByteArray("relay1:temp = 300.000")
                               << QStringList{"param relay1:temp|300.000"} << QByteArray();
    QTest::newRow("parameter, parts untrimmed")
        << QByteArray(" key  =  value ") << QStringList{"param  key | value "} << QByteArray();
    QTest::newRow("parameter starting with a star keeps it")
        << QByteArray("*X = 1") << QStringList{"param *X|1"} << QByteArray();
    QTest::newRow("two separators") << QByteArray("a = b = c") << none << QByteArray();
    QTest::newRow("equals without blanks is free text")
        << QByteArray("a=b") << none << QByteArray();
    QTest::newRow("free text") << QByteArray("hello") << none << QByteArray();
    QTest::newRow("calibration ack while idle")
        << QByteArray("*cal-write-done") << none << QByteArray();
    QTest::newRow("only a NUL") << QByteArray("\0 = x", 5) << none << QByteArray();
    QTest::newRow("compat") << QByteArray("*COMPAT = 21de3ef209bf4a7883a09eb750df2e57")
                            << QStringList{"identified"} << QByteArray();
}

void TestDevice::parseTable()
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

void TestDevice::versionCode_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<uint>("code");

    QTest::newRow("1.3.9") << "1.3.9" << 0x01030900u;
    QTest::newRow("1.5.0.0") << "1.5.0.0" << 0x01050000u;
    QTest::newRow("component above 255 spills") << "1.4.256" << 0x01050000u;
    QTest::newRow("fifth component ignored") << "1.2.3.4.5" << 0x01020304u;
    QTest::newRow("not a number counts 0") << "1.x.3" << 0x01000300u;
    QTest::newRow("empty") << "" << 0u;
    QTest::newRow("negative counts 0") << "-1.4" << 0x00040000u;
}

void TestDevice::versionCode()
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
void TestDevice::identification_data()
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

void TestDevice::identification()
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

void TestDevice::resetModes()
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

void TestDevice::measurementVersionGate_data()
{
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<QByteArray>("sent");

    QTest::newRow("1.4.255.255") << QByteArray("1.4.255.255") << QByteArray();
    QTest::newRow("1.5.0.0") << QByteArray("1.5.0.0")
                             << QByteArray(":volt:raw?\n:volt:unc?\n:volt:cor?\n");
    QTest::newRow("1.3") << QByteArray("1.3") << QByteArray();
}

void TestDevice::measurementVersionGate()
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

void TestDevice::adcCalibrationCommand_data()
{
    QTest::addColumn<double>("offset");
    QTest::addColumn<double>("slope");
    QTest::addColumn<QByteArray>("sent");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("0.5 V, 1.5") << 0.5 << 1.5 << QByteArray(":volt:cal 0007a120 01800000\n");
    QTest::newRow("reset") << 0.0 << 0.0 << QByteArray(":volt:cal 00000000 00000000\n");
    QTest::newRow("fraction of a microvolt truncates toward zero")
        << -0.0000015 << -1.0 << QByteArray(":volt:cal ffffffff ff000000\n");
    QTest::newRow("slope above the range saturates")
        << 1.0 << 200.0 << QByteArray(":volt:cal 000f4240 7fffffff\n");
    QTest::newRow("offset below the range saturates")
        << -5000.0 << -200.0 << QByteArray(":volt:cal 80000000 80000000\n");
    QTest::newRow("NaN gives 0") << nan << nan << QByteArray(":volt:cal 00000000 00000000\n");
}

void TestDevice::adcCalibrationCommand()
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

void TestDevice::firmwareUpgrade_data()
{
    QTest::addColumn<bool>("fromBootLoader");
    QTest::addColumn<QString>("bootLoaderVersion");
    QTest::addColumn<int>("size");

    for (const bool fromBootLoader : {false, true}) {
        for (const char *version : {"1.3.2.0", "1.4.0.0"}) {
            for (const int size : {112, 1000, 13}) {
                const QByteArray name = QByteArray(fromBootLoader ? "boot loader" : "application")
                    + ", boot loader " + version + ", " + QByteArray::number(size) + " bytes";
                QTest::newRow(name.constData())
                    << fromBootLoader << QString::fromLatin1(version) << size;
            }
        }
    }
}

void TestDevice::firmwareUpgrade()
{
    QFETCH(bool, fromBootLoader);
    QFETCH(QString, bootLoaderVersion);
    QFETCH(int, size);
    const QByteArray image = patterned(size);
    const bool shortCodes = bootLoaderVersion == QLatin1String("1.4.0.0");

    InstrumentConfig config; // the boot window stays open long enough for a loaded machine
    config.compat = rimeglass::uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1);
    config.bootWindowMs = 10000;
    config.bootLoaderVersion = bootLoaderVersion;
    config.startInManagementMode = fromBootLoader;
    SimulatedInstrument instrument(config);
    DeviceLink link;
    link.attach(instrument);
    QSignalSpy finished(&link.device, &Device::transferFinished);
    link.open();
    QCOMPARE(link.device.bootstrap, fromBootLoader);
    link.peer.takeReceived();
    link.takeEvents();

    QVERIFY(link.device.upgradeFirmware(image));
    link.peer.settle(link.device.port);

    // Every command, exactly: the reset into the boot loader (unless it runs already), the
    // erase, the writes of the image padded to 8 bytes, the boot; the new firmware is then
    // asked who it is and, being 1.4 or later, for its hardware revision.
    const QByteArray flashed = paddedWithFill(image);
    QList<QByteArray> expected;
    if (!fromBootLoader)
        expected << ":system:reset\n"
                 << "\x03"
                 << "*IDN?\n";
    if (!fromBootLoader && shortCodes)
        expected << "@00\n";
    expected << (shortCodes ? "@02\n" : "flash erase\n");
    for (int offset = 0; offset < flashed.size(); offset += 112)
        expected << (shortCodes ? "@03 " : "flash write ")
                + QByteArray::number(offset, 16).rightJustified(6, '0') + ' '
                + flashed.mid(offset, 112).toHex() + '\n';
    expected << "boot\n"
             << "*IDN?\n"
             << "@00\n";
    QCOMPARE(tokens(link.peer.takeReceived()), expected);
    QCOMPARE(instrument.flash(), flashed);

    // The erase waits for the boot loader's identification, revision included.
    QStringList expectedEvents;
    if (!fromBootLoader)
        expectedEvents << "reset"
                       << "identified";
    expectedEvents << expectedProgress(flashed.size(), 112) << "restarted"
                   << "identified";
    QCOMPARE(link.takeEvents(), expectedEvents);
    QCOMPARE(finished.count(), 1);

    QCOMPARE(instrument.mode(), SimulatedInstrument::Mode::Application);
    QCOMPARE(link.device.upgradeState, -1);
    QVERIFY(link.device.transferData.isEmpty());
    QCOMPARE(link.device.resetPending, false);
    QCOMPARE(link.device.bootstrap, false);
    QCOMPARE(link.device.version, config.firmwareVersion);
}

// Each row is a script: the instrument's line, then exactly what the tool writes in
// answer, and how the transfer ends: "finished", or the failure, whether the erase had
// gone out and the bytes the instrument acknowledged. "(upload)" and "(upgrade)" start
// the transfer, "(cancel)" and "(close)" are the operator's; "A|B" plays A, and B the
// moment the tool has answered it, sooner than the line could carry that answer.
void TestDevice::calibrationExchange_data()
{
    QTest::addColumn<QList<QByteArray>>("script");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<bool>("erased");
    QTest::addColumn<int>("offset");

    const QList<QByteArray> erased{"(upload)", ":cal:erase\n", "*cal-erase-done", "cal 0000"};
    const QList<QByteArray> wrote{"*cal-write-done", "cal 0030"};
    const QList<QByteArray> commit{"*cal-write-done", ":cal:commit\n"};
    QTest::newRow("normal") << erased + wrote + commit << "finished" << false << 0;
    QTest::newRow("doubled acknowledgement, one write")
        << erased + QList<QByteArray>{"*cal-write-done\r\n*cal-write-done", "cal 0030"} + commit
        << "finished" << false << 0;
    QTest::newRow("acknowledgement sooner than the line allows")
        << erased + QList<QByteArray>{"*cal-write-done|*cal-write-done", "cal 0030"} + commit
        << "finished" << false << 0;
    QTest::newRow("restart") << erased + QList<QByteArray>{"*RESET software", ""} << "Interrupted"
                             << true << 0;
    QTest::newRow("application start")
        << erased + QList<QByteArray>{"*APP 1.7", "*IDN?\n"} << "Interrupted" << true << 0;
    QTest::newRow("firmware acknowledgement")
        << erased + QList<QByteArray>{"*WRITE_OK", ""} << "UnexpectedAcknowledgement" << true << 0;
    QTest::newRow("erase refused")
        << QList<QByteArray>{"(upload)", ":cal:erase\n", "*ERROR unknown command", ""}
        << "InstrumentError" << true << 0;
    QTest::newRow("write refused")
        << erased + wrote + QList<QByteArray>{"*ERROR write outside the calibration store", ""}
        << "InstrumentError" << true << 48;
    QTest::newRow("cancelled") << erased + wrote + QList<QByteArray>{"(cancel)", ""} << "Cancelled"
                               << true << 48;
    QTest::newRow("port closed") << erased + QList<QByteArray>{"(close)", ""} << "PortClosed"
                                 << true << 0;
}

void TestDevice::calibrationExchange()
{
    runExchange(false);
}

void TestDevice::firmwareExchange_data()
{
    QTest::addColumn<QList<QByteArray>>("script");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<bool>("erased");
    QTest::addColumn<int>("offset");

    const QList<QByteArray> upgrading
        = application() + QList<QByteArray>{"(upgrade)", ":system:reset\n"};
    const QList<QByteArray> revision1{"*COMPAT = " + revision1Hex, "@02\n"};
    const QList<QByteArray> erased
        = upgrading + toBootLoader() + revision1 + QList<QByteArray>{"*ERASE_OK", "fw 000000"};
    const QList<QByteArray> rest{"*WRITE_OK", "fw 000070", "*WRITE_OK",
                                 "fw 0000e0", "*WRITE_OK", "boot\n"};
    const QByteArray garbled("MORVA,ZURKD550-BS,SN0001,l.4.0.0");
    const QList<QByteArray> management{"*RESET ", "",      "*BOOTSTRAP 1.4.0.0",
                                       "\x03",    "*MGMT", "*IDN?\n"};
    QTest::newRow("normal") << erased + rest << "finished" << false << 0;
    QTest::newRow("doubled acknowledgement, one write")
        << erased + QList<QByteArray>{"*WRITE_OK\r\n*WRITE_OK", "fw 000070"} + rest.mid(2)
        << "finished" << false << 0;
    QTest::newRow("acknowledgement sooner than the line allows")
        << erased + QList<QByteArray>{"*WRITE_OK|*WRITE_OK", "fw 000070"} + rest.mid(2)
        << "finished" << false << 0;
    QTest::newRow("erase acknowledged before it was sent")
        << upgrading + toBootLoader() + QList<QByteArray>{"*ERASE_OK", ""} + revision1
            + QList<QByteArray>{"*ERASE_OK", "fw 000000"} + rest
        << "finished" << false << 0;
    QTest::newRow("boot loader found after a power cut")
        << QList<QByteArray>{"*MGMT",
                             "*IDN?\n",
                             "MORVA,ZURKD550-BS,SN1,1.4.0.0",
                             "@00\n",
                             "*COMPAT = " + revision1Hex,
                             "",
                             "(upgrade)",
                             "@02\n",
                             "*ERASE_OK",
                             "fw 000000"}
            + rest
        << "finished" << false << 0;
    QTest::newRow("garbled boot loader identification asked again")
        << upgrading + management + QList<QByteArray>{garbled, "*IDN?\n"} + toBootLoader().mid(6)
            + revision1 + QList<QByteArray>{"*ERASE_OK", "fw 000000"} + rest
        << "finished" << false << 0;
    const QList<QByteArray> garbles{garbled,
                                    "*IDN?\n",
                                    "MORVA,ZURKD550-BS,SN1",
                                    "*IDN?\n",
                                    "MORVA,ZURKD550-XS,SN1,1.4.0.0",
                                    "*IDN?\n",
                                    "MORVA,ZURKD550-BS,SN1,1.4.0.256",
                                    ""};
    QTest::newRow("boot loader identification garbled each time")
        << upgrading + management + garbles << "IdentificationGarbled" << false << 0;
    QTest::newRow("garbled boot loader on record asked again: another revision")
        << QList<QByteArray>{garbled,
                             "",
                             "(upgrade)",
                             "*IDN?\n",
                             "MORVA,ZURKD550-BS,SN1,1.4.0.0",
                             "@00\n",
                             "*COMPAT = " + revision2Hex,
                             ""}
        << "RevisionMismatch" << false << 0;
    QTest::newRow("application starts instead of the boot loader") << upgrading
            + QList<QByteArray>{"*RESET ", "", "*BOOTSTRAP 1.4.0.0", "\x03", "*APP 1.6", "*IDN?\n"}
                                                                   << "Interrupted" << false << 0;
    QTest::newRow("restart mid-write")
        << erased + QList<QByteArray>{"*RESET ", ""} << "Interrupted" << true << 0;
    QTest::newRow("calibration acknowledgement")
        << erased + QList<QByteArray>{"*cal-write-done", ""} << "UnexpectedAcknowledgement" << true
        << 0;
    QTest::newRow("write refused") << erased
            + QList<QByteArray>{"*WRITE_OK", "fw 000070",
                                "*ERROR write outside the application flash", ""}
                                   << "InstrumentError" << true << 112;
    QTest::newRow("cancelled") << erased + QList<QByteArray>{"(cancel)", ""} << "Cancelled" << true
                               << 0;
}

void TestDevice::firmwareExchange()
{
    runExchange(true);
}

// Each row brings a transfer to a state in which it waits for the instrument, which
// then stays silent: the transfer fails with its time-out, and says whether the erase had
// gone out and how many bytes the instrument acknowledged.
void TestDevice::silentInstrument_data()
{
    QTest::addColumn<QList<QByteArray>>("script");
    QTest::addColumn<bool>("erased");
    QTest::addColumn<int>("offset");

    const QList<QByteArray> erasing{"(upload)", ":cal:erase\n"};
    const QList<QByteArray> writing = erasing + QList<QByteArray>{"*cal-erase-done", "cal 0000"};
    QTest::newRow("calibration erase") << erasing << true << 0;
    QTest::newRow("calibration write") << writing << true << 0;
    QTest::newRow("calibration write after one acknowledged")
        << writing + QList<QByteArray>{"*cal-write-done", "cal 0030"} << true << 48;

    const QList<QByteArray> reset
        = application() + QList<QByteArray>{"(upgrade)", ":system:reset\n"};
    const QList<QByteArray> bootLoader = reset + toBootLoader();
    const QList<QByteArray> erase
        = bootLoader + QList<QByteArray>{"*COMPAT = " + revision1Hex, "@02\n"};
    const QList<QByteArray> write = erase + QList<QByteArray>{"*ERASE_OK", "fw 000000"};
    QTest::newRow("reset") << reset << false << 0;
    for (int step = 0; step < 6; step += 2)
        QTest::newRow(qPrintable("reset, then " + toBootLoader().at(step).trimmed()))
            << reset + toBootLoader().mid(0, step + 2) << false << 0;
    QTest::newRow("garbled boot loader asked again") << bootLoader.mid(0, bootLoader.size() - 2)
            + QList<QByteArray>{"MORVA,ZURKD550-BS,SN1,l.4.0.0", "*IDN?\n"}
                                                     << false << 0;
    QTest::newRow("boot loader's revision") << bootLoader << false << 0;
    QTest::newRow("revision of the boot loader on record, asked again")
        << QList<QByteArray>{"MORVA,ZURKD550-BS,SN1,1.4.0.0", "@00\n", "(upgrade)", "@00\n"}
        << false << 0;
    QTest::newRow("garbled boot loader on record, asked again")
        << QList<QByteArray>{"MORVA,ZURKD550-BS,SN1,l.4.0.0", "", "(upgrade)", "*IDN?\n"} << false
        << 0;
    QTest::newRow("flash erase") << erase << true << 0;
    QTest::newRow("flash write") << write << true << 0;
    QTest::newRow("flash write after one acknowledged")
        << write + QList<QByteArray>{"*WRITE_OK", "fw 000070"} << true << 112;
    QTest::newRow("flash write, the boot loader's revision asked again")
        << write + QList<QByteArray>{"*MGMT", "*IDN?\n", "MORVA,ZURKD550-BS,SN1,1.4.0.0", "@00\n"}
        << true << 0;
}

void TestDevice::silentInstrument()
{
    QFETCH(QList<QByteArray>, script);
    QFETCH(bool, erased);
    QFETCH(int, offset);

    DeviceLink link;
    QSignalSpy failed(&link.device, &Device::transferFailed);
    QCOMPARE(link.open(), openingBytes);
    const QByteArray payload = patterned(336);
    playScript(link, script, payload);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(link.device.transferInProgress());
    QCOMPARE(failed.count(), 0);

    link.device.setTransferTimeouts({50, 50, 50, 50});
    QVERIFY(failed.wait(5000));
    const auto report = failed.first().first().value<Device::TransferFailureReport>();
    QCOMPARE(report.failure, Device::TransferFailure::TimedOut);
    QCOMPARE(report.erased, erased);
    QCOMPARE(report.offset, offset);
    QVERIFY(!link.device.transferInProgress());
}

// Plays a script of the exchange tables, comparing each answer of the tool.
void TestDevice::playScript(DeviceLink &link, const QList<QByteArray> &script,
                            const QByteArray &payload)
{
    for (int i = 0; i + 1 < script.size(); i += 2) {
        const QByteArray &line = script.at(i);
        if (line == "(upload)")
            QVERIFY(link.device.uploadCalibration(payload));
        else if (line == "(upgrade)")
            QVERIFY(link.device.upgradeFirmware(payload));
        else if (line == "(cancel)")
            link.device.cancelTransfer();
        else if (line == "(close)")
            link.device.close();
        const bool played = !line.startsWith('(');
        if (played && line.contains('|')) {
            // The early line arrives with the tool's answer still on the line.
            const QByteArray early = line.mid(line.indexOf('|') + 1) + "\r\n";
            auto hook = std::make_shared<QMetaObject::Connection>();
            *hook = connect(&link.device, &Device::progress, this, [&link, early, hook] {
                QObject::disconnect(*hook);
                link.device.serialReceive(early);
            });
            link.peer.sendLine(line.left(line.indexOf('|')));
        } else if (played) {
            link.peer.sendLine(line);
        }
        QCOMPARE(link.peer.collect(link.device.port), expandedReply(script.at(i + 1), payload));
    }
}

void TestDevice::runExchange(bool firmware)
{
    QFETCH(QList<QByteArray>, script);
    QFETCH(QString, outcome);
    QFETCH(bool, erased);
    QFETCH(int, offset);
    const QByteArray payload = patterned(firmware ? 336 : 96);

    DeviceLink link;
    QSignalSpy finished(&link.device, &Device::transferFinished);
    QSignalSpy failed(&link.device, &Device::transferFailed);
    QCOMPARE(link.open(), openingBytes);
    playScript(link, script, payload);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(!link.device.transferInProgress());
    if (outcome == QLatin1String("finished")) {
        QCOMPARE(finished.count(), 1);
        QCOMPARE(failed.count(), 0);
        return;
    }
    QCOMPARE(finished.count(), 0);
    QCOMPARE(failed.count(), 1);
    const auto report = failed.first().first().value<Device::TransferFailureReport>();
    const QMetaEnum failures = QMetaEnum::fromType<Device::TransferFailure>();
    QCOMPARE(QString::fromLatin1(failures.valueToKey(int(report.failure))), outcome);
    QCOMPARE(report.transfer,
             firmware ? Device::Transfer::Firmware : Device::Transfer::Calibration);
    QCOMPARE(report.erased, erased);
    QCOMPARE(report.offset, offset);
    QCOMPARE(report.total, payload.size());
    // The instrument's own words, where they ended it.
    const bool quoted = outcome == "InstrumentError" || outcome == "IdentificationGarbled";
    const QByteArray ending = script.value(script.lastIndexOf("") - 1);
    QCOMPARE(report.instrumentLine, quoted ? QString::fromLatin1(ending) : QString());
    // A wrong revision names the boot loader's and the one the image was chosen for.
    if (outcome == QLatin1String("RevisionMismatch")) {
        QCOMPARE(report.reportedRevision, QByteArray::fromHex(revision2Hex));
        QCOMPARE(report.imageRevision, QByteArray::fromHex(revision1Hex));
    }
    // A late acknowledgement finds the link idle.
    QCOMPARE(link.exchange(firmware ? "*WRITE_OK" : "*cal-write-done"), QByteArray());
}

// The far end stops reading: what the tool queues stays bounded and the transfer fails.
void TestDevice::outputStaysBoundedWhenThePortStopsTakingIt()
{
    int master = -1;
    int slave = -1;
    char name[128] = {};
    QVERIFY(::openpty(&master, &slave, name, nullptr, nullptr) == 0);
    Device device(nullptr);
    QVERIFY(device.openPort(QString::fromLatin1(name)));
    QSignalSpy failed(&device, &Device::transferFailed);
    device.bootstrap = true;
    QVERIFY(device.upgradeFirmware(patterned(112)));

    const QString command = QString(1000, QLatin1Char('x')) + QLatin1Char('\n');
    for (int i = 0; i < 200; ++i) {
        device.serialSendCommand(command);
        QCoreApplication::processEvents();
    }
    QVERIFY(device.port->bytesToWrite() <= 64 * 1024 + command.size());
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.first().first().value<Device::TransferFailureReport>().failure,
             Device::TransferFailure::OutputBlocked);
    device.close();
    ::close(slave);
    ::close(master);
}

void TestDevice::refusals()
{
    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    link.exchange("MORVA,ZURKD550,SN1,1.3");
    link.takeEvents();

    // An empty image, and a table beyond the instrument's store, are refused outright.
    QVERIFY(!link.device.upgradeFirmware(QByteArray()));
    QVERIFY(!link.device.uploadCalibration(patterned(4097)));
    QCOMPARE(link.peer.collect(link.device.port), QByteArray());
    QCOMPARE(link.device.upgradeState, -1);
    QCOMPARE(link.device.calibrationState, -1);

    // A firmware transfer waiting for the reset refuses a calibration upload.
    QVERIFY(link.device.upgradeFirmware(patterned(100)));
    QCOMPARE(link.peer.collect(link.device.port), QByteArray(":system:reset\n"));
    QVERIFY(!link.device.uploadCalibration(patterned(48)));
    QCOMPARE(link.peer.collect(link.device.port), QByteArray());
    QCOMPARE(link.device.calibrationState, -1);
    QCOMPARE(link.device.transferData, paddedWithFill(patterned(100)));

    // A calibration upload in progress refuses a firmware transfer.
    DeviceLink other;
    QCOMPARE(other.open(), openingBytes);
    other.exchange("MORVA,ZURKD550-BS,SN1,1.3");
    QVERIFY(other.device.uploadCalibration(patterned(96)));
    QCOMPARE(other.peer.collect(other.device.port), QByteArray(":cal:erase\n"));
    other.exchange("*cal-erase-done");
    QVERIFY(!other.device.upgradeFirmware(patterned(112)));
    QCOMPARE(other.peer.collect(other.device.port), QByteArray());
    QCOMPARE(other.device.upgradeState, -1);
    QVERIFY(other.exchange("*cal-write-done").startsWith(":cal:write 0030 "));
}

RIMEGLASS_TEST_MAIN(QCoreApplication, TestDevice)
#include "test_device.moc"
