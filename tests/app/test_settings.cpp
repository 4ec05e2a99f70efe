// The instrument's settings in the main window: the read-back after identification,
// the settings slots, Save and Apply, and the ADC calibration panel, watched at the
// wire (a pseudo-terminal stands in for the instrument) and in the settings store.

#include "testmain.h"
#include "windowdriver.h"

#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QSpinBox>
#include <QStringList>
#include <QVariantMap>

using namespace windowdriver;

namespace {

const QByteArray compatLine("*COMPAT = 3cc3a93f426145ff95bf653df2686cb0");

const QList<QByteArray> readBackQueries
    = {":cal?\n",         ":rs232:period?\n",  ":rs485:period?\n",   ":relay1:default?\n",
       ":relay1:temp?\n", ":relay1:hyst?\n",   ":relay2:default?\n", ":relay2:temp?\n",
       ":relay2:hyst?\n", ":display:period?\n"};

// The query the tool is expected to send after `reports` reports of one read-back.
QByteArray queryAfter(int reports)
{
    return reports < readBackQueries.size() ? readBackQueries.at(reports) : QByteArray();
}

QByteArray queriesFrom(int stage)
{
    QByteArray all;
    for (int i = stage; i < readBackQueries.size(); ++i)
        all += readBackQueries.at(i);
    return all;
}

// Plays an identification reply and returns what the tool sent in answer; the
// compatibility query of newer firmware is answered on the way.
QByteArray identify(const MainWindow &window, PseudoTerminal &peer, const QByteArray &version,
                    const QByteArray &model = "ZURKD550")
{
    peer.setResponder([](const QByteArray &token) {
        return token == "@00\n" ? QList<QByteArray>{compatLine} : QList<QByteArray>{};
    });
    peer.sendLine("MORVA," + model + ",20417," + version);
    const QByteArray sent = peer.collect(toolPort(window));
    peer.setResponder(PseudoTerminal::Responder());
    return sent;
}

// Answers every outstanding read-back query with a report no widget listens to.
QByteArray answerReadBack(const MainWindow &window, PseudoTerminal &peer, int reports)
{
    QByteArray lines;
    for (int i = 0; i < reports; ++i)
        lines += "noise = 0\r\n";
    peer.send(lines);
    return peer.collect(toolPort(window));
}

// Opens the port, identifies an application firmware of `version` and lets its
// read-back run to the end; returns everything the tool sent.
QByteArray connectInstrument(const MainWindow &window, PseudoTerminal &peer, const QByteArray &version)
{
    QByteArray sent = openOn(window, peer);
    sent += identify(window, peer, version);
    sent += answerReadBack(window, peer, readBackQueries.size());
    return sent;
}

// Sets a settings widget the way the operator's finished edit does.
void setWidget(const MainWindow &window, const QString &name, const QVariant &value)
{
    QObject *widget = window.findChild<QObject *>(name);
    if (auto *combo = qobject_cast<QComboBox *>(widget))
        combo->setCurrentIndex(value.toInt());
    else if (auto *doubleSpin = qobject_cast<QDoubleSpinBox *>(widget))
        doubleSpin->setValue(value.toDouble());
    else if (auto *spin = qobject_cast<QSpinBox *>(widget))
        spin->setValue(value.toInt());
    else
        qFatal("no settings widget named %s", qPrintable(name));
}

// What the Settings tab (and the fields that follow it) show, widget by widget.
QMap<QString, QString> settingsView(const MainWindow &window)
{
    QMap<QString, QString> view;
    for (const char *name : {"sensorCombo", "relay1DefaultStateCombo", "relay2DefaultStateCombo",
                             "rs232AutomaticOutputCombo", "rs485AutomaticOutputCombo"})
        view.insert(QString::fromLatin1(name), child<QComboBox>(&window, name)->currentText());
    for (const char *name : {"relay1TempSpin", "relay1HystSpin", "relay2TempSpin", "relay2HystSpin",
                             "rs232OutputPeriodSpin", "rs485OutputPeriodSpin"})
        view.insert(QString::fromLatin1(name),
                    QString::number(child<QDoubleSpinBox>(&window, name)->value()));
    view.insert(QStringLiteral("displayRefreshSpin"),
                QString::number(child<QSpinBox>(&window, "displayRefreshSpin")->value()));
    for (const char *name : {"sensorNameValue", "adcCalibrationR1", "adcCalibrationR2"})
        view.insert(QString::fromLatin1(name), text(window, name));
    view.insert(QStringLiteral("enableSerialOutputButton"),
                child<QWidget>(&window, "enableSerialOutputButton")->isHidden()
                    ? QStringLiteral("hidden")
                    : QStringLiteral("shown"));
    return view;
}

QString plainKey(const QString &key)
{
    return key.startsWith(QLatin1Char('/')) ? key.mid(1) : key;
}

// Every key of the store with its value as text, as the store itself would list them.
QMap<QString, QString> storeContents()
{
    QSettings store;
    QMap<QString, QString> contents;
    for (const QString &key : store.allKeys())
        contents.insert(key, store.value(key).toString());
    return contents;
}

void preset(const QVariantMap &values)
{
    QSettings store;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        store.setValue(it.key(), it.value());
    store.sync();
}

QMap<QString, QString> withEntries(QMap<QString, QString> base, const QVariantMap &entries)
{
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        base.insert(plainKey(it.key()), it.value().toString());
    return base;
}

// Maps compared entry by entry print the entry that differs.
QStringList entries(const QMap<QString, QString> &map)
{
    QStringList list;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        list << it.key() + QLatin1Char('=') + it.value();
    return list;
}

QString volts(double value)
{
    return QString::asprintf("%8.6lf V", value);
}

// The calibration command for an offset in volts and a slope, with both fields
// truncated toward zero: microvolts and 24 fraction bits.
QByteArray calibrationCommand(double offset, double slope)
{
    return QString::asprintf(":volt:cal %08x %08x\n", quint32(qint32(offset * 1000000.0)),
                             quint32(qint32(slope * 16777216.0)))
        .toLatin1();
}

// Presses a point's Measure and plays the instrument's reading once the query is in;
// returns what the tool sent.
QByteArray measurePoint(const MainWindow &window, PseudoTerminal &peer, const char *button, int microvolts)
{
    click(window, button);
    QByteArray sent = peer.collect(toolPort(window));
    peer.sendLine("Vunc = " + QByteArray::number(microvolts));
    sent += peer.collect(toolPort(window));
    return sent;
}

struct AdcFit
{
    double slope;
    double offset;
};

// real = slope * (adc + offset), through both points.
AdcFit fitThrough(double real1, double real2, double adc1, double adc2)
{
    const double slope = (real1 - real2) / (adc1 - adc2);
    return {slope, real1 / slope - adc1};
}

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void readBack_data();
    void readBack();
    void readBackRestartsOnIdentification();
    void readBackWaitsForParameterReport();
    void bootLoaderEndsReadBack();
    void settingsEditableAfterReadBack();

