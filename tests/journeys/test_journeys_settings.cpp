// Journeys of an operator with the real window and the rimeglass-sim program: connecting
// and reading the settings back, changing every setting and finding it again after the
// instrument restarted, the two-point calibration of the voltage input, and the
// instrument going away while the window has it open.

#include "journeysteps.h"
#include "simulatorprocess.h"
#include "testmain.h"
#include "windowdriver.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>

using namespace windowdriver;
using namespace journeysteps;

namespace {

const int waitMs = 10000;

// The window's view of savedBeforeTheJourney().
Settings shownBeforeTheJourney()
{
    return {{"sensorCombo", "ASC"},
            {"sensorNameValue", "ASC"},
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
}

// Every setting changed as an operator would, then Save.
void changeEverySetting(const MainWindow &window)
{
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
}

// What the instrument stores after changeEverySetting(), in its own report form.
Settings savedAfterTheChanges()
{
    return {{"cal", "dt-670"},         {"rs232:period", "400"},    {"rs485:period", "600"},
            {"relay1:default", "1"},   {"relay1:temp", "42.125"},  {"relay1:hyst", "0.500"},
            {"relay2:default", "0"},   {"relay2:temp", "210.750"}, {"relay2:hyst", "3.250"},
            {"display:period", "2500"}};
}

Settings shownAfterTheChanges()
{
    return {{"sensorCombo", "DT-670"},
            {"sensorNameValue", "DT-670"},
            {"rs232AutomaticOutputCombo", "Enabled"},
            {"rs232OutputPeriodSpin", "400"},
            {"rs485AutomaticOutputCombo", "Enabled"},
            {"rs485OutputPeriodSpin", "600"},
            {"relay1DefaultStateCombo", "On"},
            {"relay1TempSpin", "42.125"},
            {"relay1HystSpin", "0.500"},
            {"relay2DefaultStateCombo", "Off"},
            {"relay2TempSpin", "210.750"},
            {"relay2HystSpin", "3.250"},
            {"displayRefreshSpin", "2500"}};
}

QString voltsText(double volts)
{
    return QString::asprintf("%8.6lf V", volts);
}

// The number of a calibrated-voltage field such as "0.250000 V (calibrated)".
double shownVolts(const QString &text)
{
    return text.section(QLatin1Char(' '), 0, 0).toDouble();
}

} // namespace

class TestJourneysSettings : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void connectAndReadBack();
    void settingsSurviveRestart();
    void adcCalibration();
    void instrumentGoesAway_data();
    void instrumentGoesAway();

private:
    QTemporaryDir *files = nullptr;
    QString statePath;
};

void TestJourneysSettings::init()
{
    QSettings().clear();
    files = new QTemporaryDir;
    QVERIFY(files->isValid());
    statePath = files->filePath(QStringLiteral("instrument-state.json"));
    QVERIFY(writeStateFile(statePath, savedBeforeTheJourney()));
}

void TestJourneysSettings::cleanup()
{
    cancelPendingAnswers();
    delete files;
    files = nullptr;
}

void TestJourneysSettings::connectAndReadBack()
{
    SimulatorProcess instrument({"--state", statePath, "--serial", "J-1001", "--firmware-version",
                                 "1.5.2.0", "--revision", "r2"});
    QVERIFY2(instrument.start(), instrument.errors().constData());
    MainWindow window;
    openInstrumentPort(window, instrument);
    QCOMPARE(statusText(window), QStringLiteral("Ready"));

    QTRY_COMPARE_WITH_TIMEOUT(text(window, "modelValue"), QStringLiteral("ZURKD550"), waitMs);
    QCOMPARE(text(window, "versionValue"), QStringLiteral("1.5.2.0"));
    QCOMPARE(text(window, "serialNumberValue"), QStringLiteral("J-1001"));
    QCOMPARE(liveDevice(window)->compat.toHex(), QByteArray("21de3ef209bf4a7883a09eb750df2e57"));

    const Settings expected = shownBeforeTheJourney();
    QTRY_COMPARE_WITH_TIMEOUT(
        shownSettings(window, {"displayRefreshSpin"}).value("displayRefreshSpin"),
        expected.value("displayRefreshSpin"), waitMs);
    QCOMPARE(shownSettings(window, expected.keys()), expected);
    // Read back, not sent back: the instrument still holds what it had saved.
    QCOMPARE(savedSettings(statePath), savedBeforeTheJourney());

    // The instrument reports every 250 ms; each reading lands in the readout and the plot.
    static const QRegularExpression readout(QStringLiteral("^(\\d+\\.\\d{3}) K$"));
    QTRY_VERIFY_WITH_TIMEOUT(readout.match(text(window, "temperatureValue")).hasMatch(), waitMs);
    QTRY_VERIFY_WITH_TIMEOUT(curvePoints(window, "plotFrame").size() >= 2, waitMs);
    const double shown = readout.match(text(window, "temperatureValue")).captured(1).toDouble();
    QVERIFY2(shown > 77.0 && shown < 296.0, qPrintable(text(window, "temperatureValue")));
    QCOMPARE(QString::asprintf("%5.3lf K", curvePoints(window, "plotFrame").last().y()),
             text(window, "temperatureValue"));
}

