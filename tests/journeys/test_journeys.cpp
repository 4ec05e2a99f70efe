// The real window against the simulated instrument: one journey per flow, and one table
// of the instrument's faults during a transfer; each ends with what the operator sees and
// what the instrument holds.

#include "calibrationtable.h"
#include "containerpacker.h"
#include "instrumentsession.h"
#include "recorder.h"
#include "rimeglass-version.h"
#include "signingkeys.h"
#include "simbench.h"
#include "testmain.h"
#include "wirebytes.h"

#include <QDir>
#include <QDoubleSpinBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProgressBar>
#include <QSettings>
#include <QTemporaryDir>
#include <sodium.h>

using namespace windowdriver;
using namespace simbench;

namespace {

using Settings = QMap<QString, QString>;

// "key=value;..." as a map.
Settings settingsFrom(const QString &entries)
{
    Settings settings;
    for (const QString &entry : entries.split(';'))
        settings.insert(entry.section('=', 0, 0), entry.section('=', 1));
    return settings;
}

// Saved settings that differ from the factory's and the window's defaults, so that their
// arrival in the window is unmistakable; the display period is the last one read back.
const Settings savedBefore = settingsFrom(
    "cal=asc;rs232:period=250;rs485:period=0;relay1:default=0;relay1:temp=12.500;"
    "relay1:hyst=0.750;relay2:default=1;relay2:temp=150.250;relay2:hyst=4.000;display:period=1234");
const Settings shownBefore = settingsFrom(
    "sensorCombo=ASC;rs232AutomaticOutputCombo=Enabled;rs232OutputPeriodSpin=250;"
    "rs485AutomaticOutputCombo=Disabled;relay1DefaultStateCombo=Off;relay1TempSpin=12.5;"
    "relay1HystSpin=0.75;relay2DefaultStateCombo=On;relay2TempSpin=150.25;"
    "relay2HystSpin=4;displayRefreshSpin=1234");
const Settings savedAfter = settingsFrom(
    "cal=dt-670;rs232:period=400;rs485:period=600;relay1:default=1;relay1:temp=42.125;"
    "relay1:hyst=0.500;relay2:default=0;relay2:temp=210.750;relay2:hyst=3.250;display:period=2500");
const Settings shownAfter = settingsFrom(
    "sensorCombo=DT-670;rs232AutomaticOutputCombo=Enabled;rs232OutputPeriodSpin=400;"
    "rs485AutomaticOutputCombo=Enabled;relay1DefaultStateCombo=On;relay1TempSpin=42.125;"
    "relay1HystSpin=0.5;relay2DefaultStateCombo=Off;relay2TempSpin=210.75;"
    "relay2HystSpin=3.25;displayRefreshSpin=2500");

// What the widgets of `expected` show.
Settings shownSettings(const MainWindow &window, Settings expected)
{
    for (auto it = expected.begin(); it != expected.end(); ++it)
        *it = shown(window, it.key());
    return expected;
}

Settings savedSettings(const QString &statePath)
{
    Settings settings;
    const QJsonObject stored
        = QJsonDocument::fromJson(readFile(statePath)).object().value("settings").toObject();
    for (auto it = stored.begin(); it != stored.end(); ++it)
        settings.insert(it.key(), it.value().toString());
    return settings;
}

} // namespace

