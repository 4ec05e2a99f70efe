// The main window driven through its widgets, offscreen, with the settings store in a
// temporary directory and the instrument on a pseudo-terminal. Only what the window
// itself does: which control reaches which command, what the operator is shown and what
// is stored. The commands' bytes and the transfers are tested at the link and in the
// instrument library, the operator's flows end to end by the journeys.

#include "rimeglass-version.h"
#include "settingsprotocol.h"
#include "testmain.h"
#include "windowdriver.h"

#include <QAction>
#include <QDir>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QProgressBar>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>

using namespace windowdriver;

namespace {

const QByteArray compatLine("*COMPAT = 3cc3a93f426145ff95bf653df2686cb0");

// `view` ("name=value" entries, sorted by name) with the entries of `changes` put in.
QStringList changed(const QStringList &view, const QStringList &changes = {})
{
    QMap<QString, QString> entries;
    for (const QString &entry : view + changes)
        entries.insert(entry.section('=', 0, 0), entry.section('=', 1));
    QStringList result;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        result << it.key() + '=' + it.value();
    return result;
}

// Every key of the store with its value as text.
QStringList storeContents()
{
    QSettings store;
    QStringList contents;
    for (const QString &key : store.allKeys())
        contents << key + '=' + store.value(key).toString();
    return changed(contents);
}

QByteArray storeFile(const QByteArray &replacement = QByteArray())
{
    QFile file(QSettings().fileName());
    QDir().mkpath(QFileInfo(file).path());
    if (replacement.isNull())
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    if (!file.open(QIODevice::WriteOnly) || file.write(replacement) != replacement.size())
        qFatal("cannot write the store");
    return replacement;
}

// What a widget shows, as the operator reads it.
QString shown(const MainWindow &window, const QString &name)
{
    const QObject *widget = child<QObject>(&window, qPrintable(name));
    if (auto *combo = qobject_cast<const QComboBox *>(widget))
        return combo->currentText();
    if (auto *button = qobject_cast<const QAbstractButton *>(widget))
        return button->isHidden() ? QStringLiteral("hidden") : QStringLiteral("shown");
    const QVariant value = widget->property("value");
    return value.isValid() ? QString::number(value.toDouble())
                           : widget->property("text").toString();
}

// The settings fields as a first start shows them.
const QStringList firstStartView
    = changed(QString("sensorCombo=ZUR;sensorNameValue=ZUR;relay1TempSpin=100;relay1HystSpin=10;"
                      "relay1DefaultStateCombo=Off;relay2TempSpin=150;relay2HystSpin=10;"
                      "relay2DefaultStateCombo=Off;rs232AutomaticOutputCombo=Disabled;"
                      "rs232OutputPeriodSpin=500;rs485AutomaticOutputCombo=Disabled;"
                      "rs485OutputPeriodSpin=500;displayRefreshSpin=100;sensorNameEdit=Custom;"
                      "sensorFileEdit=;enableSerialOutputButton=hidden")
                  .split(';'));

QStringList settingsView(const MainWindow &window)
{
    QStringList entries;
    for (const QString &entry : firstStartView)
        entries << entry.section('=', 0, 0) + '=' + shown(window, entry.section('=', 0, 0));
    return entries;
}

// The port and transfer controls that are enabled.
QString enabledControls(const MainWindow &window)
{
    QStringList enabled;
    for (const char *name : {"serialPortCombo", "serialPortOpenButton", "serialPortCloseButton",
                             "applyButton", "sensorUploadButton", "upgradeButton"}) {
        if (child<QWidget>(&window, name)->isEnabled())
            enabled << QLatin1String(name);
    }
    return enabled.join(' ');
}

const QString closedControls("serialPortCombo serialPortOpenButton");
const QString openControls("serialPortCloseButton applyButton sensorUploadButton upgradeButton");
// A lost port is waited for: Close stays, and another port may be chosen and opened.
const QString lostControls("serialPortCombo serialPortOpenButton serialPortCloseButton");

QString waitingText(const QString &portName)
{
    return QStringLiteral("Port lost \u2014 waiting for %1 to come back").arg(portName);
}

// The read-back queries of the stages from `from` up to, not including, `to`.
QByteArray readBackQueries(int from, int to = SettingsProtocol::readBackStageCount())
{
    QByteArray queries;
    for (int stage = from; stage < to; ++stage)
        queries += SettingsProtocol::readBackQuery(stage).toLatin1();
    return queries;
}

// Plays an identification reply and returns what the tool sent in answer; the
// compatibility query of newer firmware is answered on the way.
QByteArray identify(const MainWindow &window, PtyPeer &peer, const QByteArray &version,
                    const QByteArray &model = "ZURKD550")
{
    peer.setResponder([](const QByteArray &token) {
        return token == "@00\n" ? QList<QByteArray>{compatLine} : QList<QByteArray>{};
    });
    peer.sendLine("MORVA," + model + ",20417," + version);
    const QByteArray sent = peer.collect(toolPort(window));
    peer.setResponder(PtyPeer::Responder());
    return sent;
}

// Answers `count` read-back queries with a report no widget listens to.
QByteArray answerReadBack(const MainWindow &window, PtyPeer &peer, int count)
{
    peer.send(QByteArray("noise = 0\r\n").repeated(count));
    return peer.collect(toolPort(window));
}

void connectInstrument(const MainWindow &window, PtyPeer &peer)
{
    openOn(window, peer);
    identify(window, peer, "1.5.0.0");
    answerReadBack(window, peer, SettingsProtocol::readBackStageCount());
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void init() { QSettings().clear(); }
    void cleanup() { cancelPendingAnswers(); }

    void formNames_data();
    void formNames();
    void startsFromStore_data();
    void startsFromStore();
    void damagedStore();
    void about();
    void settingChange_data();
    void settingChange();
    void readBack_data();
    void readBack();
    void readBackRestarts();

    void openAndClose();
    void openFailures_data();
    void openFailures();
    void identification();
    void portErrors_data();
    void portErrors();
    void lostPortComesBack();
    void quit();
    void destructorLetsThePortGo();

    void staleReadout_data();
    void staleReadout();
    void plotKeepsLast300AndClears();
    void livePlotLooksAsDrawnAtOnce();
    void progress_data();
    void progress();
    void resetNotice();

    void adcFit_data();
    void adcFit();
    void adcResetAndReopen();
};

// Every object the window and its operators find by name, with its class: a widget
// renamed in the form shows here.
void TestWindow::formNames_data()
{
    QTest::addColumn<QString>("className");
    const QStringList objects{
        "QComboBox serialPortCombo sensorCombo relay1DefaultStateCombo relay2DefaultStateCombo "
        "rs232AutomaticOutputCombo rs485AutomaticOutputCombo",
        "QDoubleSpinBox relay1TempSpin relay1HystSpin relay2TempSpin relay2HystSpin "
        "rs232OutputPeriodSpin rs485OutputPeriodSpin adcCalibrationV1 adcCalibrationV2",
        "QPushButton serialPortsRefreshButton serialPortOpenButton serialPortCloseButton "
        "enableSerialOutputButton plotClearButton plotExportButton recordButton applyButton "
        "saveButton saveButton2 sensorFileChooseButton sensorUploadButton sensorTransposeButton "
        "sensorExportButton upgradeButton transferCancelButton adcCalibrationR1MeasureButton "
        "adcCalibrationR2MeasureButton adcCalibrationRealMasureButton adcCalibrationButton "
        "adcCalibrationResetButton",
        "QLineEdit modelValue versionValue serialNumberValue sensorFileEdit sensorNameEdit "
        "adcCalibrationR1 adcCalibrationR2 adcCalibrationOffset adcCalibrationSlope "
        "adcCalibrationRealValue",
        "QLabel temperatureValue temperatureAgeLabel sensorNameValue sensorTableSummaryLabel "
        "recordingStatusLabel",
        "QAction actionQuit actionCheckForUpdates actionAbout actionRecord "
        "actionRecordAutomatically actionRecordingFolder",
        "QSpinBox displayRefreshSpin",
        "QFrame plotFrame sensorPlotFrame",
        "QProgressBar progressBar",
        "QStatusBar statusBar",
        "QTabWidget tabWidget"};
    for (const QString &line : objects) {
        const QStringList words = line.split(' ');
        for (const QString &name : words.mid(1))
            QTest::newRow(qPrintable(name)) << words.first();
    }
}

void TestWindow::formNames()
{
    QFETCH(QString, className);
    MainWindow window;
    const QObject *object = window.findChild<QObject *>(QTest::currentDataTag());
    QVERIFY(object);
    QVERIFY2(object->inherits(qPrintable(className)), object->metaObject()->className());
}

void TestWindow::startsFromStore_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("changes");

