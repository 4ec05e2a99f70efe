// Faults of the instrument met by the real main window during a transfer: a lost, doubled
// or restarting acknowledgement, a garbled identification, the operator cancelling, the
// port vanishing. Each row checks the message the operator sees and what the instrument
// is left with, and where the instrument waits in its boot loader, that the upgrade run
// again from there finishes.

#include "containerpacker.h"
#include "signingkeys.h"
#include "simbench.h"
#include "testmain.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QSettings>
#include <QTemporaryDir>
#include <sodium.h>

using namespace windowdriver;
using namespace simbench;

class TestFaultInjection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void transferFaults_data();
    void transferFaults();

private:
    QByteArray seed;
    QTemporaryDir files;
};

void TestFaultInjection::initTestCase()
{
    QApplication::setQuitOnLastWindowClosed(false);
    QVERIFY(sodium_init() >= 0);
    seed = readSeedFile(QStringLiteral(RIMEGLASS_KEYS_DIR "/development-seed.hex"));
    QCOMPARE(seed.size(), 32);
}

void TestFaultInjection::cleanup()
{
    cancelPendingAnswers();
}

// Each row: the fault at the n-th acknowledgement (or identification) of the instrument,
// and the message the window shows (none when the transfer completes).
void TestFaultInjection::transferFaults_data()
{
    QTest::addColumn<bool>("firmware");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("at");
    QTest::addColumn<QString>("message");

    // 20 points make a payload of 184 bytes, 4 writes of 48; acknowledgement 1 is the
    // erase's. The image of 500 bytes is padded to 504, 5 writes of 112.
    const QString tableErased = " The custom table was erased; upload it again.";
    const QString inBootLoader = " The instrument is still in its boot loader: run the upgrade "
                                 "again to finish.";
    QTest::newRow("calibration, silent step")
        << false << "drop" << 3
        << "The instrument stopped answering during the upload. 96 of 184 bytes were written."
            + tableErased;
    QTest::newRow("calibration, restart mid-upload")
        << false << "reboot" << 3
        << "The instrument restarted during the upload. 96 of 184 bytes were written."
            + tableErased;
    QTest::newRow("calibration, doubled acknowledgement") << false << "double" << 2 << QString();
    QTest::newRow("calibration, port vanishes")
        << false << "vanish" << 2
        << "The port was closed during the upload. 96 of 184 bytes were written." + tableErased;
    QTest::newRow("firmware, silent erase")
        << true << "drop" << 1
        << "The instrument stopped answering during the upgrade. 0 of 504 bytes were written."
            + inBootLoader;
    QTest::newRow("firmware, restart mid-upgrade")
        << true << "reboot" << 3
        << "The instrument restarted during the upgrade. 224 of 504 bytes were written."
            + inBootLoader;
    QTest::newRow("firmware, doubled acknowledgement") << true << "double" << 3 << QString();
    QTest::newRow("firmware, cancelled")
        << true << "cancel" << 2
        << "The upgrade was cancelled. 112 of 504 bytes were written." + inBootLoader;
    // A garbled version reads as "before 1.4": the built-in revision 1 is assumed for an
    // instrument of revision 2, and the revision-1 image is chosen.
    QTest::newRow("firmware, garbled identification")
        << true << "garble" << 1
        << "The boot loader reports hardware revision 2, but the image was chosen for hardware "
           "revision 1. Nothing was erased. The instrument may be waiting in its boot loader: "
           "open the port again and run the upgrade again.";
    QTest::newRow("firmware, port vanishes")
        << true << "vanish" << 2
        << "The port was closed during the upgrade. 224 of 504 bytes were written." + inBootLoader;
}

