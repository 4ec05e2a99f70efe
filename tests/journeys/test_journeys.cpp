// One journey of an operator per flow, the real window against the simulated instrument:
// connecting and reading back, changing and saving, uploading a calibration table,
// upgrading the firmware through each boot-loader dialect and recording a cool-down.
// Each ends with what the operator sees and what the instrument holds.

#include "containerpacker.h"
#include "developmentseed.h"
#include "recorder.h"
#include "rimeglass-version.h"
#include "simbench.h"
#include "testmain.h"
#include "wirebytes.h"

#include <QDir>
#include <QDoubleSpinBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>

using namespace windowdriver;
using namespace simbench;

namespace {

using Settings = QMap<QString, QString>;

// Saved settings that differ from the factory's and the window's defaults, so that their
// arrival in the window is unmistakable; the display period is the last one read back.
const Settings savedBefore = {{"cal", "asc"},
                              {"rs232:period", "250"},
                              {"rs485:period", "0"},
                              {"relay1:default", "0"},
                              {"relay1:temp", "12.500"},
                              {"relay1:hyst", "0.750"},
                              {"relay2:default", "1"},
                              {"relay2:temp", "150.250"},
                              {"relay2:hyst", "4.000"},
                              {"display:period", "1234"}};
const Settings shownBefore = {{"sensorCombo", "ASC"},
                              {"rs232AutomaticOutputCombo", "Enabled"},
                              {"rs232OutputPeriodSpin", "250"},
                              {"rs485AutomaticOutputCombo", "Disabled"},
                              {"relay1DefaultStateCombo", "Off"},
                              {"relay1TempSpin", "12.500"},
                              {"relay1HystSpin", "0.750"},
                              {"relay2DefaultStateCombo", "On"},
                              {"relay2TempSpin", "150.250"},
                              {"relay2HystSpin", "4.000"},
                              {"displayRefreshSpin", "1234"}};
const Settings savedAfter
    = {{"cal", "dt-670"},         {"rs232:period", "400"},    {"rs485:period", "600"},
       {"relay1:default", "1"},   {"relay1:temp", "42.125"},  {"relay1:hyst", "0.500"},
       {"relay2:default", "0"},   {"relay2:temp", "210.750"}, {"relay2:hyst", "3.250"},
       {"display:period", "2500"}};
const Settings shownAfter
    = {{"sensorCombo", "DT-670"},         {"rs232AutomaticOutputCombo", "Enabled"},
       {"rs232OutputPeriodSpin", "400"},  {"rs485AutomaticOutputCombo", "Enabled"},
       {"relay1DefaultStateCombo", "On"}, {"relay1TempSpin", "42.125"},
       {"relay1HystSpin", "0.500"},       {"relay2DefaultStateCombo", "Off"},
       {"relay2TempSpin", "210.750"},     {"relay2HystSpin", "3.250"},
       {"displayRefreshSpin", "2500"}};

QJsonObject stateFile(const QString &path)
{
    return QJsonDocument::fromJson(readFile(path)).object();
}

Settings savedSettings(const QString &statePath)
{
    Settings settings;
    const QJsonObject stored = stateFile(statePath).value(QStringLiteral("settings")).toObject();
    for (auto it = stored.begin(); it != stored.end(); ++it)
        settings.insert(it.key(), it.value().toString());
    return settings;
}

// What the named widgets show: a combo's current text, a spin box's value with its decimals.
Settings shownSettings(const MainWindow &window, const QStringList &names)
{
    Settings shown;
    for (const QString &name : names) {
        QWidget *widget = child<QWidget>(&window, name.toLatin1().constData());
        if (auto *combo = qobject_cast<QComboBox *>(widget))
            shown.insert(name, combo->currentText());
        else if (auto *real = qobject_cast<QDoubleSpinBox *>(widget))
            shown.insert(name, QString::number(real->value(), 'f', real->decimals()));
        else if (auto *whole = qobject_cast<QSpinBox *>(widget))
            shown.insert(name, QString::number(whole->value()));
    }
    return shown;
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
    void initTestCase();
    void init();
    void cleanup();

    void connectAndReadBack();
    void changeAndSave();
    void uploadCalibrationTable();
    void upgrade_data();
    void upgrade();
    void recordCoolDown();

private:
    InstrumentConfig instrumentWithSavedState() const;

    QByteArray seed;
    QTemporaryDir *files = nullptr;
    QString statePath;
};

void TestJourneys::initTestCase()
{
    QApplication::setQuitOnLastWindowClosed(false);
    seed = developmentseed::load();
    QCOMPARE(seed.size(), 32);
}

void TestJourneys::init()
{
    QSettings().clear();
    files = new QTemporaryDir;
    statePath = files->filePath(QStringLiteral("state.json"));
    QJsonObject settings;
    for (auto it = savedBefore.begin(); it != savedBefore.end(); ++it)
        settings.insert(it.key(), it.value());
    QVERIFY(writeFile(statePath, QJsonDocument(QJsonObject{{"settings", settings}}).toJson()));
}

void TestJourneys::cleanup()
{
    cancelPendingAnswers();
    delete files;
}

InstrumentConfig TestJourneys::instrumentWithSavedState() const
{
    InstrumentConfig config;
    config.compat = uuidBytes(rimeglass::uuid_compat_stm32g070kb_r2);
    config.statePath = statePath;
    return config;
}

void TestJourneys::connectAndReadBack()
{
    InstrumentConfig config = instrumentWithSavedState();
    config.serialNumber = QStringLiteral("J-1001");
    Bench bench(config);
    QVERIFY(bench.open());
    const MainWindow &window = *bench.window;
    QCOMPARE(text(window, "modelValue"), QStringLiteral("ZURKD550"));
    QCOMPARE(text(window, "versionValue"), QStringLiteral("1.5.2.0"));
    QCOMPARE(text(window, "serialNumberValue"), QStringLiteral("J-1001"));
    QCOMPARE(text(window, "sensorNameValue"), QStringLiteral("ASC"));
    QCOMPARE(shownSettings(window, shownBefore.keys()), shownBefore);
    // Read back, not sent back: the instrument still holds what it had saved.
    QVERIFY(!bench.received.contains(":save"));
    QCOMPARE(savedSettings(statePath), savedBefore);

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

void TestJourneys::changeAndSave()
{
    {
        Bench bench(instrumentWithSavedState());
        QVERIFY(bench.open());
        const MainWindow &window = *bench.window;
        child<QComboBox>(&window, "sensorCombo")->setCurrentIndex(2); // DT-670
        child<QComboBox>(&window, "relay1DefaultStateCombo")->setCurrentIndex(1);
        child<QDoubleSpinBox>(&window, "relay1TempSpin")->setValue(42.125);
        child<QDoubleSpinBox>(&window, "relay1HystSpin")->setValue(0.5);
        child<QComboBox>(&window, "relay2DefaultStateCombo")->setCurrentIndex(0);
        child<QDoubleSpinBox>(&window, "relay2TempSpin")->setValue(210.75);
        child<QDoubleSpinBox>(&window, "relay2HystSpin")->setValue(3.25);
        child<QDoubleSpinBox>(&window, "rs232OutputPeriodSpin")->setValue(400);
        child<QComboBox>(&window, "rs485AutomaticOutputCombo")->setCurrentIndex(1);
        child<QDoubleSpinBox>(&window, "rs485OutputPeriodSpin")->setValue(600);
        child<QSpinBox>(&window, "displayRefreshSpin")->setValue(2500);
        click(window, "saveButton");
        QVERIFY(bench.noted(QStringLiteral("state written to")));
        QCOMPARE(statusText(window), QStringLiteral("Settings saved in the instrument"));
        QCOMPARE(savedSettings(statePath), savedAfter);
    }

    // A window that remembers nothing of its own and the instrument restarted on its
    // saved state: every value must come from the instrument.
    QSettings().clear();
    Bench restarted(instrumentWithSavedState());
    QVERIFY(restarted.open());
    QCOMPARE(shownSettings(*restarted.window, shownAfter.keys()), shownAfter);
    QCOMPARE(text(*restarted.window, "sensorNameValue"), QStringLiteral("DT-670"));
}

void TestJourneys::uploadCalibrationTable()
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
    QCOMPARE(readFile(config.calibrationDumpPath).toHex(), expected.toHex());
    QCOMPARE(stateFile(statePath).value(QStringLiteral("calibration-table")).toString(),
             QString::fromLatin1(expected.toHex()));
    QVERIFY(waitUntil([&] {
        return statusText(*bench.window)
            == QLatin1String("Calibration table \"D6068043\" uploaded, 71 points");
    }));
    QCOMPARE(child<QProgressBar>(bench.window.get(), "progressBar")->value(), 100);
}

void TestJourneys::upgrade_data()
{
    QTest::addColumn<QString>("bootLoaderVersion");
    QTest::addColumn<bool>("revision2");

    // Boot loaders before 1.4.0.0 take "flash erase" and "flash write", later ones "@02"
    // and "@03"; the container's image for the instrument's revision is the one written.
    QTest::newRow("text dialect, revision 1") << "1.3.2.0" << false;
    QTest::newRow("short-code dialect, revision 2") << "1.4.0.0" << true;
}

void TestJourneys::upgrade()
{
    QFETCH(QString, bootLoaderVersion);
    QFETCH(bool, revision2);
    if (!developmentseed::trustedByThisBuild(seed))
        QSKIP("this build trusts another key than the development one");

    const QByteArray image1 = firmwareImage("1.6.0.0", 3009, 7);
    const QByteArray image2 = firmwareImage("1.6.0.0", 2211, 99);
    ContainerPacker packer;
    QVERIFY(packer.setVersion(QStringLiteral("1.6.0.0")));
    QVERIFY(packer.setVendor(QStringLiteral("MORVA")));
    QVERIFY(packer.setModel(QStringLiteral("ZURKD550")));
    QVERIFY(packer.addImage(uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1), image1));
    QVERIFY(packer.addImage(uuidBytes(rimeglass::uuid_compat_stm32g070kb_r2), image2));
    const QString container = files->filePath(QStringLiteral("zurkd550-1.6.0.0.crp"));
    QVERIFY(writeFile(container, packer.pack(seed)));