    QTest::newRow("empty") << QByteArray() << QString();
    // The display refresh period is never loaded: every start begins at the minimum.
    QTest::newRow("every key")
        << QByteArray("[General]\nsensor-id = 3\nrelay1-temperature = 42.50\n"
                      "relay1-hysteresis = 2.250\nrelay1-default-state = 1\n"
                      "relay2-temperature = 77.000\nrelay2-hysteresis = 3.5\n"
                      "relay2-default-state = 1\nrs232-automatic-output = 1\n"
                      "rs232-automatic-output-period = 250\nrs485-automatic-output = 1\n"
                      "rs485-automatic-output-period = 730\ndisplay-refresh-period = 900\n"
                      "custom-sensor-name = PT-1000\ncustom-sensor-file = /data/pt1000.cal\n"
                      "\n[serial]\nport-name = no-such-port\n")
        << QString("sensorCombo=ASC;sensorNameValue=ASC;relay1TempSpin=42.5;relay1HystSpin=2.25;"
                   "relay1DefaultStateCombo=On;relay2TempSpin=77;relay2HystSpin=3.5;"
                   "relay2DefaultStateCombo=On;rs232AutomaticOutputCombo=Enabled;"
                   "rs232OutputPeriodSpin=250;rs485AutomaticOutputCombo=Enabled;"
                   "rs485OutputPeriodSpin=730;sensorNameEdit=PT-1000;"
                   "sensorFileEdit=/data/pt1000.cal");
    QTest::newRow("custom sensor") << QByteArray("[General]\nsensor-id = 16\n")
                                   << QString("sensorCombo=Custom;sensorNameValue=Custom");
    QTest::newRow("no such sensor") << QByteArray("[General]\nsensor-id = 4\n") << QString();
}

