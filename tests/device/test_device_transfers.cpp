// The two acknowledgement-driven transfers on a pseudo-terminal: whole transfers against
// the simulated instrument, and one table per transfer of exchanges line by line, normal and
// faulty, with every command on the wire and how the transfer ended.

#include "devicelink.h"
#include "instrument.h"
#include "testmain.h"
#include "uuids.h"
#include "wirebytes.h"

#include <QCoreApplication>
#include <QMetaEnum>
#include <QSignalSpy>
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

// The simulated instrument, in its application unless a row says otherwise; its boot
// window stays open long enough for a loaded machine.
InstrumentConfig simulatedInstrument()
{
    InstrumentConfig config;
    config.compat = rimeglass::uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1);
    config.bootWindowMs = 10000;
    return config;
}

QStringList expectedProgress(int size, int chunk)
{
    QStringList progress{QStringLiteral("progress 0/%1").arg(size)};
    for (int sent = chunk; sent - chunk < size; sent += chunk)
        progress << QStringLiteral("progress %1/%2").arg(sent).arg(size);
    return progress;
}

// A step that the script lets time out gets a short time-out only then, so that a slow
// machine cannot time out the others.
void expireWaitingStep(Device &device)
{
    device.setTransferTimeouts({50, 50, 50});
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

class TestDeviceTransfers : public QObject
{
    Q_OBJECT

private slots:
    void calibrationUpload_data();
    void calibrationUpload();
    void firmwareUpgrade_data();
    void firmwareUpgrade();

    void calibrationExchange_data();
    void calibrationExchange();
    void firmwareExchange_data();
    void firmwareExchange();

    void bootLoaderFoundAfterPowerCut();
    void outputStaysBoundedWhenThePortStopsTakingIt();
    void refusals();

private:
    void runExchange(bool firmware);
};

void TestDeviceTransfers::calibrationUpload_data()
{
    QTest::addColumn<int>("points");
    QTest::newRow("no points") << 0;
    QTest::newRow("one point, one short write") << 1;
    QTest::newRow("five points, two writes") << 5;
    QTest::newRow("500 points, the store nearly full") << 500;
}

void TestDeviceTransfers::calibrationUpload()
{
    QFETCH(int, points);
    const QByteArray payload = QByteArray::fromHex("d441de05") + littleEndian32(points)
        + QByteArray("DT-670").leftJustified(16, '\0') + patterned(points * 8);

    Instrument instrument(simulatedInstrument());
    DeviceLink link;
    link.attach(instrument);
    QSignalSpy finished(&link.device, &Device::transferFinished);
    link.open();
    link.peer.takeReceived();
    link.takeEvents();

    QVERIFY(link.device.uploadCalibration(payload));
    link.peer.settle(link.device.port);

    const QList<QByteArray> commands = tokens(link.peer.takeReceived());
    QCOMPARE(commands.size(), (payload.size() + 47) / 48 + 2);
    QCOMPARE(commands.first(), QByteArray(":cal:erase\n"));
    QCOMPARE(commands.last(), QByteArray(":cal:commit\n"));
    QCOMPARE(instrument.calibrationTable(), payload);
    QCOMPARE(link.takeEvents(), expectedProgress(payload.size(), 48));
    QCOMPARE(finished.count(), 1);

    QCOMPARE(link.device.calibrationState, -1);
    QCOMPARE(link.device.transferOffset, 0);
    QVERIFY(link.device.transferData.isEmpty());
}

void TestDeviceTransfers::firmwareUpgrade_data()
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

void TestDeviceTransfers::firmwareUpgrade()
{
    QFETCH(bool, fromBootLoader);
    QFETCH(QString, bootLoaderVersion);
    QFETCH(int, size);
    const QByteArray image = patterned(size);
    const bool shortCodes = bootLoaderVersion == QLatin1String("1.4.0.0");

    InstrumentConfig config = simulatedInstrument();
    config.bootLoaderVersion = bootLoaderVersion;
    config.startInManagementMode = fromBootLoader;
    Instrument instrument(config);
    DeviceLink link;
    link.attach(instrument);
    QSignalSpy finished(&link.device, &Device::transferFinished);
    link.open();
    QCOMPARE(link.device.bootstrap, fromBootLoader);
    link.peer.takeReceived();
    link.takeEvents();

    QVERIFY(link.device.upgradeFirmware(image));
    link.peer.settle(link.device.port);

    const QList<QByteArray> commands = tokens(link.peer.takeReceived());
    QList<QByteArray> expectedStart;
    if (!fromBootLoader) {
        expectedStart << ":system:reset\n"
                      << "\x03"
                      << "*IDN?\n";
        if (shortCodes)
            expectedStart << "@00\n";
    }
    expectedStart << (shortCodes ? "@02\n" : "flash erase\n");
    QCOMPARE(commands.mid(0, expectedStart.size()), expectedStart);

    const QByteArray flashed = paddedWithFill(image);
    QCOMPARE(reassembleFlashWrites(commands), flashed);
    QCOMPARE(instrument.flash(), flashed);
    const int chunks = (flashed.size() + 111) / 112;
    const QByteArray writePrefix = shortCodes ? "@03 " : "flash write ";
    for (const QByteArray &write : commands.mid(expectedStart.size(), chunks))
        QVERIFY2(write.startsWith(writePrefix), write.constData());
    // The new firmware announces itself, is asked who it is and, being 1.4 or later,
    // for its hardware revision.
    const QList<QByteArray> expectedEnd{"boot\n", "*IDN?\n", "@00\n"};
    QCOMPARE(commands.mid(expectedStart.size() + chunks), expectedEnd);

    // The erase waits for the boot loader's identification, revision included.
    QStringList expectedEvents;
    if (!fromBootLoader)
        expectedEvents << "reset"
                       << "identified";
    expectedEvents << expectedProgress(flashed.size(), 112) << "restarted"
                   << "identified";
    QCOMPARE(link.takeEvents(), expectedEvents);
    QCOMPARE(finished.count(), 1);

    QCOMPARE(instrument.mode(), Instrument::Mode::Application);
    QCOMPARE(link.device.upgradeState, -1);
    QVERIFY(link.device.transferData.isEmpty());
    QCOMPARE(link.device.resetPending, false);
    QCOMPARE(link.device.bootstrap, false);
    QCOMPARE(link.device.version, config.firmwareVersion);
}

// Each row is a script: the instrument's line, then exactly what the tool writes in
// answer ("(wait)" lets the time-out pass, "(cancel)" and "(close)" are the operator's),
// and how the transfer ends: "finished", or the failure, whether the erase had gone out
// and the bytes written.
void TestDeviceTransfers::calibrationExchange_data()
{
    QTest::addColumn<QList<QByteArray>>("script");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<bool>("erased");
    QTest::addColumn<int>("offset");

    const QList<QByteArray> erased{"*cal-erase-done", "cal 0000"};
    const QList<QByteArray> wrote{"*cal-write-done", "cal 0030"};
    QTest::newRow("normal") << erased + wrote
            + QList<QByteArray>{"*cal-write-done", ":cal:commit\n"}
                            << "finished" << false << 0;
    QTest::newRow("doubled acknowledgement, one write") << erased
            + QList<QByteArray>{"*cal-write-done\r\n*cal-write-done", "cal 0030", "*cal-write-done",
                                ":cal:commit\n"} << "finished"
                                                        << false << 0;
    QTest::newRow("no erase acknowledgement")
        << QList<QByteArray>{"(wait)", ""} << "TimedOut" << true << 0;
    QTest::newRow("silent after a write")
        << erased + QList<QByteArray>{"(wait)", ""} << "TimedOut" << true << 48;
    QTest::newRow("restart") << erased + QList<QByteArray>{"*RESET software", ""} << "Interrupted"
                             << true << 48;
    QTest::newRow("application start")
        << erased + QList<QByteArray>{"*APP 1.7", "*IDN?\n"} << "Interrupted" << true << 48;
    QTest::newRow("firmware acknowledgement")
        << erased + QList<QByteArray>{"*WRITE_OK", ""} << "UnexpectedAcknowledgement" << true << 48;
    QTest::newRow("cancelled") << erased + wrote + QList<QByteArray>{"(cancel)", ""} << "Cancelled"
                               << true << 96;
    QTest::newRow("port closed") << erased + QList<QByteArray>{"(close)", ""} << "PortClosed"
                                 << true << 48;
}

void TestDeviceTransfers::calibrationExchange()
{
    runExchange(false);
}

void TestDeviceTransfers::firmwareExchange_data()
{
    QTest::addColumn<QList<QByteArray>>("script");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<bool>("erased");
    QTest::addColumn<int>("offset");

    const QList<QByteArray> revision1{"*COMPAT = " + revision1Hex, "@02\n"};
    const QList<QByteArray> erased
        = toBootLoader() + revision1 + QList<QByteArray>{"*ERASE_OK", "fw 000000"};
    const QList<QByteArray> rest{"*WRITE_OK", "fw 000070", "*WRITE_OK",
                                 "fw 0000e0", "*WRITE_OK", "boot\n"};
    QTest::newRow("normal") << erased + rest << "finished" << false << 0;
    QTest::newRow("doubled acknowledgement, one write")
        << erased + QList<QByteArray>{"*WRITE_OK\r\n*WRITE_OK", "fw 000070"} + rest.mid(2)
        << "finished" << false << 0;
    QTest::newRow("erase acknowledged before it was sent")
        << toBootLoader() + QList<QByteArray>{"*ERASE_OK", ""} + revision1
            + QList<QByteArray>{"*ERASE_OK", "fw 000000"} + rest
        << "finished" << false << 0;
    QTest::newRow("garbled identification: another revision")
        << toBootLoader() + QList<QByteArray>{"*COMPAT = " + revision2Hex, ""} << "RevisionMismatch"
        << false << 0;
    QTest::newRow("boot loader identification unrecognised")
        << QList<QByteArray>{"*RESET ", "",        "*BOOTSTRAP 1.4.0.0",    "\x03",
                             "*MGMT",   "*IDN?\n", "MORVA,ZURKD550-BS,SN1", ""}
        << "RevisionUnknown" << false << 0;
    QTest::newRow("no boot loader after the reset")
        << QList<QByteArray>{"(wait)", ""} << "TimedOut" << false << 0;
    QTest::newRow("application starts instead of the boot loader")
        << QList<QByteArray>{"*RESET ", "", "*BOOTSTRAP 1.4.0.0", "\x03", "*APP 1.6", "*IDN?\n"}
        << "Interrupted" << false << 0;
    QTest::newRow("no erase acknowledgement")
        << toBootLoader() + revision1 + QList<QByteArray>{"(wait)", ""} << "TimedOut" << true << 0;
    QTest::newRow("silent after a write")
        << erased + QList<QByteArray>{"(wait)", ""} << "TimedOut" << true << 112;
    QTest::newRow("restart mid-write")
        << erased + QList<QByteArray>{"*RESET ", ""} << "Interrupted" << true << 112;
    QTest::newRow("calibration acknowledgement")
        << erased + QList<QByteArray>{"*cal-write-done", ""} << "UnexpectedAcknowledgement" << true
        << 112;
    QTest::newRow("cancelled") << erased + QList<QByteArray>{"(cancel)", ""} << "Cancelled" << true
                               << 112;
}

void TestDeviceTransfers::firmwareExchange()
{
    runExchange(true);
}

void TestDeviceTransfers::runExchange(bool firmware)
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
    if (firmware) {
        link.exchange("MORVA,ZURKD550,SN1,1.6");
        link.exchange("*COMPAT = " + revision1Hex);
        QVERIFY(link.device.upgradeFirmware(payload));
        QCOMPARE(link.peer.collect(link.device.port), QByteArray(":system:reset\n"));
    } else {
        QVERIFY(link.device.uploadCalibration(payload));
        QCOMPARE(link.peer.collect(link.device.port), QByteArray(":cal:erase\n"));
    }

    for (int i = 0; i + 1 < script.size(); i += 2) {
        const QByteArray &line = script.at(i);
        QByteArray answer;
        if (line == "(wait)") {
            expireWaitingStep(link.device);
            QVERIFY(failed.wait(5000));
        } else if (line == "(cancel)")
            link.device.cancelTransfer();
        else if (line == "(close)")
            link.device.close();
        else
            answer = link.exchange(line);
        QCOMPARE(answer, expandedReply(script.at(i + 1), payload));
    }

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
    // A late acknowledgement finds the link idle.
    QCOMPARE(link.exchange(firmware ? "*WRITE_OK" : "*cal-write-done"), QByteArray());
}