class TestJourneys : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QApplication::setQuitOnLastWindowClosed(false);
        QVERIFY(sodium_init() >= 0);
        seed = readSeedFile(QStringLiteral(RIMEGLASS_KEYS_DIR "/development-seed.hex"));
        QCOMPARE(seed.size(), 32);
    }

    void init()
    {
        QSettings().clear();
        files = new QTemporaryDir;
        statePath = files->filePath(QStringLiteral("state.json"));
        QJsonObject settings;
        for (auto it = savedBefore.begin(); it != savedBefore.end(); ++it)
            settings.insert(it.key(), it.value());
        QVERIFY(writeFile(statePath, QJsonDocument(QJsonObject{{"settings", settings}}).toJson()));
    }

    void cleanup()
    {
        cancelPendingAnswers();
        delete files;
    }

    void connectAndReadBack()
    {
        InstrumentConfig config = instrumentWithSavedState();
        config.serialNumber = QStringLiteral("J-1001");
        Bench bench(config);
        QVERIFY(bench.open());
        const MainWindow &window = *bench.window;
        QCOMPARE(text(window, "modelValue"), QStringLiteral("ZURKD550"));
        QCOMPARE(text(window, "versionValue"), QStringLiteral("1.5.2.0"));
        QCOMPARE(text(window, "serialNumberValue"), QStringLiteral("J-1001"));
        QCOMPARE(shownSettings(window, shownBefore), shownBefore);
    }

    void changeAndSave()
    {
        {
            Bench bench(instrumentWithSavedState());
            QVERIFY(bench.open());
            const MainWindow &window = *bench.window;
            for (const QString &entry :
                 QString(
                     "sensorCombo=2;relay1DefaultStateCombo=1;relay1TempSpin=42.125;"
                     "relay1HystSpin=0.5;relay2DefaultStateCombo=0;relay2TempSpin=210.75;"
                     "relay2HystSpin=3.25;rs232OutputPeriodSpin=400;rs485AutomaticOutputCombo=1;"
                     "rs485OutputPeriodSpin=600;displayRefreshSpin=2500;saveButton")
                     .split(';'))
                operate(window, entry);
            QVERIFY(bench.noted(QStringLiteral("state written to")));
            QCOMPARE(savedSettings(statePath), savedAfter);
        }

        // A window that remembers nothing: every value must come from the restarted instrument.
        QSettings().clear();
        Bench restarted(instrumentWithSavedState());
        QVERIFY(restarted.open());
        QCOMPARE(shownSettings(*restarted.window, shownAfter), shownAfter);
    }

    void uploadCalibrationTable()
    {
        const QString tablePath = QStringLiteral(RIMEGLASS_TEST_DATA_DIR "/dt670-D6068043.dat");
        InstrumentConfig config = instrumentWithSavedState();
        config.calibrationDumpPath = files->filePath(QStringLiteral("calibration.bin"));
        Bench bench(config);
        QVERIFY(bench.open());

        answerNextFileDialog(tablePath);
        click(*bench.window, "sensorFileChooseButton");
        QCOMPARE(text(*bench.window, "sensorFileEdit"), tablePath);
        child<QLineEdit>(bench.window.get(), "sensorNameEdit")->setText(QStringLiteral("D6068043"));
        click(*bench.window, "sensorUploadButton");

        QVERIFY(bench.noted("calibration table written to"));
        const CalibrationTable table = CalibrationTable::fromFileData(readFile(tablePath));
        QCOMPARE(table.temperatures.size(), 71);
        QCOMPARE(bench.instrument()->calibrationTable().toHex(),
                 CalibrationTable::encodePayload("D6068043", table.temperatures, table.voltages)
                     .toHex());
        QVERIFY(waitUntil([&] { return shown(*bench.window, "progressBar") == "100"; }));
    }

    void upgrade_data()
    {
        QTest::addColumn<QString>("bootLoaderVersion");
        QTest::addColumn<bool>("revision2");
        QTest::addColumn<bool>("fromBootLoader"); // opened while the boot loader runs

        // Boot loaders before 1.4.0.0 take "flash erase", later ones "@02"; the image for the
        // instrument's revision is the one written.
        QTest::newRow("text dialect, revision 1") << "1.3.2.0" << false << false;
        QTest::newRow("short-code dialect, revision 2") << "1.4.0.0" << true << false;
        QTest::newRow("from the boot loader") << "1.4.0.0" << false << true;
    }

    void upgrade()
    {
        QFETCH(QString, bootLoaderVersion);
        QFETCH(bool, revision2);
        QFETCH(bool, fromBootLoader);
        if (publicKeyOfSeed(seed) != compiledPublicKey())
            QSKIP("this build trusts another key than the development one");

        const QByteArray image1 = firmwareImage("1.6.0.0", 3009, 7);
        const QByteArray image2 = firmwareImage("1.6.0.0", 2211, 99);
        ContainerPacker packer;
        QVERIFY(packer.setVersion(QStringLiteral("1.6.0.0")));
        QVERIFY(packer.addImage(uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1), image1));
        QVERIFY(packer.addImage(uuidBytes(rimeglass::uuid_compat_stm32g070kb_r2), image2));
        const QString container = files->filePath(QStringLiteral("zurkd550-1.6.0.0.crp"));
        QVERIFY(writeFile(container, packer.pack(seed)));

        InstrumentConfig config = instrumentWithSavedState();
        config.bootLoaderVersion = bootLoaderVersion;
        if (!revision2)
            config.compat = uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1);
        config.startInManagementMode = fromBootLoader;
        Bench bench(config);
        if (fromBootLoader) {
            bench.start();
            bench.window->addExtraPort(bench.port(), QString());
            click(*bench.window, "serialPortOpenButton");
        }
        QVERIFY(fromBootLoader
                    ? waitUntil([&] { return text(*bench.window, "modelValue") == "ZURKD550-BS"; })
                    : bench.open());
        bool readBack = false;
        QObject::connect(bench.window->findChild<InstrumentSession *>(),
                         &InstrumentSession::readBackFinished, [&] { readBack = true; });

        answerNextFileDialog(container);
        const auto question = answerNextMessageBox(QMessageBox::Yes);
        click(*bench.window, "upgradeButton");
        QCOMPARE(question->text,
                 QStringLiteral("Upgrade firmware from version %1 to version 1.6.0.0?")
                     .arg(fromBootLoader ? "1.4.0.0" : "1.5.2.0"));

        QVERIFY(waitUntil([&] { return text(*bench.window, "versionValue") == "1.6.0.0"; }));
        // The outcome stays on show through the read-back that follows, also where the port
        // was opened with the boot loader running.
        QVERIFY(waitUntil([&] { return readBack; }));
        QCOMPARE(statusText(*bench.window), QStringLiteral("Firmware upgraded to 1.6.0.0"));
        const QByteArray written = wirebytes::paddedWithFill(revision2 ? image2 : image1);
        QCOMPARE(bench.instrument()->flash().toHex(), written.toHex());
        QCOMPARE(bench.instrument()->mode(), SimulatedInstrument::Mode::Application);
        QVERIFY(liveDevice(*bench.window)); // the restarts happened on the same open port
    }

    // The voltage calibration as the demo offers it: the simulated input set to two known
    // voltages in turn, each measured, then Calibrate; the input then reads as applied.
    void calibrateVoltage()
    {
        Bench bench(instrumentWithSavedState());
        QVERIFY(bench.open());
        const MainWindow &window = *bench.window;
        const auto measure = [&](double volts, const char *real, const char *button) {
            bench.instrument()->setInputVoltage(volts);
            child<QDoubleSpinBox>(&window, real)->setValue(volts);
            const int readings = bench.sent.count("Vunc = ");
            click(window, button);
            return waitUntil([&] { return bench.sent.count("Vunc = ") > readings; });
        };
        QVERIFY(measure(1.0, "adcCalibrationV1", "adcCalibrationR1MeasureButton"));
        QVERIFY(measure(2.0, "adcCalibrationV2", "adcCalibrationR2MeasureButton"));
        QVERIFY(waitUntil(
            [&] { return child<QWidget>(&window, "adcCalibrationButton")->isEnabled(); }));
        click(window, "adcCalibrationButton");
        bench.instrument()->setInputVoltage(1.5);
        click(window, "adcCalibrationRealMasureButton");
        QVERIFY(waitUntil(
            [&] { return text(window, "adcCalibrationRealValue").endsWith("(calibrated)"); }));
        QVERIFY(qAbs(text(window, "adcCalibrationRealValue").section(' ', 0, 0).toDouble() - 1.5)
                < 2e-6);
    }

    void recordCoolDown()
    {
        QSettings().setValue(QStringLiteral("/recording/folder"), files->filePath("records"));
        Bench bench(instrumentWithSavedState());
        QVERIFY(bench.open());
        QDateTime now(QDate(2026, 12, 7), QTime(14, 3, 21, 125), Qt::UTC);
        bench.window->findChild<Recorder *>()->setClock([&] { return now; });
        bench.window->findChild<InstrumentSession *>()->setClock(
            [&] { return now.toMSecsSinceEpoch() * 1000000; });
        click(*bench.window, "recordButton");

        bench.sent.clear();
        for (int i = 0; i < 4; ++i) {
            now = now.addMSecs(250);
            bench.instrument()->sendTemperature();
            QVERIFY(
                waitUntil([&] { return curvePoints(*bench.window, "plotFrame").size() == i + 1; }));
        }
        const QList<QByteArray> kelvin = bench.temperaturesSent();
        const QString name = "SIM-000001_"
            + now.addMSecs(-1000).toLocalTime().toString(QStringLiteral("yyyy-MM-dd_HHmmss"))
            + ".csv";
        QVERIFY(waitUntil([&] {
            return text(*bench.window, "recordingStatusLabel") == "Recording " + name + ": 4 rows";
        }));
        click(*bench.window, "recordButton");
        QCOMPARE(text(*bench.window, "recordingStatusLabel"), QString());

        QCOMPARE(QDir(files->filePath("records")).entryList(QDir::Files), QStringList{name});
        QCOMPARE(readFile(files->filePath("records/" + name)),
                 QByteArray("# rimeglass ") + rimeglass::versionText
                     + " recording\n# instrument: MORVA ZURKD550, serial number SIM-000001, "
                       "firmware 1.5.2.0\n# sensor: ASC\ntime_utc,seconds,kelvin\n"
                       "2026-12-07T14:03:21.375Z,0.250,"
                     + kelvin.at(0) + "\n2026-12-07T14:03:21.625Z,0.500," + kelvin.at(1)
                     + "\n2026-12-07T14:03:21.875Z,0.750," + kelvin.at(2)
                     + "\n2026-12-07T14:03:22.125Z,1.000," + kelvin.at(3) + "\n");
    }

    // Faults of the instrument during a transfer: a lost or restarting
    // acknowledgement, a garbled identification, the operator cancelling, the port
    // vanishing. Each row checks the message the operator sees and what the instrument is
    // left with, and where it waits in its boot loader, that the upgrade run again from
    // there finishes.
    void transferFaults_data();
    void transferFaults();