// Loading shows the stored values and writes nothing back, not even an unchanged value.
void TestWindow::startsFromStore()
{
    QFETCH(QByteArray, stored);
    QFETCH(QString, changes);

    storeFile(stored);
    {
        MainWindow window;
        QCOMPARE(settingsView(window),
                 changed(firstStartView, changes.split(';', Qt::SkipEmptyParts)));
        QCOMPARE(window.windowTitle(), "Temperature monitor configuration tool (1.7)");
        QCOMPARE(statusText(window), QStringLiteral("Port closed"));
        QCOMPARE(enabledControls(window), closedControls);
        QCOMPARE(text(window, "temperatureValue"), QStringLiteral("unknown"));
        QCOMPARE(text(window, "modelValue"), QStringLiteral("-"));
    }
    QCOMPARE(storeFile(), stored);
}

void TestWindow::damagedStore()
{
    storeFile("[General]\nrelay1-temperature=42\n[serial]\n"
              "sensor-id=@Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)\n");
    MainWindow window;
    QCOMPARE(statusText(window),
             "Some stored settings could not be read and were reset to "
             "their defaults");
    QCOMPARE(shown(window, "relay1TempSpin"), QStringLiteral("42"));
    QVERIFY(!QSettings().contains("serial/sensor-id"));
}

void TestWindow::about()
{
    if (!rimeglass::trustsDevelopmentKey)
        QSKIP("the About box is checked in a build with the development key");
    MainWindow window;
    const auto box = answerNextMessageBox(QMessageBox::Ok);
    child<QAction>(&window, "actionAbout")->trigger();
    QCOMPARE(box->title, QStringLiteral("About rimeglass"));
    QCOMPARE(box->text,
             QStringLiteral("rimeglass 1.7\nTemperature monitor configuration tool\n\n"
                            "Firmware key: development key — accepts containers "
                            "signed with the published development seed\n"
                            "Firmware key fingerprint: 4097b10a1999ba74"));
}

void TestWindow::settingChange_data()
{
    QTest::addColumn<QString>("preset");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("alsoShown");

    const char *const rows[][7] = {
        {"relay 1 temperature", "", "relay1TempSpin=77.35", "relay1-temperature=77.35",
         ":relay1:temp 77.350\n", "Relay 1 temperature set to 77.350 K", ""},
        {"relay 2 temperature", "", "relay2TempSpin=25", "relay2-temperature=25",
         ":relay2:temp 25.000\n", "Relay 2 temperature set to 25.000 K", ""},
        {"relay 1 hysteresis", "", "relay1HystSpin=2.5", "relay1-hysteresis=2.5",
         ":relay1:hyst 2.500\n", "Relay 1 hysteresis set to 2.500 K", ""},
        {"relay 2 hysteresis", "", "relay2HystSpin=1", "relay2-hysteresis=1",
         ":relay2:hyst 1.000\n", "Relay 2 hysteresis set to 1.000 K", ""},
        {"relay 1 default state", "", "relay1DefaultStateCombo=1", "relay1-default-state=1",
         ":relay1:default 1\n", "Relay 1 default state set to On", ""},
        {"relay 2 default state", "relay2-default-state=1", "relay2DefaultStateCombo=0",
         "relay2-default-state=0", ":relay2:default 0\n", "Relay 2 default state set to Off", ""},
        {"sensor", "", "sensorCombo=4", "sensor-id=16", ":cal user\n", "Sensor set to Custom",
         "sensorNameValue=Custom"},
        {"rs232 enabled", "rs232-automatic-output-period=250", "rs232AutomaticOutputCombo=1",
         "rs232-automatic-output=1", ":rs232:period 250\n", "RS232 output period set to 250 ms",
         ""},
        {"rs232 disabled", "rs232-automatic-output=1", "rs232AutomaticOutputCombo=0",
         "rs232-automatic-output=0", ":rs232:period 0\n", "RS232 automatic output disabled",
         "enableSerialOutputButton=shown"},
        {"rs232 period while disabled", "", "rs232OutputPeriodSpin=730",
         "rs232-automatic-output-period=730", ":rs232:period 0\n",
         "RS232 automatic output disabled", ""},
        {"rs232 period while enabled", "rs232-automatic-output=1", "rs232OutputPeriodSpin=120",
         "rs232-automatic-output-period=120", ":rs232:period 120\n",
         "RS232 output period set to 120 ms", ""},
        {"rs485 enabled", "rs485-automatic-output-period=730", "rs485AutomaticOutputCombo=1",
         "rs485-automatic-output=1", ":rs485:period 730\n", "RS485 output period set to 730 ms",
         ""},
        {"rs485 period while enabled", "rs485-automatic-output=1", "rs485OutputPeriodSpin=990",
         "rs485-automatic-output-period=990", ":rs485:period 990\n",
         "RS485 output period set to 990 ms", ""},
        {"display", "", "displayRefreshSpin=900", "display-refresh-period=900",
         ":display:period 900\n", "Display refresh period set to 900 ms", ""},
        {"enable serial output", "", "enableSerialOutputButton", "rs232-automatic-output=1",
         ":rs232:period 500\n", "RS232 output period set to 500 ms",
         "rs232AutomaticOutputCombo=Enabled"},
        {"Save", "", "saveButton", "", ":save\n", "Settings saved in the instrument", ""},
        {"Save on the Calibration tab", "", "saveButton2", "", ":save\n",
         "Settings saved in the instrument", ""},
        {"Apply", "", "applyButton", "", "", "Ready", ""},
        {"relay 1 temperature without port", "", "relay1TempSpin=10", "relay1-temperature=10", "",
         "Port closed", ""},
        {"Save without port", "", "saveButton", "", "", "Port closed", ""}};
    for (const auto &row : rows)
        QTest::newRow(row[0]) << row[1] << row[2] << row[3] << QByteArray(row[4]) << row[5]
                              << row[6];
}