    void settingChange_data();
    void settingChange();
    void saveAndApply_data();
    void saveAndApply();

    void adcWorkedExample();
    void adcPairs_data();
    void adcPairs();
    void adcPendingTargetRedirected();
    void adcUnparsableReading_data();
    void adcUnparsableReading();
    void adcCalibratedReading_data();
    void adcCalibratedReading();
    void adcCalibrateAndReset();
    void adcEqualPointsComputeNothing();
    void adcMeasurementVersionGate_data();
    void adcMeasurementVersionGate();
    void adcWithoutPort();
};

void TestSettings::initTestCase()
{
    QApplication::setQuitOnLastWindowClosed(false);
}

void TestSettings::init()
{
    QSettings store;
    store.clear();
    store.sync();
}

void TestSettings::readBack_data()
{
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<QList<QByteArray>>("reports");
    QTest::addColumn<QVariantMap>("shown");
    QTest::addColumn<QVariant>("storedDisplayPeriod");

    QTest::newRow("valid") << QVariantMap()
                           << QList<QByteArray>{"cal = dt-670",         "rs232:period = 250",
                                                "rs485:period = 730",   "relay1:default = 1",
                                                "relay1:temp = 77.350", "relay1:hyst = 2.5",
                                                "relay2:default = 1",   "relay2:temp = 300",
                                                "relay2:hyst = 0.125",  "display:period = 900"}
                           << QVariantMap{{"sensorCombo", "DT-670"},
                                          {"sensorNameValue", "DT-670"},
                                          {"rs232AutomaticOutputCombo", "Enabled"},
                                          {"rs232OutputPeriodSpin", "250"},
                                          {"rs485AutomaticOutputCombo", "Enabled"},
                                          {"rs485OutputPeriodSpin", "730"},
                                          {"relay1DefaultStateCombo", "On"},
                                          {"relay1TempSpin", "77.35"},
                                          {"relay1HystSpin", "2.5"},
                                          {"relay2DefaultStateCombo", "On"},
                                          {"relay2TempSpin", "300"},
                                          {"relay2HystSpin", "0.125"},
                                          {"displayRefreshSpin", "900"}}
                           << QVariant(900);

    // Outputs switched off by the instrument: the periods shown stay the operator's.
    QTest::newRow("outputs off") << QVariantMap{{"/sensor-id", 2},
                                                {"/rs232-automatic-output", 1},
                                                {"/rs232-automatic-output-period", 250.0},
                                                {"/rs485-automatic-output", 1},
                                                {"/rs485-automatic-output-period", 730.0},
                                                {"/relay1-default-state", 1}}
                                 << QList<QByteArray>{"cal = user",         "rs232:period = 0",
                                                      "rs485:period = 0",   "relay1:default = 0",
                                                      "relay1:temp = 4.2",  "relay1:hyst = 0.5",
                                                      "relay2:default = 0", "relay2:temp = 20.5",
                                                      "relay2:hyst = 1",    "display:period = 5000"}
                                 << QVariantMap{{"sensorCombo", "Custom"},
                                                {"sensorNameValue", "Custom"},
                                                {"rs232AutomaticOutputCombo", "Disabled"},
                                                {"enableSerialOutputButton", "shown"},
                                                {"rs485AutomaticOutputCombo", "Disabled"},
                                                {"relay1DefaultStateCombo", "Off"},
                                                {"relay1TempSpin", "4.2"},
                                                {"relay1HystSpin", "0.5"},
                                                {"relay2TempSpin", "20.5"},
                                                {"relay2HystSpin", "1"},
                                                {"displayRefreshSpin", "5000"}}
                                 << QVariant(5000);

    // Numbers outside a widget's range end at its limit; indexes without an item
    // leave the combo without a selection; keywords are compared case-sensitively.
    QTest::newRow("out of range")
        << QVariantMap()
        << QList<QByteArray>{"cal = DT-400",          "rs232:period = 50",  "rs485:period = 5000",
                             "relay1:default = 7",    "relay1:temp = 0.01", "relay1:hyst = 2000",
                             "relay2:default = -1",   "relay2:temp = -5",   "relay2:hyst = 1e6",
                             "display:period = 20000"}
        << QVariantMap{{"rs232AutomaticOutputCombo", "Enabled"},
                       {"rs232OutputPeriodSpin", "100"},
                       {"rs485AutomaticOutputCombo", "Enabled"},
                       {"rs485OutputPeriodSpin", "1000"},
                       {"relay1DefaultStateCombo", ""},
                       {"relay1TempSpin", "0.1"},
                       {"relay1HystSpin", "1000"},
                       {"relay2DefaultStateCombo", ""},
                       {"relay2TempSpin", "0.1"},
                       {"relay2HystSpin", "1000"},
                       {"displayRefreshSpin", "10000"}}
        << QVariant(10000);

    // Values that do not convert change nothing, yet every one advances the read-back.
    QTest::newRow("not numbers") << QVariantMap{{"/sensor-id", 3}}
                                 << QList<QByteArray>{"cal = pt100",        "rs232:period = fast",
                                                      "rs485:period = 2.5", "relay1:default = on",
                                                      "relay1:temp = warm", "relay1:hyst = nan",
                                                      "relay2:default = ",  "relay2:temp = inf",
                                                      "relay2:hyst = 1,5",  "display:period = 1e3"}
                                 << QVariantMap() << QVariant();

    // Keys are compared exactly; a reading of the ADC panel that arrives in the middle
    // takes the place of an answer, so the last report comes after the read-back.
    QTest::newRow("unknown keys and a reading")
        << QVariantMap()
        << QList<QByteArray>{"cal = asc",          "RS232:period = 250",   "Vunc = 1500000",
                             "rs485:period = 730", "relay1:default = 1",   "temperature = 4.2",
                             "relay1:hyst = 3",    "relay2:default = 1",   "relay2:temp = 80",
                             "relay2:hyst = 4",    "display:period = 2500"}
        << QVariantMap{{"sensorCombo", "ASC"},
                       {"sensorNameValue", "ASC"},
                       {"rs485AutomaticOutputCombo", "Enabled"},
                       {"rs485OutputPeriodSpin", "730"},
                       {"relay1DefaultStateCombo", "On"},
                       {"relay1HystSpin", "3"},
                       {"relay2DefaultStateCombo", "On"},
                       {"relay2TempSpin", "80"},
                       {"relay2HystSpin", "4"},
                       {"displayRefreshSpin", "2500"}}
        << QVariant(2500);
}