void TestJourneysSettings::settingsSurviveRestart()
{
    {
        SimulatorProcess instrument({"--state", statePath});
        QVERIFY2(instrument.start(), instrument.errors().constData());
        MainWindow window;
        openInstrumentPort(window, instrument);
        QTRY_COMPARE_WITH_TIMEOUT(
            shownSettings(window, {"displayRefreshSpin"}).value("displayRefreshSpin"),
            QStringLiteral("1234"), waitMs);

        changeEverySetting(window);
        QVERIFY2(instrument.waitForMessage("state written to " + statePath.toLocal8Bit()),
                 instrument.errors().constData());
        QCOMPARE(savedSettings(statePath), savedAfterTheChanges());

        click(window, "serialPortCloseButton");
        QCOMPARE(statusText(window), QStringLiteral("Port closed"));
        QVERIFY(instrument.stop());
    }

    // A new window that remembers nothing of its own and a fresh instrument on the same
    // saved state: every value must come from the instrument.
    QSettings().clear();
    SimulatorProcess restarted({"--state", statePath});
    QVERIFY2(restarted.start(), restarted.errors().constData());
    MainWindow window;
    openInstrumentPort(window, restarted);
    const Settings expected = shownAfterTheChanges();
    QTRY_COMPARE_WITH_TIMEOUT(
        shownSettings(window, {"displayRefreshSpin"}).value("displayRefreshSpin"),
        expected.value("displayRefreshSpin"), waitMs);
    QCOMPARE(shownSettings(window, expected.keys()), expected);
}