private:
    InstrumentConfig instrumentWithSavedState() const
    {
        InstrumentConfig config;
        config.compat = uuidBytes(rimeglass::uuid_compat_stm32g070kb_r2);
        config.statePath = statePath;
        return config;
    }

    QByteArray seed;
    QTemporaryDir *files = nullptr;
    QString statePath;
};

// Each row: the fault at the n-th acknowledgement (or identification) of the instrument,
// and the message the window shows (none when the transfer completes).
void TestJourneys::transferFaults_data()
{
    QTest::addColumn<bool>("firmware");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("at");
    QTest::addColumn<QString>("message");

    // 20 points make a payload of 184 bytes, 4 writes of 48; acknowledgement 1 is the
    // erase's. The image of 500 bytes is padded to 504, 5 writes of 112. The messages count the
    // bytes the instrument acknowledged.
    const QString tableErased = " The custom table was erased; upload it again.";
    const QString inBootLoader = " The instrument is still in its boot loader: run the upgrade "
                                 "again to finish.";
    QTest::newRow("calibration, silent step")
        << false << "drop" << 3
        << "The instrument stopped answering during the upload. 48 of 184 bytes were written."
            + tableErased;
    QTest::newRow("calibration, restart mid-upload")
        << false << "reboot" << 3
        << "The instrument restarted during the upload. 48 of 184 bytes were written."
            + tableErased;
    QTest::newRow("calibration, port vanishes")
        << false << "vanish" << 2
        << "The port was closed during the upload. 48 of 184 bytes were written." + tableErased;
    QTest::newRow("firmware, silent erase")
        << true << "drop" << 1
        << "The instrument stopped answering during the upgrade. 0 of 504 bytes were written."
            + inBootLoader;
    QTest::newRow("firmware, restart mid-upgrade")
        << true << "reboot" << 3
        << "The instrument restarted during the upgrade. 112 of 504 bytes were written."
            + inBootLoader;
    QTest::newRow("firmware, cancelled")
        << true << "cancel" << 2
        << "The upgrade was cancelled. 0 of 504 bytes were written." + inBootLoader;
    // An identification with a garbled version names no instrument: it is asked for
    // again, and the image for the revision the instrument then reports is chosen.
    QTest::newRow("firmware, garbled identification") << true << "garble" << 1 << QString();
    QTest::newRow("firmware, port vanishes")
        << true << "vanish" << 2
        << "The port was closed during the upgrade. 112 of 504 bytes were written." + inBootLoader;
}