void TestSettings::readBack()
{
    QFETCH(QVariantMap, stored);
    QFETCH(QList<QByteArray>, reports);
    QFETCH(QVariantMap, shown);
    QFETCH(QVariant, storedDisplayPeriod);

    preset(stored);
    PseudoTerminal peer;
    MainWindow window;
    QMap<QString, QString> expectedView = settingsView(window);
    for (auto it = shown.cbegin(); it != shown.cend(); ++it)
        expectedView.insert(it.key(), it.value().toString());

    QCOMPARE(openOn(window, peer), openingBytes);
    QMap<QString, QString> expectedStore
        = withEntries(storeContents(), QVariantMap{{"/serial/port-name", peer.portName()}});
    QCOMPARE(identify(window, peer, "1.3.2.0"), queryAfter(0));

    // Each query goes out only once the report for the one before has come in.
    for (int i = 0; i < reports.size(); ++i) {
        peer.sendLine(reports.at(i));
        QCOMPARE(peer.collect(toolPort(window)), queryAfter(i + 1));
    }
    // The read-back is over: a further report is applied but asks nothing.
    peer.sendLine("noise = 1");
    QCOMPARE(peer.collect(toolPort(window)), QByteArray());

    QCOMPARE(entries(settingsView(window)), entries(expectedView));
    if (storedDisplayPeriod.isValid())
        expectedStore.insert(QStringLiteral("display-refresh-period"),
                             storedDisplayPeriod.toString());
    QCOMPARE(entries(storeContents()), entries(expectedStore));
}

void TestSettings::readBackRestartsOnIdentification()
{
    PseudoTerminal peer;
    MainWindow window;
    openOn(window, peer);
    QCOMPARE(identify(window, peer, "1.3.2.0"), queryAfter(0));
    QCOMPARE(answerReadBack(window, peer, 3),
             readBackQueries.at(1) + readBackQueries.at(2) + readBackQueries.at(3));

    // A new identification in the middle starts over at the first query.
    QCOMPARE(identify(window, peer, "1.5.0.0"), "@00\n" + queryAfter(0));
    QCOMPARE(answerReadBack(window, peer, 10), queriesFrom(1));
    QCOMPARE(answerReadBack(window, peer, 2), QByteArray());

    // And again once it has finished.
    QCOMPARE(identify(window, peer, "1.3.2.0"), queryAfter(0));
    QCOMPARE(answerReadBack(window, peer, 11), queriesFrom(1));
}