void TestWindow::settingChange()
{
    QFETCH(QString, preset);
    QFETCH(QString, action);
    QFETCH(QString, stored);
    QFETCH(QByteArray, command);
    QFETCH(QString, status);
    QFETCH(QString, alsoShown);

    if (!preset.isEmpty())
        QSettings().setValue(preset.section('=', 0, 0), preset.section('=', 1));
    PtyPeer peer;
    MainWindow window;
    const bool withPort = status != QLatin1String("Port closed");
    if (withPort)
        openOn(window, peer);
    const QStringList storeBefore = changed(storeContents(), {});

    QObject *target = child<QObject>(&window, qPrintable(action.section('=', 0, 0)));
    const QString value = action.section('=', 1);
    if (value.isEmpty())
        static_cast<QAbstractButton *>(target)->click();
    else if (qobject_cast<QComboBox *>(target))
        target->setProperty("currentIndex", value.toInt());
    else
        target->setProperty("value", value.toDouble());

    QCOMPARE(peer.collect(withPort ? toolPort(window) : nullptr), command);
    QCOMPARE(statusText(window), status);
    if (!alsoShown.isEmpty())
        QCOMPARE(shown(window, alsoShown.section('=', 0, 0)), alsoShown.section('=', 1));
    // Stored as its widget's type; no other key is written.
    if (!stored.isEmpty()) {
        const QVariant written = QSettings().value(stored.section('=', 0, 0));
        QCOMPARE(written.userType(),
                 int(qobject_cast<QDoubleSpinBox *>(target) ? QMetaType::Double : QMetaType::Int));
        QCOMPARE(written.toString(), stored.section('=', 1));
    }
    QCOMPARE(changed(storeContents(), {}),
             stored.isEmpty() ? storeBefore : changed(storeBefore, {stored}));
}

// Each query goes out only once the report for the one before has come in; the values
// read back are shown but neither stored (but for the display period) nor sent again.
void TestWindow::readBack_data()
{
    QTest::addColumn<QString>("preset");
    QTest::addColumn<QList<QByteArray>>("reports");
    QTest::addColumn<QStringList>("changes");

    const char *const rows[][4] = {
        // Outputs switched off by the instrument: the periods shown stay the operator's.
        {"outputs off", "rs232-automatic-output=1",
         "cal = user;rs232:period = 0;rs485:period = 0;relay1:default = 0;relay1:temp = "
         "4.2;relay1:hyst = 0.5;relay2:default = 0;relay2:temp = 20.5;relay2:hyst = "
         "1;display:period = 5000",
         "sensorCombo=Custom;sensorNameValue=Custom;rs232AutomaticOutputCombo=Disabled;"
         "enableSerialOutputButton=shown;"
         "relay1TempSpin=4.2;relay1HystSpin=0.5;relay2TempSpin=20.5;relay2HystSpin=1;"
         "displayRefreshSpin=5000"},
        // Values that do not convert change nothing, yet each advances the read-back.
        {"not numbers", "sensor-id=3",
         "cal = pt100;rs232:period = fast;rs485:period = 2.5;relay1:default = on;relay1:temp = "
         "warm;relay1:hyst = nan;relay2:default = ;relay2:temp = inf;relay2:hyst = "
         "1,5;display:period = 1e3",
         "sensorCombo=ASC;sensorNameValue=ASC"},
        // Keys are compared exactly; a reading of the ADC panel in the middle takes the
        // place of an answer, so the last report comes after the read-back.
        {"unknown keys and a reading", "",
         "cal = asc;RS232:period = 250;Vunc = 1500000;rs485:period = 730;relay1:default = "
         "1;temperature = 4.2;relay1:hyst = 3;relay2:default = 1;relay2:temp = 80;relay2:hyst = "
         "4;display:period = 2500",
         "sensorCombo=ASC;sensorNameValue=ASC;rs485AutomaticOutputCombo=Enabled;"
         "rs485OutputPeriodSpin=730;relay1DefaultStateCombo=On;relay1HystSpin=3;"
         "relay2DefaultStateCombo=On;relay2TempSpin=80;relay2HystSpin=4;displayRefreshSpin=2500"}};
    for (const auto &row : rows) {
        QTest::newRow(row[0]) << row[1] << QByteArray(row[2]).split(';')
                              << QString::fromLatin1(row[3]).split(';');
    }
}