    InstrumentConfig config = instrumentWithSavedState();
    config.bootLoaderVersion = bootLoaderVersion;
    if (!revision2)
        config.compat = uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1);
    config.flashDumpPath = files->filePath(QStringLiteral("flash.bin"));
    Bench bench(config);
    QVERIFY(bench.open());

    answerNextFileDialog(container);
    const auto question = answerNextMessageBox(QMessageBox::Yes);
    click(*bench.window, "upgradeButton");
    QVERIFY(question->shown);
    QCOMPARE(question->text,
             QStringLiteral("Upgrade firmware from version 1.5.2.0 to version 1.6.0.0?"));

    QVERIFY(waitUntil([&] { return text(*bench.window, "versionValue") == "1.6.0.0"; }));
    QCOMPARE(statusText(*bench.window), QStringLiteral("Firmware upgraded to 1.6.0.0"));
    const QByteArray written = wirebytes::paddedWithFill(revision2 ? image2 : image1);
    QCOMPARE(readFile(config.flashDumpPath).toHex(), written.toHex());
    QCOMPARE(bench.instrument()->firmwareVersion(), QStringLiteral("1.6.0.0"));
    QCOMPARE(bench.instrument()->mode(), Instrument::Mode::Application);
    QVERIFY(bench.received.contains(revision2 ? "@02\n" : "flash erase\n"));
    QCOMPARE(child<QProgressBar>(bench.window.get(), "progressBar")->value(), 100);
    QVERIFY(liveDevice(*bench.window)); // the restarts happened on the same open port
}

void TestJourneys::recordCoolDown()
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
        QVERIFY(waitUntil([&] { return curvePoints(*bench.window, "plotFrame").size() == i + 1; }));
    }
    const QList<QByteArray> kelvin = sentTemperatures(bench.sent);
    QCOMPARE(kelvin.size(), 4);
    QVERIFY(kelvin.first().toDouble() > kelvin.last().toDouble()); // cooling down
    const QString name = "SIM-000001_"
        + now.addMSecs(-1000).toLocalTime().toString(QStringLiteral("yyyy-MM-dd_HHmmss")) + ".csv";
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

RIMEGLASS_TEST_MAIN(QApplication, TestJourneys)
#include "test_journeys.moc"