void TestSettings::readBackWaitsForParameterReport()
{
    PseudoTerminal peer;
    MainWindow window;
    openOn(window, peer);
    QCOMPARE(identify(window, peer, "1.3.2.0"), queryAfter(0));

    // Lines that are no parameter report leave the read-back waiting.
    peer.sendLine("*T = 77.5 K");
    peer.sendLine("syntax error");
    peer.sendLine("*RESET 0");
    QCOMPARE(peer.collect(toolPort(window)), QByteArray());
    QCOMPARE(text(window, "temperatureValue"), QStringLiteral("77.500 K"));

    peer.sendLine("cal = dt-400");
    QCOMPARE(peer.collect(toolPort(window)), queryAfter(1));
    QCOMPARE(text(window, "sensorNameValue"), QStringLiteral("DT-400"));
}

void TestSettings::bootLoaderEndsReadBack()
{
    PseudoTerminal peer;
    MainWindow window;
    openOn(window, peer);
    QCOMPARE(identify(window, peer, "1.3.2.0"), queryAfter(0));
    QCOMPARE(answerReadBack(window, peer, 2), readBackQueries.at(1) + readBackQueries.at(2));

    // The instrument went into its boot loader before answering: nothing meant for the
    // application firmware may follow, not even when a parameter line still comes in.
    QCOMPARE(identify(window, peer, "1.3.1.0", "ZURKD550-BS"), QByteArray());
    peer.sendLine("relay1:temp = 42");
    QCOMPARE(peer.collect(toolPort(window)), QByteArray());
    QCOMPARE(child<QDoubleSpinBox>(&window, "relay1TempSpin")->value(), 42.0);
    QVERIFY(!QSettings().contains(QStringLiteral("/relay1-temperature")));

    // The application firmware back reads everything again.
    QCOMPARE(identify(window, peer, "1.3.2.0"), queryAfter(0));
    QCOMPARE(answerReadBack(window, peer, 10), queriesFrom(1));
}

void TestSettings::settingsEditableAfterReadBack()
{
    PseudoTerminal peer;
    MainWindow window;
    connectInstrument(window, peer, "1.3.2.0");
    peer.sendLine("relay1:temp = 50");
    QCOMPARE(peer.collect(toolPort(window)), QByteArray());

    setWidget(window, QStringLiteral("relay1TempSpin"), 60.0);
    QCOMPARE(peer.collect(toolPort(window)), QByteArray(":relay1:temp 60.000\n"));
    QCOMPARE(QSettings().value(QStringLiteral("/relay1-temperature")).toDouble(), 60.0);
}