void TestJourneys::transferFaults()
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
    config.faults.garbleIdentification = fault == "garble" ? at : 0;
    Bench bench(config);
    QVERIFY(bench.open());
    const QString port = bench.simulator->portName();

    // Pulled out right after its n-th write acknowledgement, the instrument's side of the line
    // closes.
    const QByteArray acknowledgement = firmware ? "*WRITE_OK" : "*cal-write-done";
    QObject::connect(bench.instrument(), &SimulatedInstrument::transmit, bench.window.get(), [&] {
        if (fault == "vanish" && bench.sent.count(acknowledgement) == at)
            QTimer::singleShot(0, [&] { bench.simulator.reset(); });
    });

    const QByteArray image = firmwareImage("1.6.0.0", 500);
    const QString table = files->filePath(QStringLiteral("sensor.dat"));
    QByteArray tableText = "T V\n";
    for (int i = 0; i < 20; ++i)
        tableText += QByteArray::number(10.5 + i, 'f', 5) + " "
            + QByteArray::number(1.5 - i * 0.03125, 'f', 5) + "\n";
    QVERIFY(writeFile(table, tableText));
    const QString container = files->filePath(QStringLiteral("firmware.crp"));
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
            liveDevice(*bench.window)->setTransferTimeouts({50, 50, 50, 50});
        else
            click(*bench.window, "transferCancelButton");
    }

    if (message.isEmpty()) {
        QVERIFY(waitUntil([&] { return text(*bench.window, "versionValue") == "1.6.0.0"; }));
        QCOMPARE(bench.instrument()->flash(), wirebytes::paddedWithFill(image));
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
        bench.replaceInstrument(config);
        QVERIFY(bench.open());
        QCOMPARE(text(*bench.window, "modelValue"), QStringLiteral("ZURKD550"));
        return;
    }
    if (!firmware) {
        QCOMPARE(bench.instrument()->calibrationTable(), QByteArray());
        return;
    }
    // Kept in the boot loader by the tool, not left to start its old application.
    QVERIFY(waitUntil(
        [&] { return bench.instrument()->mode() != SimulatedInstrument::Mode::BootWindow; }));
    QCOMPARE(bench.instrument()->mode(), SimulatedInstrument::Mode::Management);
    QCOMPARE(bench.instrument()->firmwareVersion(), QStringLiteral("1.5.2.0"));

    // The boot loader took over the port's identification; an upgrade from there starts
    // at its erase, without a reset, and runs to the end.
    QVERIFY(waitUntil([&] { return text(*bench.window, "modelValue") == "ZURKD550-BS"; }));
    bench.received.clear();
    start();
    QVERIFY(waitUntil([&] { return text(*bench.window, "versionValue") == "1.6.0.0"; }));
    QVERIFY(bench.received.contains("@02\n") && !bench.received.contains(":system:reset\n"));
    QCOMPARE(bench.instrument()->flash(), wirebytes::paddedWithFill(image));
    QCOMPARE(bench.instrument()->mode(), SimulatedInstrument::Mode::Application);
}

RIMEGLASS_TEST_MAIN(QApplication, TestJourneys)
#include "test_journeys.moc"