void TestFaultInjection::transferFaults()
{
    QFETCH(bool, firmware);
    QFETCH(QString, fault);
    QFETCH(int, at);
    QFETCH(QString, message);
    if (firmware && publicKeyOfSeed(seed) != compiledPublicKey())
        QSKIP("this build trusts another key than the development one");

    InstrumentConfig config;
    config.compat = uuidBytes(fault == "garble" ? rimeglass::uuid_compat_stm32g070kb_r2
                                                : rimeglass::uuid_compat_stm32g071kb_r1);
    config.bootWindowMs = 200;
    config.faults.dropAcknowledgement = fault == "drop" || fault == "cancel" ? at : 0;
    config.faults.rebootAtAcknowledgement = fault == "reboot" ? at : 0;
    config.faults.doubleAcknowledgement = fault == "double" ? at : 0;
    config.faults.garbleIdentification = fault == "garble" ? at : 0;
    Bench bench(config);
    QVERIFY(bench.open());
    const QString port = bench.simulator->portName();

    // Pulled out right after its n-th write acknowledgement, the instrument's side of the line
    // closes.
    const QByteArray acknowledgement = firmware ? "*WRITE_OK" : "*cal-write-done";
    QObject::connect(bench.instrument(), &Instrument::transmit, bench.window.get(), [&] {
        if (fault == "vanish" && bench.sent.count(acknowledgement) == at)
            QTimer::singleShot(0, [&] { bench.simulator.reset(); });
    });

    const QByteArray image = firmwareImage("1.6.0.0", 500);
    const QString table = files.filePath(QStringLiteral("sensor.dat"));
    QByteArray tableText = "T V\n";
    for (int i = 0; i < 20; ++i)
        tableText += QByteArray::number(10.5 + i, 'f', 5) + " "
            + QByteArray::number(1.5 - i * 0.03125, 'f', 5) + "\n";
    QVERIFY(writeFile(table, tableText));
    const QString container = files.filePath(QStringLiteral("firmware.crp"));
    ContainerPacker packer;
    packer.setVersion(QStringLiteral("1.6.0.0"));
    packer.addImage(uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1), image);
    packer.addImage(uuidBytes(rimeglass::uuid_compat_stm32g070kb_r2), image);
    QVERIFY(writeFile(container, packer.pack(seed)));
    const auto start = [&] {
        if (firmware) {
            answerNextFileDialog(container);
            answerNextMessageBox(QMessageBox::Yes);
            click(*bench.window, "upgradeButton");
        } else {
            answerNextFileDialog(table);
            click(*bench.window, "sensorFileChooseButton");
            child<QLineEdit>(bench.window.get(), "sensorNameEdit")->setText("Faulty");
            click(*bench.window, "sensorUploadButton");
        }
    };
    if (fault == "vanish")
        QTest::ignoreMessage(QtDebugMsg, "Closing port ...");
    start();
    const auto seen = answerNextMessageBox(QMessageBox::Ok);
    if (fault == "drop" || fault == "cancel") {
        // The transfer stalls where the acknowledgement went missing.
        QVERIFY(bench.noted(QStringLiteral("dropped acknowledgement")));
        if (fault == "drop")
            liveDevice(*bench.window)->setTransferTimeouts({50, 50, 50});
        else
            click(*bench.window, "transferCancelButton");
    }

    if (message.isEmpty()) {
        int points = 0;
        const QString done = firmware ? "Firmware upgraded to 1.6.0.0"
                                      : "Calibration table \"Faulty\" uploaded, 20 points";
        QVERIFY(waitUntil([&] { return statusText(*bench.window) == done; }));
        QVERIFY2(!bench.sent.contains("*ERROR"), bench.sent.constData());
        if (firmware)
            QCOMPARE(bench.instrument()->flash(), wirebytes::paddedWithFill(image));
        else
            QCOMPARE(bench.instrument()->calibrationTable(),
                     calibrationPayload("Faulty", tableText, &points));
        return;
    }

    QVERIFY(waitUntil([&] { return seen->shown; }));
    QCOMPARE(seen->icon, QMessageBox::Critical);
    QCOMPARE(seen->title, QString(firmware ? "Firmware upgrade" : "Calibration upload"));
    QCOMPARE(seen->text, message);
    QVERIFY(child<QProgressBar>(bench.window.get(), "progressBar")->text().startsWith("Failed"));
    QVERIFY(!child<QWidget>(bench.window.get(), "transferCancelButton")->isEnabled());
    QVERIFY(!bench.received.contains("boot\n") && !bench.received.contains(":cal:commit\n"));
    if (fault == "vanish") {
        QVERIFY(waitUntil([&] {
            return statusText(*bench.window)
                == "Port lost \u2014 waiting for " + port + " to come back";
        }));
        QVERIFY(!liveDevice(*bench.window));
        // Another instrument can be opened at once.
        bench.replaceInstrument(InstrumentConfig());
        QVERIFY(bench.open());
        QCOMPARE(text(*bench.window, "modelValue"), QStringLiteral("ZURKD550"));
        return;
    }
    if (!firmware) {
        QCOMPARE(bench.instrument()->calibrationTable(), QByteArray());
        return;
    }
    // Kept in the boot loader by the tool, not left to start its old application.
    QVERIFY(waitUntil([&] { return bench.instrument()->mode() != Instrument::Mode::BootWindow; }));
    QCOMPARE(bench.instrument()->mode(), Instrument::Mode::Management);
    QCOMPARE(bench.instrument()->firmwareVersion(), QStringLiteral("1.5.2.0"));
    if (fault == "garble") {
        QVERIFY(!bench.received.contains("@02\n"));
        return;
    }

    // The boot loader took over the port's identification; an upgrade from there starts
    // at its erase, without a reset, and runs to the end.
    QVERIFY(waitUntil([&] { return text(*bench.window, "modelValue") == "ZURKD550-BS"; }));
    bench.received.clear();
    start();
    QVERIFY(waitUntil([&] { return text(*bench.window, "versionValue") == "1.6.0.0"; }));
    QVERIFY(bench.received.contains("@02\n") && !bench.received.contains(":system:reset\n"));
    QCOMPARE(bench.instrument()->flash(), wirebytes::paddedWithFill(image));
    QCOMPARE(bench.instrument()->mode(), Instrument::Mode::Application);
}

RIMEGLASS_TEST_MAIN(QApplication, TestFaultInjection)
#include "test_fault_injection.moc"