void TestSettings::settingChange_data()
{
    QTest::addColumn<bool>("withPort");
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<QString>("widget");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QString>("sensorName");
    QTest::addColumn<bool>("buttonShown");

    struct Row
    {
        const char *name;
        QVariantMap stored;
        const char *widget;
        QVariant value;
        const char *key;
        QVariant expected;
        QByteArray command;
        const char *sensorName;
        bool buttonShown;
    };
    const QVariantMap none;
    const QVariantMap rs232On{{"/rs232-automatic-output", 1}};
    const QVariantMap rs485On{{"/rs485-automatic-output", 1}};
    const QList<Row> rows = {
        {"relay 1 at 25 K", none, "relay1TempSpin", 25.0, "/relay1-temperature", 25.0,
         ":relay1:temp 25.000\n", "ZUR", false},
        {"relay 1 at 10 K", none, "relay1TempSpin", 10.0, "/relay1-temperature", 10.0,
         ":relay1:temp 10.000\n", "ZUR", false},
        {"relay 1 at 0.1 K", none, "relay1TempSpin", 0.1, "/relay1-temperature", 0.1,
         ":relay1:temp 0.100\n", "ZUR", false},
        {"relay 1 at 1000 K", none, "relay1TempSpin", 1000.0, "/relay1-temperature", 1000.0,
         ":relay1:temp 1000.000\n", "ZUR", false},
        {"relay 2 at 77.35 K", none, "relay2TempSpin", 77.35, "/relay2-temperature", 77.35,
         ":relay2:temp 77.350\n", "ZUR", false},
        {"relay 1 hysteresis", none, "relay1HystSpin", 2.5, "/relay1-hysteresis", 2.5,
         ":relay1:hyst 2.500\n", "ZUR", false},
        {"relay 2 hysteresis", none, "relay2HystSpin", 0.125, "/relay2-hysteresis", 0.125,
         ":relay2:hyst 0.125\n", "ZUR", false},
        {"relay 1 on", none, "relay1DefaultStateCombo", 1, "/relay1-default-state", 1,
         ":relay1:default 1\n", "ZUR", false},
        {"relay 1 off", QVariantMap{{"/relay1-default-state", 1}}, "relay1DefaultStateCombo", 0,
         "/relay1-default-state", 0, ":relay1:default 0\n", "ZUR", false},
        {"relay 2 on", none, "relay2DefaultStateCombo", 1, "/relay2-default-state", 1,
         ":relay2:default 1\n", "ZUR", false},
        {"sensor DT-400", none, "sensorCombo", 1, "/sensor-id", 1, ":cal dt-400\n", "DT-400",
         false},
        {"sensor DT-670", none, "sensorCombo", 2, "/sensor-id", 2, ":cal dt-670\n", "DT-670",
         false},
        {"sensor ASC", none, "sensorCombo", 3, "/sensor-id", 3, ":cal asc\n", "ASC", false},
        {"sensor Custom", none, "sensorCombo", 4, "/sensor-id", 16, ":cal user\n", "Custom", false},
        {"sensor ZUR", QVariantMap{{"/sensor-id", 3}}, "sensorCombo", 0, "/sensor-id", 0,
         ":cal zur\n", "ZUR", false},
        {"rs232 enabled", none, "rs232AutomaticOutputCombo", 1, "/rs232-automatic-output", 1,
         ":rs232:period 500\n", "ZUR", false},
        {"rs232 enabled at 250 ms", QVariantMap{{"/rs232-automatic-output-period", 250.0}},
         "rs232AutomaticOutputCombo", 1, "/rs232-automatic-output", 1, ":rs232:period 250\n", "ZUR",
         false},
        {"rs232 disabled", rs232On, "rs232AutomaticOutputCombo", 0, "/rs232-automatic-output", 0,
         ":rs232:period 0\n", "ZUR", true},
        {"rs485 enabled at 730 ms", QVariantMap{{"/rs485-automatic-output-period", 730.0}},
         "rs485AutomaticOutputCombo", 1, "/rs485-automatic-output", 1, ":rs485:period 730\n", "ZUR",
         false},
        {"rs485 disabled", rs485On, "rs485AutomaticOutputCombo", 0, "/rs485-automatic-output", 0,
         ":rs485:period 0\n", "ZUR", false},
        {"rs232 period while enabled", rs232On, "rs232OutputPeriodSpin", 730.0,
         "/rs232-automatic-output-period", 730.0, ":rs232:period 730\n", "ZUR", false},
        {"rs232 period while disabled", none, "rs232OutputPeriodSpin", 730.0,
         "/rs232-automatic-output-period", 730.0, ":rs232:period 0\n", "ZUR", false},
        {"rs485 period while enabled", rs485On, "rs485OutputPeriodSpin", 120.0,
         "/rs485-automatic-output-period", 120.0, ":rs485:period 120\n", "ZUR", false},
        {"rs485 period while disabled", none, "rs485OutputPeriodSpin", 990.0,
         "/rs485-automatic-output-period", 990.0, ":rs485:period 0\n", "ZUR", false},
        {"display 900 ms", none, "displayRefreshSpin", 900, "/display-refresh-period", 900,
         ":display:period 900\n", "ZUR", false},
        {"display 10 s", none, "displayRefreshSpin", 10000, "/display-refresh-period", 10000,
         ":display:period 10000\n", "ZUR", false},
    };
    for (bool withPort : {true, false}) {
        for (const Row &row : rows) {
            QTest::addRow("%s, %s", row.name, withPort ? "port open" : "no port")
                << withPort << row.stored << QString::fromLatin1(row.widget) << row.value
                << QString::fromLatin1(row.key) << row.expected
                << (withPort ? row.command : QByteArray()) << QString::fromLatin1(row.sensorName)
                << row.buttonShown;
        }
    }
}

void TestSettings::settingChange()
{
    QFETCH(bool, withPort);
    QFETCH(QVariantMap, stored);
    QFETCH(QString, widget);
    QFETCH(QVariant, value);
    QFETCH(QString, key);
    QFETCH(QVariant, expected);
    QFETCH(QByteArray, command);
    QFETCH(QString, sensorName);
    QFETCH(bool, buttonShown);

    preset(stored);
    PseudoTerminal peer;
    MainWindow window;
    if (withPort)
        QCOMPARE(openOn(window, peer), openingBytes);
    const QMap<QString, QString> before = storeContents();

    setWidget(window, widget, value);

    // Stored as its own type (read before the store writes its file, which keeps only text).
    const QVariant written = QSettings().value(key);
    QCOMPARE(written.userType(), expected.userType());
    QCOMPARE(written, expected);
    QCOMPARE(text(window, "sensorNameValue"), sensorName);
    QCOMPARE(!child<QWidget>(&window, "enableSerialOutputButton")->isHidden(), buttonShown);

    if (withPort)
        QCOMPARE(peer.collect(toolPort(window)), command);
    else
        QVERIFY(!liveDevice(window));
    // No other key is written.
    QCOMPARE(entries(storeContents()), entries(withEntries(before, QVariantMap{{key, expected}})));
}

void TestSettings::saveAndApply_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("withPort");
    QTest::addColumn<QByteArray>("sent");

    QTest::newRow("Save on the Settings tab") << "saveButton" << true << QByteArray(":save\n");
    QTest::newRow("Save on the Calibration tab") << "saveButton2" << true << QByteArray(":save\n");
    QTest::newRow("Apply") << "applyButton" << true << QByteArray();
    QTest::newRow("Save without port") << "saveButton" << false << QByteArray();
    QTest::newRow("second Save without port") << "saveButton2" << false << QByteArray();
}

