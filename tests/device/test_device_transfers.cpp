// The two acknowledgement-driven transfers, run against a scripted instrument on a
// pseudo-terminal: every command on the wire, the progress reports, and the payload
// reassembled from the hex chunks byte for byte.

#include "devicelink.h"
#include "scriptedinstrument.h"
#include "testmain.h"
#include "wirebytes.h"

#include <QCoreApplication>

using namespace wirebytes;

namespace {

const QByteArray openingBytes("\x03\n*idn?\n", 8);

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

} // namespace

class TestDeviceTransfers : public QObject
{
    Q_OBJECT

private slots:
    void calibrationUpload_data();
    void calibrationUpload();
    void calibrationExchangeOf280Bytes();
    void calibrationWaitsForEachAcknowledgement();
    void calibrationRestartStartsAfresh();

    void firmwareUpgrade_data();
    void firmwareUpgrade();
    void firmwareExchangeOf1000BytesFromApplication();
    void firmwareDialectFollowsVersionAtEachStep();
    void firmwareResetWithoutPort();

    void transfersRefuseTheOtherKind();
};

void TestDeviceTransfers::calibrationUpload_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("0 bytes") << 0;
    QTest::newRow("48 bytes") << 48;
    QTest::newRow("280 bytes") << 280;
    QTest::newRow("13 bytes, padded after the payload") << 13;
    QTest::newRow("2,000-point table") << 24 + 2000 * 8;
}

void TestDeviceTransfers::calibrationUpload()
{
    QFETCH(int, size);
    const QByteArray payload = patterned(size);
    const QByteArray stored = paddedWithFill(payload);

    DeviceLink link;
    ScriptedInstrument instrument;
    QCOMPARE(link.open(), openingBytes);
    link.peer.setResponder([&](const QByteArray &token) { return instrument.respond(token); });

    QVERIFY(link.device.uploadCalibration(payload));
    link.peer.settle(link.device.port);

    const int chunks = (stored.size() + 47) / 48;
    QCOMPARE(instrument.commands.size(), chunks + 2);
    QCOMPARE(instrument.commands.first(), QByteArray(":cal:erase\n"));
    QCOMPARE(instrument.commands.last(), QByteArray(":cal:commit\n"));
    QCOMPARE(reassembleCalibrationWrites(instrument.commands), stored);
    QCOMPARE(link.takeEvents(), expectedProgress(stored.size(), 48));

    QCOMPARE(link.device.calibrationState, -1);
    QCOMPARE(link.device.transferOffset, 0);
    QVERIFY(link.device.transferData.isEmpty());
}

void TestDeviceTransfers::calibrationExchangeOf280Bytes()
{
    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    const QByteArray payload = patterned(280);

    link.device.uploadCalibration(payload);
    QCOMPARE(link.peer.collect(link.device.port), QByteArray(":cal:erase\n"));
    QCOMPARE(link.device.calibrationState, 2);
    QCOMPARE(link.device.transferChunkSize, 48);

    const char *offsets[] = {"0000", "0030", "0060", "0090", "00c0", "00f0"};
    for (int i = 0; i < 6; ++i) {
        const QByteArray write = link.exchange(i == 0 ? "*cal-erase-done" : "*cal-write-done");
        const QByteArray chunk = payload.mid(i * 48, 48);
        QCOMPARE(write, ":cal:write " + QByteArray(offsets[i]) + " " + chunk.toHex() + "\n");
        if (chunk.size() == 48)
            QCOMPARE(write.size(), 113);
    }
    QCOMPARE(link.exchange("*cal-write-done"), QByteArray(":cal:commit\n"));
    QCOMPARE(
        link.takeEvents(),
        (QStringList{"progress 0/280", "progress 48/280", "progress 96/280", "progress 144/280",
                     "progress 192/280", "progress 240/280", "progress 288/280"}));

    // The commit is not acknowledged; a late acknowledgement finds the transfer idle.
    QCOMPARE(link.exchange("*cal-write-done"), QByteArray());
    QVERIFY(link.takeEvents().isEmpty());
}

void TestDeviceTransfers::calibrationWaitsForEachAcknowledgement()
{
    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    link.device.uploadCalibration(patterned(96));
    QCOMPARE(link.peer.collect(link.device.port), QByteArray(":cal:erase\n"));

    // Lines that are not its acknowledgement do not move the transfer.
    QCOMPARE(link.exchange("*T = 4.200 K"), QByteArray());
    QCOMPARE(link.exchange("*WRITE_OK"), QByteArray());
    QCOMPARE(link.device.transferOffset, 0);

    // Either acknowledgement releases the next step.
    QVERIFY(link.exchange("*cal-write-done").startsWith(":cal:write 0000 "));
    QCOMPARE(link.device.transferOffset, 48);
}

