// One journey per flow, the real window against the simulated instrument; each ends with
// what the operator sees and what the instrument holds.

#include "containerpacker.h"
#include "recorder.h"
#include "rimeglass-version.h"
#include "signingkeys.h"
#include "simbench.h"
#include "testmain.h"
#include "wirebytes.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
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

// The temperatures of the "*T = <kelvin> K" lines sent, as the tool should show them.
QList<QByteArray> sentTemperatures(const QByteArray &sent)
{
    QList<QByteArray> values;
    for (const QByteArray &line : sent.split('\n')) {
        if (line.startsWith("*T = ") && line.endsWith(" K\r"))
            values.append(line.mid(5, line.size() - 8));
    }
    return values;
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

        // Each reading lands in the readout and the plot.
        bench.sent.clear();
        for (int i = 0; i < 3; ++i)
            bench.instrument()->sendTemperature();
        const QList<QByteArray> sent = sentTemperatures(bench.sent);
        QCOMPARE(sent.size(), 3);
        QVERIFY(waitUntil([&] { return curvePoints(window, "plotFrame").size() == 3; }));
        QCOMPARE(text(window, "temperatureValue"), QString::fromLatin1(sent.last() + " K"));
        QCOMPARE(curvePoints(window, "plotFrame").first().y(), sent.first().toDouble());
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
        int count = 0;
        const QByteArray expected = calibrationPayload("D6068043", readFile(tablePath), &count);
        QCOMPARE(count, 71);
        QCOMPARE(bench.instrument()->calibrationTable().toHex(), expected.toHex());
        QVERIFY(waitUntil([&] { return shown(*bench.window, "progressBar") == "100"; }));
    }

    void upgrade_data()
    {
        QTest::addColumn<QString>("bootLoaderVersion");
        QTest::addColumn<bool>("revision2");

        // Boot loaders before 1.4.0.0 take "flash erase", later ones "@02"; the image for the
        // instrument's revision is the one written.
        QTest::newRow("text dialect, revision 1") << "1.3.2.0" << false;
        QTest::newRow("short-code dialect, revision 2") << "1.4.0.0" << true;
    }

    void upgrade()
    {
        QFETCH(QString, bootLoaderVersion);
        QFETCH(bool, revision2);
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
        Bench bench(config);
        QVERIFY(bench.open());

        answerNextFileDialog(container);
        const auto question = answerNextMessageBox(QMessageBox::Yes);
        click(*bench.window, "upgradeButton");
        QCOMPARE(question->text,
                 QStringLiteral("Upgrade firmware from version 1.5.2.0 to version 1.6.0.0?"));

        QVERIFY(waitUntil([&] { return text(*bench.window, "versionValue") == "1.6.0.0"; }));
        const QByteArray written = wirebytes::paddedWithFill(revision2 ? image2 : image1);
        QCOMPARE(bench.instrument()->flash().toHex(), written.toHex());
        QCOMPARE(bench.instrument()->mode(), Instrument::Mode::Application);
        QVERIFY(bench.received.contains(revision2 ? "@02\n" : "flash erase\n"));
        QVERIFY(liveDevice(*bench.window)); // the restarts happened on the same open port
    }

    void recordCoolDown()
    {
        QSettings().setValue(QStringLiteral("/recording/folder"), files->filePath("records"));
        Bench bench(instrumentWithSavedState());
        QVERIFY(bench.open());
        QDateTime now(QDate(2026, 12, 7), QTime(14, 3, 21, 125), Qt::UTC);
        bench.window->findChild<Recorder *>()->setClock([&] { return now; });
        click(*bench.window, "recordButton");

        bench.sent.clear();
        for (int i = 0; i < 4; ++i) {
            now = now.addMSecs(250);
            bench.instrument()->sendTemperature();
            QVERIFY(
                waitUntil([&] { return curvePoints(*bench.window, "plotFrame").size() == i + 1; }));
        }
        const QList<QByteArray> kelvin = sentTemperatures(bench.sent);
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

RIMEGLASS_TEST_MAIN(QApplication, TestJourneys)
#include "test_journeys.moc"