void TestSettings::saveAndApply()
{
    QFETCH(QString, button);
    QFETCH(bool, withPort);
    QFETCH(QByteArray, sent);

    PseudoTerminal peer;
    MainWindow window;
    if (withPort)
        QCOMPARE(openOn(window, peer), openingBytes);
    const QMap<QString, QString> store = storeContents();

    child<QPushButton>(&window, qPrintable(button))->click();
    if (withPort)
        QCOMPARE(peer.collect(toolPort(window)), sent);
    else
        QVERIFY(!liveDevice(window));
    QCOMPARE(entries(storeContents()), entries(store));
}

void TestSettings::adcWorkedExample()
{
    PseudoTerminal peer;
    MainWindow window;
    connectInstrument(window, peer, "1.5.0.0");
    setWidget(window, QStringLiteral("adcCalibrationV1"), 1.0);
    setWidget(window, QStringLiteral("adcCalibrationV2"), 0.0);

    QCOMPARE(measurePoint(window, peer, "adcCalibrationR1MeasureButton", 980000),
             QByteArray(":volt:unc?\n"));
    QCOMPARE(measurePoint(window, peer, "adcCalibrationR2MeasureButton", -10000),
             QByteArray(":volt:unc?\n"));

    QCOMPARE(text(window, "adcCalibrationR1"), QStringLiteral("0.980000 V"));
    QCOMPARE(text(window, "adcCalibrationR2"), QStringLiteral("-0.010000 V"));
    QCOMPARE(text(window, "adcCalibrationSlope"), QStringLiteral("1.010101010"));
    QCOMPARE(text(window, "adcCalibrationOffset"), QStringLiteral("0.010000 V"));
}

void TestSettings::adcPairs_data()
{
    QTest::addColumn<double>("real1");
    QTest::addColumn<double>("real2");
    QTest::addColumn<int>("adc1");
    QTest::addColumn<int>("adc2");

    QTest::newRow("worked example") << 1.0 << 0.0 << 980000 << -10000;
    QTest::newRow("gain above one") << 2.5 << 0.5 << 2412345 << 498000;
    QTest::newRow("negative offset") << 1.0 << 0.0 << 1020000 << 20000;
    QTest::newRow("falling points") << 0.25 << 7.5 << 251000 << 7480000;
    QTest::newRow("wide span") << 9.999999 << 0.000001 << 9876543 << -123;
}

void TestSettings::adcPairs()
{
    QFETCH(double, real1);
    QFETCH(double, real2);
    QFETCH(int, adc1);
    QFETCH(int, adc2);

    PseudoTerminal peer;
    MainWindow window;
    connectInstrument(window, peer, "1.5.0.0");
    setWidget(window, QStringLiteral("adcCalibrationV1"), real1);
    setWidget(window, QStringLiteral("adcCalibrationV2"), real2);

    QCOMPARE(measurePoint(window, peer, "adcCalibrationR1MeasureButton", adc1),
             QByteArray(":volt:unc?\n"));
    QCOMPARE(text(window, "adcCalibrationR1"), volts(adc1 / 1000000.0));
    QCOMPARE(measurePoint(window, peer, "adcCalibrationR2MeasureButton", adc2),
             QByteArray(":volt:unc?\n"));
    QCOMPARE(text(window, "adcCalibrationR2"), volts(adc2 / 1000000.0));

    const AdcFit fit = fitThrough(real1, real2, adc1 / 1000000.0, adc2 / 1000000.0);
    QCOMPARE(text(window, "adcCalibrationSlope"), QString::asprintf("%11.9lf", fit.slope));
    QCOMPARE(text(window, "adcCalibrationOffset"), volts(fit.offset));

    click(window, "adcCalibrationButton");
    QCOMPARE(peer.collect(toolPort(window)), calibrationCommand(fit.offset, fit.slope));
}

void TestSettings::adcPendingTargetRedirected()
{
    PseudoTerminal peer;
    MainWindow window;
    connectInstrument(window, peer, "1.5.0.0");

    click(window, "adcCalibrationR1MeasureButton");
    click(window, "adcCalibrationR2MeasureButton");
    QCOMPARE(peer.collect(toolPort(window)), QByteArray(":volt:unc?\n:volt:unc?\n"));

    // The first answer goes to the point asked for last; the second finds no point.
    peer.sendLine("Vunc = 1500000");
    peer.sendLine("Vunc = 2500000");
    QCOMPARE(peer.collect(toolPort(window)), QByteArray());
    QCOMPARE(text(window, "adcCalibrationR1"), QString());
    QCOMPARE(text(window, "adcCalibrationR2"), QStringLiteral("1.500000 V"));

    QCOMPARE(measurePoint(window, peer, "adcCalibrationR1MeasureButton", 700000),
             QByteArray(":volt:unc?\n"));
    QCOMPARE(text(window, "adcCalibrationR1"), QStringLiteral("0.700000 V"));
    QCOMPARE(text(window, "adcCalibrationR2"), QStringLiteral("1.500000 V"));
}

void TestSettings::adcUnparsableReading_data()
{
    QTest::addColumn<QByteArray>("value");

    QTest::newRow("decimal volts") << QByteArray("1.5");
    QTest::newRow("word") << QByteArray("high");
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("with unit") << QByteArray("1500000 uV");
    QTest::newRow("beyond 32 bits") << QByteArray("99999999999");
    QTest::newRow("hexadecimal") << QByteArray("0x10");
}