void TestDeviceTransfers::calibrationRestartStartsAfresh()
{
    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    link.device.uploadCalibration(patterned(96));
    link.peer.collect(link.device.port);
    link.exchange("*cal-erase-done");
    link.takeEvents();

    const QByteArray second = patterned(16);
    QVERIFY(link.device.uploadCalibration(second));
    QCOMPARE(link.peer.collect(link.device.port), QByteArray(":cal:erase\n"));
    QCOMPARE(link.exchange("*cal-erase-done"), ":cal:write 0000 " + second.toHex() + "\n");
    QCOMPARE(link.takeEvents(), (QStringList{"progress 0/16", "progress 48/16"}));
}

void TestDeviceTransfers::firmwareUpgrade_data()
{
    QTest::addColumn<bool>("fromBootLoader");
    QTest::addColumn<QByteArray>("bootLoaderVersion");
    QTest::addColumn<int>("size");

    for (const bool fromBootLoader : {false, true}) {
        for (const char *version : {"1.3.2", "1.4"}) {
            for (const int size : {0, 112, 1000, 13}) {
                const QByteArray name = QByteArray(fromBootLoader ? "boot loader" : "application")
                    + ", boot loader " + version + ", " + QByteArray::number(size) + " bytes";
                QTest::newRow(name.constData()) << fromBootLoader << QByteArray(version) << size;
            }
        }
    }
}

void TestDeviceTransfers::firmwareUpgrade()
{
    QFETCH(bool, fromBootLoader);
    QFETCH(QByteArray, bootLoaderVersion);
    QFETCH(int, size);
    const QByteArray image = patterned(size);
    const QByteArray flashed = paddedWithFill(image);
    const bool shortCodes = bootLoaderVersion == "1.4";

    DeviceLink link;
    ScriptedInstrument instrument;
    instrument.bootLoaderVersion = bootLoaderVersion;
    instrument.inBootLoader = fromBootLoader;
    link.peer.setResponder([&](const QByteArray &token) { return instrument.respond(token); });
    link.open();
    QCOMPARE(link.device.bootstrap, fromBootLoader);
    instrument.commands.clear();
    link.takeEvents();

    QVERIFY(link.device.upgradeFirmware(image));
    link.peer.settle(link.device.port);

    QList<QByteArray> expectedStart;
    if (!fromBootLoader) {
        expectedStart << ":system:reset\n"
                      << "\x03"
                      << "*IDN?\n";
        if (shortCodes)
            expectedStart << "@00\n";
    }
    expectedStart << (shortCodes ? "@02\n" : "flash erase\n");
    QCOMPARE(instrument.commands.mid(0, expectedStart.size()), expectedStart);

    QCOMPARE(reassembleFlashWrites(instrument.commands), flashed);
    const int chunks = (flashed.size() + 111) / 112;
    const QByteArray writePrefix = shortCodes ? "@03 " : "flash write ";
    for (const QByteArray &write : instrument.commands.mid(expectedStart.size(), chunks))
        QVERIFY2(write.startsWith(writePrefix), write.constData());
    // The new firmware announces itself, is asked who it is and, being 1.4 or later,
    // for its hardware revision.
    const QList<QByteArray> expectedEnd{"boot\n", "*IDN?\n", "@00\n"};
    QCOMPARE(instrument.commands.size(), expectedStart.size() + chunks + expectedEnd.size());
    QCOMPARE(instrument.commands.mid(expectedStart.size() + chunks), expectedEnd);

    QStringList expectedEvents;
    if (!fromBootLoader)
        expectedEvents << "reset";
    expectedEvents << "identified" << expectedProgress(flashed.size(), 112);
    if (fromBootLoader)
        expectedEvents.removeAt(0); // identified long before, at opening
    expectedEvents << "restarted"
                   << "identified";
    QStringList events = link.takeEvents();
    if (shortCodes && !fromBootLoader) {
        // The revision arrives after the erase has been sent; either order is fine.
        QCOMPARE(events.count("identified"), 2);
        events.removeOne("identified");
        expectedEvents.removeOne("identified");
    }
    QCOMPARE(events, expectedEvents);

    QCOMPARE(link.device.upgradeState, -1);
    QCOMPARE(link.device.transferOffset, 0);
    QVERIFY(link.device.transferData.isEmpty());
    QCOMPARE(link.device.resetPending, false);
    QCOMPARE(link.device.bootstrap, false);
    QCOMPARE(link.device.version, QStringLiteral("1.7"));
}