void TestWindow::readBack()
{
    QFETCH(QString, preset);
    QFETCH(QList<QByteArray>, reports);
    QFETCH(QStringList, changes);

    if (!preset.isEmpty())
        QSettings().setValue(preset.section('=', 0, 0), preset.section('=', 1));
    PtyPeer peer;
    MainWindow window;
    QCOMPARE(openOn(window, peer), openingBytes);
    const QStringList viewBefore = settingsView(window);
    const QStringList storeBefore = changed(storeContents(), {});
    QCOMPARE(identify(window, peer, "1.3.2.0"), readBackQueries(0, 1));

    const int stages = SettingsProtocol::readBackStageCount();
    for (int i = 0; i < reports.size(); ++i) {
        peer.sendLine(reports.at(i));
        QCOMPARE(peer.collect(toolPort(window)), readBackQueries(i + 1, qMin(i + 2, stages)));
    }
    QCOMPARE(statusText(window), QStringLiteral("Settings read from the instrument"));
    // The read-back is over: a further report is applied but asks nothing.
    peer.sendLine("noise = 1");
    QCOMPARE(peer.collect(toolPort(window)), QByteArray());

    QCOMPARE(settingsView(window), changed(viewBefore, changes));
    const QString display = shown(window, "displayRefreshSpin");
    QCOMPARE(changed(storeContents(), {}),
             display == QLatin1String("100")
                 ? storeBefore
                 : changed(storeBefore, {"display-refresh-period=" + display}));
}

// A new identification starts the read-back over; the boot loader ends it, and nothing
// meant for the application firmware follows, not even when a parameter still comes in.
void TestWindow::readBackRestarts()
{
    PtyPeer peer;
    MainWindow window;
    openOn(window, peer);
    QCOMPARE(identify(window, peer, "1.3.2.0"), readBackQueries(0, 1));
    QCOMPARE(answerReadBack(window, peer, 3), readBackQueries(1, 4));
    QCOMPARE(identify(window, peer, "1.5.0.0"), "@00\n" + readBackQueries(0, 1));
    QCOMPARE(answerReadBack(window, peer, 3), readBackQueries(1, 4));

    QCOMPARE(identify(window, peer, "1.3.1.0", "ZURKD550-BS"), QByteArray());
    peer.sendLine("relay1:temp = 42");
    QCOMPARE(peer.collect(toolPort(window)), QByteArray());
    QCOMPARE(shown(window, "relay1TempSpin"), QStringLiteral("42"));
    QVERIFY(!QSettings().contains(QStringLiteral("/relay1-temperature")));

    QCOMPARE(identify(window, peer, "1.3.2.0"), readBackQueries(0, 1));
    QCOMPARE(answerReadBack(window, peer, SettingsProtocol::readBackStageCount() + 1),
             readBackQueries(1));
}

void TestWindow::openAndClose()
{
    PtyPeer peer;
    MainWindow window;
    QCOMPARE(openOn(window, peer), openingBytes);
    QCOMPARE(statusText(window), QStringLiteral("Ready"));
    QCOMPARE(enabledControls(window), openControls);
    QCOMPARE(QSettings().value("/serial/port-name").toString(), peer.portName());
    // A second Open while connected is ignored: no second link, nothing sent.
    QVERIFY(QMetaObject::invokeMethod(&window, "serialPortOpenButtonClicked"));
    QCOMPARE(window.findChildren<Device *>().size(), 1);
    QCOMPARE(peer.collect(toolPort(window)), QByteArray());

    identify(window, peer, "1.3.0.2", "ZURKD550-BS");
    peer.sendLine("*T = 80 K");
    QTRY_COMPARE(text(window, "temperatureValue"), QStringLiteral("80.000 K"));
    QTest::ignoreMessage(QtDebugMsg, "Closing port ...");
    click(window, "serialPortCloseButton");
    QVERIFY(!liveDevice(window));
    QCOMPARE(statusText(window), QStringLiteral("Port closed"));
    QCOMPARE(enabledControls(window), closedControls);
    // Nothing answers any more; the plot keeps its history.
    for (const char *name : {"modelValue", "versionValue", "serialNumberValue", "temperatureValue"})
        QCOMPARE(text(window, name), QStringLiteral("-"));
    QCOMPARE(curvePoints(window, "plotFrame").size(), 1);
}

void TestWindow::openFailures_data()
{
    QTest::addColumn<bool>("busy");
    QTest::addColumn<QString>("reason");
    QTest::newRow("busy") << true << "the port is busy. Another program holds it.";
    QTest::newRow("not found") << false << "no such port.";
}

void TestWindow::openFailures()
{
    QFETCH(bool, busy);
    QFETCH(QString, reason);

    PtyPeer peer;
    QSerialPort holder(peer.portName());
    QVERIFY(!busy || holder.open(QIODevice::ReadWrite));
    const QString name = busy ? peer.portName() : peer.portName() + "-gone";
    MainWindow window;
    child<QComboBox>(&window, "serialPortCombo")->setEditText(name);
    click(window, "serialPortOpenButton");

    QCOMPARE(statusText(window), "Cannot open " + name + ": " + reason);
    QCOMPARE(child<QWidget>(&window, "serialPortCombo")->toolTip(), statusText(window));
    QVERIFY(!liveDevice(window));
    QCOMPARE(enabledControls(window), closedControls);
    QVERIFY(!QSettings().contains("/serial/port-name"));
}