void TestSettings::adcUnparsableReading()
{
    QFETCH(QByteArray, value);

    PseudoTerminal peer;
    MainWindow window;
    connectInstrument(window, peer, "1.5.0.0");
    click(window, "adcCalibrationR1MeasureButton");
    QCOMPARE(peer.collect(toolPort(window)), QByteArray(":volt:unc?\n"));

    peer.sendLine("Vunc = " + value);
    QCOMPARE(peer.collect(toolPort(window)), QByteArray());
    QCOMPARE(text(window, "adcCalibrationR1"), QString());

    // The point is still waiting for its reading.
    peer.sendLine("Vunc = 1234");
    QCOMPARE(peer.collect(toolPort(window)), QByteArray());
    QCOMPARE(text(window, "adcCalibrationR1"), QStringLiteral("0.001234 V"));
}

void TestSettings::adcCalibratedReading_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("shown");

    QTest::newRow("calibrated") << QByteArray("1234567 C") << "1.234567 V (calibrated)";
    QTest::newRow("uncalibrated") << QByteArray("1234567 U") << "1.234567 V (uncalibrated)";
    QTest::newRow("no suffix") << QByteArray("1234567") << "1.234567 V (uncalibrated)";
    QTest::newRow("negative") << QByteArray("-2500 C") << "-0.002500 V (calibrated)";
    QTest::newRow("lower-case suffix") << QByteArray("1234567 c") << "";
    QTest::newRow("suffix alone") << QByteArray(" C") << "";
    QTest::newRow("decimal") << QByteArray("1.5 C") << "";
    QTest::newRow("word") << QByteArray("none U") << "";
}

void TestSettings::adcCalibratedReading()
{
    QFETCH(QByteArray, value);
    QFETCH(QString, shown);

    PseudoTerminal peer;
    MainWindow window;
    connectInstrument(window, peer, "1.5.0.0");
    click(window, "adcCalibrationRealMasureButton");
    QCOMPARE(peer.collect(toolPort(window)), QByteArray(":volt:cor?\n"));

    peer.sendLine("Vcor = " + value);
    QCOMPARE(peer.collect(toolPort(window)), QByteArray());
    QCOMPARE(text(window, "adcCalibrationRealValue"), shown);
    // A calibrated reading is no point of the calibration.
    QCOMPARE(text(window, "adcCalibrationR1"), QString());
}

void TestSettings::adcCalibrateAndReset()
{
    PseudoTerminal peer;
    MainWindow window;
    connectInstrument(window, peer, "1.5.0.0");
    const QByteArray zeros(":volt:cal 00000000 00000000\n");

    // Reset asks first; No sends nothing.
    const auto question = answerNextMessageBox(QMessageBox::No);
    click(window, "adcCalibrationResetButton");
    QCOMPARE(question->title, QStringLiteral("Reset calibration"));
    QCOMPARE(question->text,
             QStringLiteral("Clear the instrument's voltage calibration? It then "
                            "reports uncalibrated voltages until it is calibrated "
                            "again."));
    QCOMPARE(question->defaultButton, QMessageBox::No);
    QCOMPARE(peer.collect(toolPort(window)), QByteArray());

    setWidget(window, QStringLiteral("adcCalibrationV1"), 2.0);
    setWidget(window, QStringLiteral("adcCalibrationV2"), 1.0);
    QCOMPARE(measurePoint(window, peer, "adcCalibrationR1MeasureButton", 2100000),
             QByteArray(":volt:unc?\n"));
    QCOMPARE(measurePoint(window, peer, "adcCalibrationR2MeasureButton", 1100000),
             QByteArray(":volt:unc?\n"));
    const AdcFit fit = fitThrough(2.0, 1.0, 2.1, 1.1);
    const QString slope = text(window, "adcCalibrationSlope");
    const QString offset = text(window, "adcCalibrationOffset");
    QCOMPARE(offset, volts(fit.offset));

    // Reset clears the instrument's calibration but keeps the panel as it is.
    answerNextMessageBox(QMessageBox::Yes);
    click(window, "adcCalibrationResetButton");
    QCOMPARE(peer.collect(toolPort(window)), zeros);
    QCOMPARE(text(window, "adcCalibrationSlope"), slope);
    QCOMPARE(text(window, "adcCalibrationOffset"), offset);
    click(window, "adcCalibrationButton");
    const QByteArray computed = calibrationCommand(fit.offset, fit.slope);
    QCOMPARE(peer.collect(toolPort(window)), computed);
    // A negative offset goes out in two's complement.
    QVERIFY2(computed.startsWith(":volt:cal ff"), computed.constData());
}