void TestDeviceTransfers::firmwareExchangeOf1000BytesFromApplication()
{
    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    link.exchange("MORVA,ZURKD550,SN1,1.6");
    link.exchange("*COMPAT = 3cc3a93f426145ff95bf653df2686cb0");
    link.takeEvents();
    const QByteArray image = patterned(1000);

    link.device.upgradeFirmware(image);
    QCOMPARE(link.peer.collect(link.device.port), QByteArray(":system:reset\n"));
    QCOMPARE(link.device.upgradeState, 0);
    QCOMPARE(link.device.resetPending, true);
    QCOMPARE(link.exchange("*RESET "), QByteArray());
    QCOMPARE(link.exchange("*BOOTSTRAP "), QByteArray("\x03"));
    QCOMPARE(link.exchange("*MGMT"), QByteArray("*IDN?\n"));
    QCOMPARE(link.exchange("MORVA,ZURKD550-BS,SN1,1.4.0.0"), QByteArray("@00\n@02\n"));
    QCOMPARE(link.device.upgradeState, 2);
    // The erase acknowledgement may come before the revision.
    QCOMPARE(link.exchange("*ERASE_OK"), "@03 000000 " + image.mid(0, 112).toHex() + "\n");
    QCOMPARE(link.exchange("*COMPAT = 3cc3a93f426145ff95bf653df2686cb0"), QByteArray());
    for (int offset = 112; offset < 1000; offset += 112) {
        const QByteArray write = link.exchange("*WRITE_OK");
        const QByteArray chunk = image.mid(offset, 112);
        QCOMPARE(write,
                 QByteArray("@03 ") + QByteArray::number(offset, 16).rightJustified(6, '0') + " "
                     + chunk.toHex() + "\n");
        if (chunk.size() == 112)
            QCOMPARE(write.size(), 236);
    }
    QCOMPARE(link.exchange("*WRITE_OK"), QByteArray("boot\n"));
    QCOMPARE(link.takeEvents(),
             (QStringList{"reset", "progress 0/1000", "progress 112/1000", "identified"}
              + expectedProgress(1000, 112).mid(2)));
    QCOMPARE(link.exchange("*WRITE_OK"), QByteArray());
    QCOMPARE(link.exchange("*APP "), QByteArray("*IDN?\n"));
    QCOMPARE(link.takeEvents(), QStringList{"restarted"});
}

void TestDeviceTransfers::firmwareDialectFollowsVersionAtEachStep()
{
    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    link.exchange("MORVA,ZURKD550-BS,SN1,1.3.255.255");
    const QByteArray image = patterned(224);

    link.device.upgradeFirmware(image);
    QCOMPARE(link.peer.collect(link.device.port), QByteArray("flash erase\n"));
    const QByteArray first = link.exchange("*ERASE_OK");
    QCOMPARE(first, "flash write 000000 " + image.mid(0, 112).toHex() + "\n");
    QCOMPARE(first.size(), 244);

    link.device.versionCode = 0x1040000;
    QCOMPARE(link.exchange("*WRITE_OK"), "@03 000070 " + image.mid(112).toHex() + "\n");
    QCOMPARE(link.exchange("*WRITE_OK"), QByteArray("boot\n"));
}

void TestDeviceTransfers::firmwareResetWithoutPort()
{
    Device device(nullptr);
    QVERIFY(device.upgradeFirmware(patterned(16)));
    QCOMPARE(device.upgradeState, 0);
    QCOMPARE(device.resetPending, false);
    QCOMPARE(device.transferChunkSize, 112);
}

void TestDeviceTransfers::transfersRefuseTheOtherKind()
{
    DeviceLink link;
    QCOMPARE(link.open(), openingBytes);
    link.exchange("MORVA,ZURKD550,SN1,1.3");
    link.takeEvents();

    // A firmware transfer waiting for the reset refuses a calibration upload.
    QVERIFY(link.device.upgradeFirmware(patterned(100)));
    QCOMPARE(link.peer.collect(link.device.port), QByteArray(":system:reset\n"));
    QVERIFY(!link.device.uploadCalibration(patterned(48)));
    QCOMPARE(link.peer.collect(link.device.port), QByteArray());
    QCOMPARE(link.device.calibrationState, -1);
    QCOMPARE(link.device.transferData, paddedWithFill(patterned(100)));
    QCOMPARE(link.device.transferChunkSize, 112);

    // A calibration upload in progress refuses a firmware transfer.
    DeviceLink other;
    QCOMPARE(other.open(), openingBytes);
    other.exchange("MORVA,ZURKD550-BS,SN1,1.3");
    QVERIFY(other.device.uploadCalibration(patterned(96)));
    other.exchange("*cal-erase-done");
    other.takeEvents();
    QVERIFY(!other.device.upgradeFirmware(patterned(112)));
    QCOMPARE(other.peer.collect(other.device.port), QByteArray());
    QCOMPARE(other.device.upgradeState, -1);
    QCOMPARE(other.device.transferOffset, 48);
    QVERIFY(other.takeEvents().isEmpty());
    QVERIFY(other.exchange("*cal-write-done").startsWith(":cal:write 0030 "));
}

RIMEGLASS_TEST_MAIN(QCoreApplication, TestDeviceTransfers)
#include "test_device_transfers.moc"