// Upload and upgrade say why they wait until an instrument identifies itself; its
// fields then show it. The boot loader gets no read-back.
void TestWindow::identification()
{
    PtyPeer peer;
    MainWindow window;
    openOn(window, peer);
    const QString tip = "No instrument has identified itself on this port yet.";
    QCOMPARE(child<QWidget>(&window, "sensorUploadButton")->toolTip(), tip);
    const auto box = answerNextMessageBox(QMessageBox::Ok);
    click(window, "upgradeButton");
    QCOMPARE(box->icon, QMessageBox::Information);
    QCOMPARE(box->title, QStringLiteral("Firmware upgrade"));
    QCOMPARE(box->text,
             tip.chopped(1)
                 + ". The upgrade needs its model and hardware revision: "
                   "check the cable and the port, then open it again.");

    QCOMPARE(identify(window, peer, "1.4.0.0", "ZURKD550-BS"), QByteArray("@00\n"));
    QCOMPARE(text(window, "modelValue"), QStringLiteral("ZURKD550-BS"));
    QCOMPARE(text(window, "serialNumberValue"), QStringLiteral("20417"));
    QCOMPARE(text(window, "versionValue"), QStringLiteral("1.4.0.0"));
    QCOMPARE(child<QWidget>(&window, "sensorUploadButton")->toolTip(), QString());
    QCOMPARE(child<QWidget>(&window, "upgradeButton")->toolTip(), QString());
}

// Only a port that went away (a resource error, or a read error on a line whose far end
// hung up) is given up and waited for.
void TestWindow::portErrors_data()
{
    QTest::addColumn<QSerialPort::SerialPortError>("error");
    QTest::newRow("resource") << QSerialPort::ResourceError;
    QTest::newRow("read") << QSerialPort::ReadError;
    QTest::newRow("write") << QSerialPort::WriteError;
}

void TestWindow::portErrors()
{
    QFETCH(QSerialPort::SerialPortError, error);

    PtyPeer peer;
    MainWindow window;
    openOn(window, peer);
    const bool lost = error == QSerialPort::ResourceError;
    if (lost)
        QTest::ignoreMessage(QtDebugMsg, "Closing port ...");
    emit toolPort(window)->errorOccurred(error);
    QCOMPARE(liveDevice(window) != nullptr, !lost);
    QCOMPARE(statusText(window), lost ? waitingText(peer.portName()) : QStringLiteral("Ready"));
    QCOMPARE(enabledControls(window), lost ? lostControls : openControls);
}

// A lost port is opened again when it is back; choosing another port ends the waiting.
void TestWindow::lostPortComesBack()
{
    QTemporaryDir directory;
    const QString link = directory.filePath("ttySIM");
    auto first = std::make_unique<PtyPeer>();
    QVERIFY(QFile::link(first->portName(), link));
    MainWindow window;
    child<QComboBox>(&window, "serialPortCombo")->setEditText(link);
    click(window, "serialPortOpenButton");
    QCOMPARE(first->collect(toolPort(window)), openingBytes);

    first->hangUp();
    QTRY_COMPARE(statusText(window), waitingText(link));
    QCOMPARE(enabledControls(window), lostControls);
    first.reset();
    PtyPeer second;
    QVERIFY(QFile::remove(link) && QFile::link(second.portName(), link));
    QVERIFY(second.waitFor(openingBytes));
    QCOMPARE(statusText(window), QStringLiteral("Ready"));
    // The typed path is no item of the list; it comes back into the box as typed.
    click(window, "serialPortsRefreshButton");
    QCOMPARE(child<QComboBox>(&window, "serialPortCombo")->currentText(), link);

    second.hangUp();
    QTRY_COMPARE(statusText(window), waitingText(link));
    PtyPeer other;
    choosePort(window, other.portName());
    QCOMPARE(statusText(window), QStringLiteral("Port closed"));
    QCOMPARE(enabledControls(window), closedControls);
}

void TestWindow::quit()
{
    PtyPeer peer;
    MainWindow window;
    window.show();
    openOn(window, peer);
    QTest::ignoreMessage(QtDebugMsg, "Closing port ...");
    child<QAction>(&window, "actionQuit")->trigger();
    QVERIFY(!window.isVisible());
    QVERIFY(!liveDevice(window));
    QCOMPARE(statusText(window), QStringLiteral("Port closed"));
}

// The port outlives the window's own destructor: it must no longer reach the window then.
void TestWindow::destructorLetsThePortGo()
{
    PtyPeer peer;
    bool reachesWindow = true;
    {
        MainWindow window;
        openOn(window, peer);
        QSerialPort *port = toolPort(window);
        QObject::connect(port, &QIODevice::aboutToClose,
                         [&, port, w = &window] { reachesWindow = port->disconnect(w); });
    }
    QVERIFY(!reachesWindow);
}