void TestSettings::adcEqualPointsComputeNothing()
{
    PseudoTerminal peer;
    MainWindow window;
    connectInstrument(window, peer, "1.5.0.0");

    // Both readings are still zero.
    setWidget(window, QStringLiteral("adcCalibrationV1"), 1.0);
    QCOMPARE(text(window, "adcCalibrationSlope"), QString());
    QCOMPARE(text(window, "adcCalibrationOffset"), QString());

    // Equal real voltages, then equal readings.
    setWidget(window, QStringLiteral("adcCalibrationV2"), 1.0);
    measurePoint(window, peer, "adcCalibrationR1MeasureButton", 1000000);
    QCOMPARE(text(window, "adcCalibrationSlope"), QString());
    measurePoint(window, peer, "adcCalibrationR2MeasureButton", 1000000);
    setWidget(window, QStringLiteral("adcCalibrationV2"), 0.0);
    QCOMPARE(text(window, "adcCalibrationR2"), QStringLiteral("1.000000 V"));
    QCOMPARE(text(window, "adcCalibrationSlope"), QString());
    QCOMPARE(text(window, "adcCalibrationOffset"), QString());

    // A usable pair, then equal real voltages again: the last result stays but is not sent.
    measurePoint(window, peer, "adcCalibrationR2MeasureButton", 10000);
    const AdcFit fit = fitThrough(1.0, 0.0, 1.0, 0.01);
    QCOMPARE(text(window, "adcCalibrationSlope"), QString::asprintf("%11.9lf", fit.slope));
    setWidget(window, QStringLiteral("adcCalibrationV2"), 1.0);
    QCOMPARE(text(window, "adcCalibrationSlope"), QString::asprintf("%11.9lf", fit.slope));
    QCOMPARE(text(window, "adcCalibrationOffset"), volts(fit.offset));
    QVERIFY(QMetaObject::invokeMethod(&window, "adcCalibrationButtonClicked"));
    QCOMPARE(peer.collect(toolPort(window)), QByteArray());
}

void TestSettings::adcMeasurementVersionGate_data()
{
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<QByteArray>("sent");

    const QByteArray none;
    const QByteArray all(":volt:unc?\n:volt:unc?\n:volt:cor?\n");
    QTest::newRow("1.3.2.0") << QByteArray("1.3.2.0") << none;
    QTest::newRow("1.4.255.255") << QByteArray("1.4.255.255") << none;
    QTest::newRow("1.5.0.0") << QByteArray("1.5.0.0") << all;
    QTest::newRow("2.0.0.1") << QByteArray("2.0.0.1") << all;
}

void TestSettings::adcMeasurementVersionGate()
{
    QFETCH(QByteArray, version);
    QFETCH(QByteArray, sent);

    PseudoTerminal peer;
    MainWindow window;
    const QByteArray connecting = connectInstrument(window, peer, version);
    QVERIFY2(connecting.endsWith(queriesFrom(0)), connecting.constData());

    click(window, "adcCalibrationR1MeasureButton");
    click(window, "adcCalibrationR2MeasureButton");
    click(window, "adcCalibrationRealMasureButton");
    QCOMPARE(peer.collect(toolPort(window)), sent);
    // Calibrating goes out whatever the version.
    answerNextMessageBox(QMessageBox::Yes);
    click(window, "adcCalibrationResetButton");
    QCOMPARE(peer.collect(toolPort(window)), QByteArray(":volt:cal 00000000 00000000\n"));
}

void TestSettings::adcWithoutPort()
{
    PseudoTerminal peer;
    MainWindow window;
    connectInstrument(window, peer, "1.5.0.0");
    setWidget(window, QStringLiteral("adcCalibrationV1"), 3.0);
    setWidget(window, QStringLiteral("adcCalibrationV2"), 1.0);
    measurePoint(window, peer, "adcCalibrationR1MeasureButton", 3030000);
    measurePoint(window, peer, "adcCalibrationR2MeasureButton", 1000000);

    QTest::ignoreMessage(QtDebugMsg, "Closing port ...");
    click(window, "serialPortCloseButton");
    QVERIFY(!liveDevice(window));

    // The buttons do nothing; a pending point would take the next reading if they did.
    for (const char *button :
         {"adcCalibrationR1MeasureButton", "adcCalibrationR2MeasureButton",
          "adcCalibrationRealMasureButton", "adcCalibrationButton", "adcCalibrationResetButton"})
        click(window, button);
    QCOMPARE(peer.collect(nullptr), QByteArray());

    // A new real voltage still recomputes from the readings kept.
    setWidget(window, QStringLiteral("adcCalibrationV1"), 5.0);
    const AdcFit fit = fitThrough(5.0, 1.0, 3.03, 1.0);
    QCOMPARE(text(window, "adcCalibrationSlope"), QString::asprintf("%11.9lf", fit.slope));
    QCOMPARE(text(window, "adcCalibrationOffset"), volts(fit.offset));
    QCOMPARE(text(window, "adcCalibrationR1"), QStringLiteral("3.030000 V"));

    // After reopening, the first reading finds no point waiting.
    QCOMPARE(openOn(window, peer), openingBytes);
    QCOMPARE(identify(window, peer, "1.5.0.0"), "@00\n" + queryAfter(0));
    QCOMPARE(answerReadBack(window, peer, 10), queriesFrom(1));
    peer.sendLine("Vunc = 4000000");
    peer.collect(toolPort(window));
    QCOMPARE(text(window, "adcCalibrationR1"), QStringLiteral("3.030000 V"));
    QCOMPARE(text(window, "adcCalibrationR2"), QStringLiteral("1.000000 V"));
    // Readings taken before this Open are no fit for the instrument now connected.
    QCOMPARE(child<QWidget>(&window, "adcCalibrationButton")->toolTip(),
             QStringLiteral("Measure ADC voltage 1"));
}

RIMEGLASS_TEST_MAIN(QApplication, TestSettings)

#include "test_settings.moc"