// An instrument that lost power during an upgrade starts in its boot loader and says so;
// the tool finds it there, and an upgrade then starts at the erase.
void TestDeviceTransfers::bootLoaderFoundAfterPowerCut()
{
    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    QCOMPARE(link.exchange("*MGMT"), QByteArray("*IDN?\n"));
    QCOMPARE(link.exchange("MORVA,ZURKD550-BS,SN1,1.4.0.0"), QByteArray("@00\n"));
    QCOMPARE(link.exchange("*COMPAT = " + revision2Hex), QByteArray());
    QCOMPARE(link.takeEvents(), QStringList{"identified"});
    QVERIFY(link.device.bootstrap);

    const QByteArray revision2 = QByteArray::fromHex(revision2Hex);
    QVERIFY(link.device.upgradeFirmware(patterned(112), revision2));
    QCOMPARE(link.peer.collect(link.device.port), QByteArray("@02\n"));
    QCOMPARE(link.exchange("*ERASE_OK"), expandedReply("fw 000000", patterned(112)));
    QCOMPARE(link.exchange("*WRITE_OK"), QByteArray("boot\n"));
}

// The far end stops reading: what the tool queues stays bounded and the transfer fails.
void TestDeviceTransfers::outputStaysBoundedWhenThePortStopsTakingIt()
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

void TestDeviceTransfers::refusals()
{
    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    link.exchange("MORVA,ZURKD550,SN1,1.3");
    link.takeEvents();

    // An empty image is refused outright.
    QVERIFY(!link.device.upgradeFirmware(QByteArray()));
    QCOMPARE(link.peer.collect(link.device.port), QByteArray());
    QCOMPARE(link.device.upgradeState, -1);

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
    other.exchange("*cal-erase-done");
    QVERIFY(!other.device.upgradeFirmware(patterned(112)));
    QCOMPARE(other.peer.collect(other.device.port), QByteArray());
    QCOMPARE(other.device.upgradeState, -1);
    QVERIFY(other.exchange("*cal-write-done").startsWith(":cal:write 0030 "));
}

RIMEGLASS_TEST_MAIN(QCoreApplication, TestDeviceTransfers)
#include "test_device_transfers.moc"