// Stale after three of the instrument's output periods, never sooner than 3 s.
void TestWindow::staleReadout_data()
{
    QTest::addColumn<QByteArray>("period");
    QTest::addColumn<int>("ageMs");
    QTest::addColumn<QString>("ageText");

    QTest::newRow("no period, at the floor") << QByteArray() << 3000 << "";
    QTest::newRow("fast output keeps the floor")
        << QByteArray("250") << 3001 << "last reading 3 s ago";
    QTest::newRow("slow output, within three periods") << QByteArray("2000") << 6000 << "";
    QTest::newRow("slow output, past three periods")
        << QByteArray("2000") << 12500 << "last reading 12 s ago";
}

void TestWindow::staleReadout()
{
    QFETCH(QByteArray, period);
    QFETCH(int, ageMs);
    QFETCH(QString, ageText);

    PtyPeer peer;
    MainWindow window;
    openOn(window, peer);
    if (!period.isEmpty())
        peer.sendLine("rs232:period = " + period);
    peer.sendLine("*T = 80 K");
    peer.collect(toolPort(window));
    const QPalette normal = child<QLabel>(&window, "temperatureValue")->palette();
    const auto colour = [&] {
        return child<QLabel>(&window, "temperatureValue")->palette().color(QPalette::WindowText);
    };

    window.showReadoutAge(ageMs);
    QCOMPARE(text(window, "temperatureAgeLabel"), ageText);
    QCOMPARE(colour(),
             normal.color(ageText.isEmpty() ? QPalette::Active : QPalette::Disabled,
                          QPalette::WindowText));
    peer.sendLine("*T = 81 K");
    peer.collect(toolPort(window));
    QCOMPARE(text(window, "temperatureAgeLabel"), QString());
    QCOMPARE(colour(), normal.color(QPalette::WindowText));
}

void TestWindow::plotKeepsLast300AndClears()
{
    PtyPeer peer;
    MainWindow window;
    openOn(window, peer);
    QByteArray lines;
    for (int kelvin = 1; kelvin <= 301; ++kelvin)
        lines += "*T = " + QByteArray::number(kelvin) + " K\r\n";
    peer.send(lines);
    QTRY_COMPARE(text(window, "temperatureValue"), QStringLiteral("301.000 K"));
    const QVector<QPointF> points = curvePoints(window, "plotFrame");
    QCOMPARE(points.size(), 300);
    QCOMPARE(points.first().y(), 2.0);
    QCOMPARE(points.last(), QPointF(0.0, 301.0));
    QVERIFY(points.first().x() < 0.0);

    click(window, "plotClearButton");
    QVERIFY(curvePoints(window, "plotFrame").isEmpty());
    peer.sendLine("*T = 92.5 K");
    QTRY_COMPARE(curvePoints(window, "plotFrame"), QVector<QPointF>{QPointF(0.0, 92.5)});
}

// However the window paces its repaints, once the readings stop its plot shows exactly
// what the same plot shows when given the same points and replotted at once.
void TestWindow::livePlotLooksAsDrawnAtOnce()
{
    MainWindow window;
    MainWindow reference;
    const auto plotIn = [](const MainWindow &shown) {
        return child<QWidget>(&shown, "plotFrame")->findChild<QwtPlot *>();
    };
    for (MainWindow *shown : {&window, &reference}) {
        plotIn(*shown)->setFixedSize(600, 400);
        shown->show();
        QVERIFY(QTest::qWaitForWindowExposed(shown));
    }

    for (int i = 0; i < 300; ++i)
        window.temperatureChanged(77.0 + 0.5 * i + 0.3 * (i % 7));
    QwtPlot *atOnce = plotIn(reference);
    auto *curve
        = static_cast<QwtPlotCurve *>(atOnce->itemList(QwtPlotItem::Rtti_PlotCurve).first());
    const QVector<QPointF> points = curvePoints(window, "plotFrame");
    QCOMPARE(points.size(), 300);
    curve->setSamples(points);
    atOnce->replot();

    const QImage expected = atOnce->grab().toImage();
    QCOMPARE(expected.size(), QSize(600, 400));
    QTRY_COMPARE(plotIn(window)->grab().toImage(), expected);
}

void TestWindow::progress_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("stateMax");
    QTest::addColumn<int>("expected");
    QTest::newRow("0 of 200") << 0 << 200 << 0;
    QTest::newRow("198 of 200") << 198 << 200 << 99;
    QTest::newRow("300 of 200") << 300 << 200 << 100;
    QTest::newRow("total 0") << 0 << 0 << 100;
    QTest::newRow("large image") << 30000000 << 40000000 << 75;
}

void TestWindow::progress()
{
    QFETCH(int, state);
    QFETCH(int, stateMax);
    QFETCH(int, expected);

    PtyPeer peer;
    MainWindow window;
    openOn(window, peer);
    emit liveDevice(window)->progress(state, stateMax);
    QCOMPARE(child<QProgressBar>(&window, "progressBar")->value(), expected);
}

// "Device reset" is shown for 2 s.
void TestWindow::resetNotice()
{
    PtyPeer peer;
    MainWindow window;
    openOn(window, peer);
    peer.sendLine("*RESET 0");
    QTRY_COMPARE(statusText(window), QStringLiteral("Device reset"));
    const auto timers = child<QStatusBar>(&window, "statusBar")->findChildren<QTimer *>();
    QCOMPARE(timers.size(), 1);
    QCOMPARE(timers.first()->interval(), 2000);
}