void TestJourneysSettings::adcCalibration()
{
    // A converter with a gain error of 1.25 and an offset of -2500 µV, both exact in
    // binary, so that the readings are exact numbers of microvolts.
    const double gain = 1.25;
    const double offsetVolts = -0.0025;
    const auto reading = [&](double volts) {
        return gain * volts + offsetVolts;
    };

    SimulatorProcess instrument({"--state", statePath, "--adc-gain", "1.25", "--adc-offset",
                                 "-2500", "--input-voltage", "1.0"});
    QVERIFY2(instrument.start(), instrument.errors().constData());
    MainWindow window;
    openInstrumentPort(window, instrument);
    QTRY_COMPARE_WITH_TIMEOUT(
        shownSettings(window, {"displayRefreshSpin"}).value("displayRefreshSpin"),
        QStringLiteral("1234"), waitMs);

    // Before any calibration the instrument reports its raw reading as uncalibrated.
    click(window, "adcCalibrationRealMasureButton");
    QTRY_COMPARE_WITH_TIMEOUT(text(window, "adcCalibrationRealValue"),
                              voltsText(reading(1.0)) + QStringLiteral(" (uncalibrated)"), waitMs);

    // Point 1: 1 V at the input.
    child<QDoubleSpinBox>(&window, "adcCalibrationV1")->setValue(1.0);
    click(window, "adcCalibrationR1MeasureButton");
    QTRY_COMPARE_WITH_TIMEOUT(text(window, "adcCalibrationR1"), voltsText(reading(1.0)), waitMs);

    // Point 2: 0.25 V at the input, set on the simulator's console.
    instrument.command("input 0.25");
    QVERIFY(instrument.waitForMessage("input voltage 0.250000 V"));
    child<QDoubleSpinBox>(&window, "adcCalibrationV2")->setValue(0.25);
    click(window, "adcCalibrationR2MeasureButton");
    QTRY_COMPARE_WITH_TIMEOUT(text(window, "adcCalibrationR2"), voltsText(reading(0.25)), waitMs);

    // The fit undoes the converter's error.
    QCOMPARE(text(window, "adcCalibrationSlope"), QString::asprintf("%11.9lf", 1.0 / gain));
    QCOMPARE(text(window, "adcCalibrationOffset"), voltsText(-offsetVolts));

    click(window, "adcCalibrationButton");
    click(window, "adcCalibrationRealMasureButton");
    QTRY_VERIFY_WITH_TIMEOUT(
        text(window, "adcCalibrationRealValue").endsWith(QLatin1String(" V (calibrated)")), waitMs);
    // Within the instrument's fixed-point arithmetic, a microvolt or two.
    const double calibrated = shownVolts(text(window, "adcCalibrationRealValue"));
    QVERIFY2(qAbs(calibrated - 0.25) <= 2e-6, qPrintable(text(window, "adcCalibrationRealValue")));

    // Saved, the calibration is in the instrument's state.
    click(window, "saveButton2");
    QVERIFY(instrument.waitForMessage("state written to " + statePath.toLocal8Bit()));
    const QJsonObject state = readStateFile(statePath);
    QVERIFY(qAbs(state.value(QStringLiteral("adc-offset")).toDouble() - (-offsetVolts * 1e6))
            <= 1.0);
    QVERIFY(qAbs(state.value(QStringLiteral("adc-slope")).toDouble() - 16777216.0 / gain) <= 1.0);

    // Reset calibration: the instrument reports uncalibrated readings again.
    answerNextMessageBox(QMessageBox::Yes);
    click(window, "adcCalibrationResetButton");
    click(window, "adcCalibrationRealMasureButton");
    QTRY_COMPARE_WITH_TIMEOUT(text(window, "adcCalibrationRealValue"),
                              voltsText(reading(0.25)) + QStringLiteral(" (uncalibrated)"), waitMs);
}

void TestJourneysSettings::instrumentGoesAway_data()
{
    QTest::addColumn<bool>("killed");
    QTest::newRow("killed") << true;
    QTest::newRow("terminated") << false;
}

void TestJourneysSettings::instrumentGoesAway()
{
    QFETCH(bool, killed);

    SimulatorProcess instrument({"--state", statePath, "--serial", "GONE-1"});
    QVERIFY2(instrument.start(), instrument.errors().constData());
    MainWindow window;
    openInstrumentPort(window, instrument);
    QTRY_COMPARE_WITH_TIMEOUT(text(window, "serialNumberValue"), QStringLiteral("GONE-1"), waitMs);

    // The window writes nothing after this: it learns of the loss from the line alone.
    QTest::ignoreMessage(QtDebugMsg, "Closing port ...");
    QVERIFY(killed ? instrument.kill() : instrument.stop());
    QTRY_COMPARE_WITH_TIMEOUT(
        statusText(window),
        "Port lost \u2014 waiting for " + instrument.portName() + " to come back", waitMs);
    QVERIFY(!liveDevice(window));
    QVERIFY(child<QWidget>(&window, "serialPortOpenButton")->isEnabled());
    QVERIFY(child<QWidget>(&window, "serialPortCloseButton")->isEnabled());
    QCOMPARE(text(window, "serialNumberValue"), QStringLiteral("-"));

    // Another instrument can be opened straight away.
    SimulatorProcess replacement({"--state", statePath, "--serial", "BACK-2"});
    QVERIFY2(replacement.start(), replacement.errors().constData());
    openInstrumentPort(window, replacement);
    QTRY_COMPARE_WITH_TIMEOUT(text(window, "serialNumberValue"), QStringLiteral("BACK-2"), waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(statusText(window),
                              QStringLiteral("Settings read from the instrument"), waitMs);
}

RIMEGLASS_TEST_MAIN(QApplication, TestJourneysSettings)
#include "test_journeys_settings.moc"