// The fit real = slope * (adc + offset) through both points is shown; Calibrate is
// offered only for a usable one (its tool tip says what is missing) and sends it.
void TestWindow::adcFit_data()
{
    QTest::addColumn<double>("real2");
    QTest::addColumn<QByteArrayList>("readings"); // of point 1, then point 2
    QTest::addColumn<QString>("problem");
    QTest::addColumn<QString>("fit"); // slope and offset
    QTest::addColumn<QByteArray>("sent");

    const QString none;
    QTest::newRow("nothing measured")
        << 0.0 << QByteArrayList{} << "Measure ADC voltage 1" << none << QByteArray();
    // A reading that does not convert leaves the point waiting.
    QTest::newRow("one point") << 0.0 << QByteArrayList{"1000000", "1.5"} << "Measure ADC voltage 2"
                               << none << QByteArray();
    QTest::newRow("equal real voltages")
        << 1.0 << QByteArrayList{"1000000", "0"} << "The two real voltages must differ" << none
        << QByteArray();
    QTest::newRow("equal readings")
        << 0.0 << QByteArrayList{"500000", "500000"} << "The two measured voltages must differ"
        << none << QByteArray();
    QTest::newRow("falling fit") << 0.0 << QByteArrayList{"0", "1000000"}
                                 << "The fitted slope is not positive"
                                 << "-1.000000000 -1.000000 V" << QByteArray();
    QTest::newRow("usable") << 0.0 << QByteArrayList{"980000", "-10000"} << none
                            << "1.010101010 0.010000 V"
                            << QByteArray(":volt:cal 00002710 010295fa\n");
}

void TestWindow::adcFit()
{
    QFETCH(double, real2);
    QFETCH(QByteArrayList, readings);
    QFETCH(QString, problem);
    QFETCH(QString, fit);
    QFETCH(QByteArray, sent);

    PtyPeer peer;
    MainWindow window;
    connectInstrument(window, peer);
    child<QObject>(&window, "adcCalibrationV1")->setProperty("value", 1.0);
    child<QObject>(&window, "adcCalibrationV2")->setProperty("value", real2);
    const char *buttons[] = {"adcCalibrationR1MeasureButton", "adcCalibrationR2MeasureButton"};
    for (int point = 0; point < readings.size(); ++point) {
        click(window, buttons[point]);
        QCOMPARE(peer.collect(toolPort(window)), QByteArray(":volt:unc?\n"));
        peer.sendLine("Vunc = " + readings.at(point));
        peer.collect(toolPort(window));
    }

    QCOMPARE((text(window, "adcCalibrationSlope") + ' ' + text(window, "adcCalibrationOffset"))
                 .trimmed(),
             fit);
    auto *calibrate = child<QWidget>(&window, "adcCalibrationButton");
    QCOMPARE(calibrate->isEnabled(), problem.isEmpty());
    QCOMPARE(calibrate->toolTip(), problem);
    QVERIFY(QMetaObject::invokeMethod(&window, "adcCalibrationButtonClicked"));
    QCOMPARE(peer.collect(toolPort(window)), sent);
}

// Reset asks first, No by default; without a port the panel sends nothing, and readings
// taken before an Open are no fit for the instrument opened.
void TestWindow::adcResetAndReopen()
{
    PtyPeer peer;
    MainWindow window;
    connectInstrument(window, peer);
    const auto question = answerNextMessageBox(QMessageBox::No);
    click(window, "adcCalibrationResetButton");
    QCOMPARE(question->title, QStringLiteral("Reset calibration"));
    QCOMPARE(question->text,
             QStringLiteral("Clear the instrument's voltage calibration? It then "
                            "reports uncalibrated voltages until it is "
                            "calibrated again."));
    QCOMPARE(question->defaultButton, QMessageBox::No);
    QCOMPARE(peer.collect(toolPort(window)), QByteArray());
    answerNextMessageBox(QMessageBox::Yes);
    click(window, "adcCalibrationResetButton");
    QCOMPARE(peer.collect(toolPort(window)), QByteArray(":volt:cal 00000000 00000000\n"));

    click(window, "adcCalibrationR1MeasureButton");
    QCOMPARE(peer.collect(toolPort(window)), QByteArray(":volt:unc?\n"));
    peer.sendLine("Vunc = 3030000");
    peer.collect(toolPort(window));
    QTest::ignoreMessage(QtDebugMsg, "Closing port ...");
    click(window, "serialPortCloseButton");
    for (const char *button :
         {"adcCalibrationR1MeasureButton", "adcCalibrationR2MeasureButton",
          "adcCalibrationRealMasureButton", "adcCalibrationButton", "adcCalibrationResetButton"})
        click(window, button);
    QCOMPARE(peer.collect(nullptr), QByteArray());
    QCOMPARE(text(window, "adcCalibrationR1"), QStringLiteral("3.030000 V"));
    QCOMPARE(child<QWidget>(&window, "adcCalibrationButton")->toolTip(), "Measure ADC voltage 2");
    QCOMPARE(openOn(window, peer), openingBytes);
    QCOMPARE(child<QWidget>(&window, "adcCalibrationButton")->toolTip(), "Measure ADC voltage 1");
}

RIMEGLASS_TEST_MAIN(QApplication, TestWindow)

#include "test_window.moc"
