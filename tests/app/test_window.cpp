// The main window through its widgets, the instrument on a pseudo-terminal, and its history
// views: only what the window itself does, what the operator sees and what is stored.

#include "buildinfo.h"
#include "calibrationtable.h"
#include "containerpacker.h"
#include "curvefile.h"
#include "historyview.h"
#include "instrumentsession.h"
#include "readinghistory.h"
#include "settingsprotocol.h"
#include "signingkeys.h"
#include "simulatedinstrument.h"
#include "testmain.h"
#include "uuids.h"
#include "windowdriver.h"
#include "wirebytes.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <qwt_plot_zoomer.h>
#include <sodium.h>

using namespace windowdriver;

namespace {

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

// Plays an identification reply (and the compatibility one); returns what the tool sent.
QByteArray identify(const MainWindow &window, PseudoTerminal &peer, const QByteArray &version,
                    const QByteArray &model = "ZURKD550")
{
    peer.setResponder([](const QByteArray &token) {
        return token == "@00\n" ? QByteArrayList{"*COMPAT = 3cc3a93f426145ff95bf653df2686cb0"}
                                : QByteArrayList{};
    });
    peer.sendLine("MORVA," + model + ",20417," + version);
    const QByteArray sent = peer.collect(toolPort(window));
    peer.setResponder(PseudoTerminal::Responder());
    return sent;
}

// Answers the message boxes to come in turn, each with the button of the text given, and
// adds what each said to `texts`.
void answerBoxes(const std::shared_ptr<QStringList> &texts, const QStringList &buttons)
{
    if (buttons.isEmpty())
        return;
    answerNextModal<QMessageBox>([=](QMessageBox *box) {
        *texts << box->text();
        answerBoxes(texts, buttons.mid(1));
        for (QAbstractButton *button : box->buttons()) {
            if (button->text() == buttons.first())
                button->click();
        }
    });
}

// Starts a table upload that the instrument on `peer` never acknowledges.
void startSilentUpload(MainWindow &window, PseudoTerminal &peer, const QString &table)
{
    QVERIFY(writeFile(table, "4.2 1.6243\n300 0.5\n"));
    answerNextFileDialog(table);
    click(window, "sensorFileChooseButton");
    click(window, "sensorUploadButton");
    QCOMPARE(peer.collect(toolPort(window)), QByteArray(":cal:erase\n"));
}

constexpr double startTime = 1796000000.0; // 2026-11-30T00:53:20Z

// `count` readings one second apart, a random walk in kelvin.
QVector<QPointF> walk(int count)
{
    QRandomGenerator random(15);
    QVector<QPointF> readings(count);
    double kelvin = 150.0;
    for (int i = 0; i < count; ++i) {
        kelvin += random.generateDouble() - 0.5;
        readings[i] = {startTime + i, kelvin};
    }
    return readings;
}

// Per pixel column: the first and the last point, the least and the greatest value.
QMap<int, QVector<double>> columnsOf(const QVector<QPointF> &points, double from, double to,
                                     int columns)
{
    QMap<int, QVector<double>> result;
    for (const QPointF &p : points) {
        const int c = std::min(int((p.x() - from) * (columns / (to - from))), columns - 1);
        if (p.x() < from || p.x() > to)
            continue;
        QVector<double> &column = result[c];
        if (column.isEmpty())
            column = {p.x(), p.y(), p.x(), p.y(), p.y(), p.y()};
        column
            = {column[0], column[1], p.x(), p.y(), qMin(column[4], p.y()), qMax(column[5], p.y())};
    }
    return result;
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QApplication::setQuitOnLastWindowClosed(false);
        QVERIFY(sodium_init() >= 0);
    }
    void init() { QSettings().clear(); }
    void cleanup() { cancelPendingAnswers(); }

    // Every object looked up by name, with its class: a widget renamed in the form shows here.
    void formNames_data()
    {
        QTest::addColumn<QString>("className");
        const QString objects
            = "QComboBox serialPortCombo sensorCombo relay1DefaultStateCombo "
              "relay2DefaultStateCombo "
              "rs232AutomaticOutputCombo rs485AutomaticOutputCombo|QDoubleSpinBox relay1TempSpin "
              "relay1HystSpin relay2TempSpin relay2HystSpin rs232OutputPeriodSpin "
              "rs485OutputPeriodSpin adcCalibrationV1 adcCalibrationV2|QPushButton "
              "serialPortsRefreshButton serialPortOpenButton serialPortCloseButton "
              "enableSerialOutputButton plotClearButton plotExportButton recordButton applyButton "
              "saveButton saveButton2 sensorFileChooseButton sensorUploadButton "
              "sensorTransposeButton "
              "sensorExportButton upgradeButton transferCancelButton adcCalibrationR1MeasureButton "
              "adcCalibrationR2MeasureButton adcCalibrationRealMasureButton adcCalibrationButton "
              "adcCalibrationResetButton|QLineEdit modelValue versionValue serialNumberValue "
              "sensorFileEdit sensorNameEdit adcCalibrationR1 adcCalibrationR2 "
              "adcCalibrationOffset "
              "adcCalibrationSlope adcCalibrationRealValue|QLabel temperatureValue "
              "temperatureAgeLabel sensorNameValue sensorTableSummaryLabel recordingStatusLabel|"
              "QAction actionQuit actionCheckForUpdates actionAbout actionRecord "
              "actionRecordAutomatically actionRecordingFolder|QSpinBox displayRefreshSpin|QFrame "
              "plotFrame sensorPlotFrame|QProgressBar progressBar|QStatusBar statusBar|QTabWidget "
              "tabWidget";
        for (const QString &line : objects.split('|')) {
            const QStringList words = line.split(' ');
            for (const QString &name : words.mid(1))
                QTest::newRow(qPrintable(name)) << words.first();
        }
    }

    void formNames()
    {
        QFETCH(QString, className);
        MainWindow window;
        const QObject *object = window.findChild<QObject *>(QTest::currentDataTag());
        QVERIFY(object);
        QVERIFY2(object->inherits(qPrintable(className)), object->metaObject()->className());
    }

    // Every tab fits a 1024 x 600 screen with the longest texts it shows: a long port name, a
    // readout stale for hours with the serial output off, a file with many warnings, a failed
    // transfer and a recording of an instrument with a long serial number.
    void fitsSmallScreen()
    {
        const QString table = files.filePath(QStringLiteral("below-zero.txt"));
        QVERIFY(writeFile(table, QByteArray("-1.5 1.25\n").repeated(40)));
        PseudoTerminal peer;
        MainWindow window;
        window.addExtraPort("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
                            "FTDI, FT232R USB UART, A50285BI, simulated instrument");
        click(window, "serialPortOpenButton");
        QVERIFY(!liveDevice(window));
        openOn(window, peer);
        peer.sendLine("MORVA,ZURKD550," + QByteArray(40, '7')
                      + ",1.3.0.0\r\ncal = dt-400\r\n"
                        "rs232:period = 0\r\n*T = 999.999 K");
        peer.collect(toolPort(window));
        window.showReadoutAge(99 * 3600 * 1000);
        click(window, "recordButton");
        answerNextFileDialog(table);
        click(window, "sensorFileChooseButton");
        Device::TransferFailureReport failure;
        failure.failure = Device::TransferFailure::InstrumentError;
        failure.instrumentLine = QString(200, 'x');
        answerNextMessageBox(QMessageBox::Ok);
        emit liveDevice(window)->transferFailed(failure);
        QVERIFY(waitUntil([] { return !QApplication::activeModalWidget(); }));
        QCOMPARE(shown(window, "enableSerialOutputButton"), QStringLiteral("shown"));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QSize hint = window.minimumSizeHint();
        QVERIFY2(hint.width() <= 1024 && hint.height() <= 600,
                 qPrintable(QStringLiteral("%1 x %2").arg(hint.width()).arg(hint.height())));
    }

    // What a start makes of the store: a damaged value is dropped and the operator told;
    // everything else is shown as stored, and nothing is written back.
    void storeAtStart_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QByteArray>("left");
        const QByteArray handWritten
            = "[General]\nsensor-id = 3\nrelay1-temperature = 42.50\nrelay1-hysteresis = 2.250\n"
              "relay1-default-state = 1\nrelay2-temperature = 77.000\nrelay2-hysteresis = 3.5\n"
              "relay2-default-state = 1\nrs232-automatic-output = 1\n"
              "rs232-automatic-output-period = 250\nrs485-automatic-output = 1\n"
              "rs485-automatic-output-period = 730\ndisplay-refresh-period = 900\n"
              "custom-sensor-name = PT-1000\ncustom-sensor-file = /data/pt1000.cal\n\n"
              "[serial]\nport-name = no-such-port\n";
        QTest::newRow("damaged value")
            << QByteArray("[General]\nrelay1-temperature=42\n[serial]\n"
                          "sensor-id=@Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)\n")
            << "Some stored settings could not be read and were reset to their defaults"
            << "relay1TempSpin=42" << QByteArray("[General]\nrelay1-temperature=42\n[serial]\n");
        // The display refresh period is never loaded: every start begins at the minimum.
        QTest::newRow("loaded, nothing written back")
            << handWritten << "Port closed"
            << "sensorCombo=ASC;sensorNameValue=ASC;relay1TempSpin=42.5;relay1HystSpin=2.25;"
               "relay1DefaultStateCombo=On;relay2TempSpin=77;relay2HystSpin=3.5;"
               "relay2DefaultStateCombo=On;rs232AutomaticOutputCombo=Enabled;"
               "rs232OutputPeriodSpin=250;rs485AutomaticOutputCombo=Enabled;"
               "rs485OutputPeriodSpin=730;sensorNameEdit=PT-1000;sensorFileEdit=/data/pt1000.cal"
            << handWritten;
    }

    void storeAtStart()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QString, status);
        QFETCH(QString, shown);
        QFETCH(QByteArray, left);
        const QString path = QSettings().fileName();
        QVERIFY(QDir().mkpath(QFileInfo(path).path()) && writeFile(path, stored));
        {
            MainWindow window;
            QCOMPARE(statusText(window), status);
            QCOMPARE(settingsView(window), changed(firstStartView, shown.split(';')));
        }
        QCOMPARE(readFile(path), left);
    }

    void settingChange_data()
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
            {"relay 2 hysteresis", "", "relay2HystSpin=1", "relay2-hysteresis=1",
             ":relay2:hyst 1.000\n", "Relay 2 hysteresis set to 1.000 K", ""},
            {"relay 1 default state", "", "relay1DefaultStateCombo=1", "relay1-default-state=1",
             ":relay1:default 1\n", "Relay 1 default state set to On", ""},
            {"relay 2 default state", "relay2-default-state=1", "relay2DefaultStateCombo=0",
             "relay2-default-state=0", ":relay2:default 0\n", "Relay 2 default state set to Off",
             ""},
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
            {"relay 1 temperature without port", "", "relay1TempSpin=10", "relay1-temperature=10",
             "", "Port closed", ""},
            {"store that cannot be written", "unwritable", "relay1TempSpin=25",
             "relay1-temperature=25", ":relay1:temp 25.000\n",
             "Relay 1 temperature set to 25.000 K", ""},
        };
        for (const auto &row : rows)
            QTest::newRow(row[0]) << row[1] << row[2] << row[3] << QByteArray(row[4]) << row[5]
                                  << row[6];
    }

    void settingChange()
    {
        QFETCH(QString, preset);
        QFETCH(QString, action);
        QFETCH(QString, stored);
        QFETCH(QByteArray, command);
        QFETCH(QString, status);
        QFETCH(QString, alsoShown);
        // A file where the store's folder belongs: no one, not even root, can write there.
        const QString storeFolder = QFileInfo(QSettings().fileName()).absolutePath();
        const auto unblock = qScopeGuard([&] { QFile::remove(storeFolder); });
        if (preset == QLatin1String("unwritable"))
            QVERIFY(QDir(storeFolder).removeRecursively() && writeFile(storeFolder, "in the way"));
        else if (!preset.isEmpty())
            QSettings().setValue(preset.section('=', 0, 0), preset.section('=', 1));
        PseudoTerminal peer;
        MainWindow window;
        const bool withPort = status != QLatin1String("Port closed");
        if (withPort)
            openOn(window, peer);
        const QStringList storeBefore = storeContents();
        operate(window, action);
        QCOMPARE(peer.collect(withPort ? toolPort(window) : nullptr), command);
        QCOMPARE(statusText(window), status);
        if (!alsoShown.isEmpty())
            QCOMPARE(shown(window, alsoShown.section('=', 0, 0)), alsoShown.section('=', 1));
        // Stored as its widget's type; no other key is written.
        if (!stored.isEmpty()) {
            const QVariant written = QSettings().value(stored.section('=', 0, 0));
            QCOMPARE(written.userType(),
                     int(window.findChild<QDoubleSpinBox *>(action.section('=', 0, 0))
                             ? QMetaType::Double
                             : QMetaType::Int));
            QCOMPARE(written.toString(), stored.section('=', 1));
        }
        QCOMPARE(storeContents(), stored.isEmpty() ? storeBefore : changed(storeBefore, {stored}));
    }

    // Values that do not convert change nothing. What is read back is shown, neither sent back
    // nor stored (but the display), and the sensor read back is the one History's export names.
    void readBack_data()
    {
        QTest::addColumn<QByteArrayList>("reports");
        QTest::addColumn<QByteArrayList>("queries"); // what each report is followed by
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("stored");
        const QByteArrayList reports
            = QByteArray("cal = asc;RS232:period = 250;Vunc = 1500000;rs485:period = 730;"
                         "relay1:default = on;relay1:temp = nan;relay1:hyst = 3;relay2:default = 1;"
                         "relay2:temp = inf;relay2:hyst = 4;display:period = 2500;noise = 1")
                  .split(';');
        QByteArrayList queries;
        for (int i = 0; i < reports.size(); ++i)
            queries << readBackQueries(i + 1, qMin(i + 2, SettingsProtocol::readBackStageCount()));
        QTest::newRow("whole")
            << reports << queries
            << "sensorCombo=ASC;sensorNameValue=ASC;rs485AutomaticOutputCombo="
               "Enabled;rs485OutputPeriodSpin=730;relay1HystSpin=3;"
               "relay2DefaultStateCombo=On;relay2HystSpin=4;displayRefreshSpin=2500"
            << "display-refresh-period=2500";
    }

    void readBack()
    {
        QFETCH(QByteArrayList, reports);
        QFETCH(QByteArrayList, queries);
        QFETCH(QString, shown);
        QFETCH(QString, stored);
        PseudoTerminal peer;
        MainWindow window;
        QCOMPARE(openOn(window, peer), openingBytes);
        const QStringList storeBefore = storeContents();
        QCOMPARE(identify(window, peer, "1.3.2.0"), readBackQueries(0, 1));
        for (int i = 0; i < reports.size(); ++i) {
            peer.sendLine(reports.at(i));
            QCOMPARE(peer.collect(toolPort(window)), queries.at(i));
        }
        QCOMPARE(settingsView(window), changed(firstStartView, shown.split(';')));
        QCOMPARE(storeContents(), changed(storeBefore, {stored}));
        const QString exported = files.filePath(QStringLiteral("history.csv"));
        QVERIFY(window.findChild<HistoryView *>()->exportCsv(exported));
        QVERIFY(readFile(exported).contains("\n# sensor: ASC\n"));
    }

    // Opening and Quit: what is enabled, shown and stored.
    void openAndClose()
    {
        PseudoTerminal peer;
        MainWindow window;
        QCOMPARE(openOn(window, peer), openingBytes);
        QCOMPARE(enabledControls(window), openControls);
        QCOMPARE(QSettings().value("/serial/port-name").toString(), peer.portName());
        identify(window, peer, "1.3.0.2", "ZURKD550-BS");
        peer.sendLine("*T = 80 K");
        QTRY_COMPARE(text(window, "temperatureValue"), QStringLiteral("80.000 K"));
        QTest::ignoreMessage(QtDebugMsg, "Closing port ...");
        window.show();
        child<QAction>(&window, "actionQuit")->trigger();
        QVERIFY(!window.isVisible());
        QVERIFY(!liveDevice(window));
        QCOMPARE(statusText(window), QStringLiteral("Port closed"));
        QCOMPARE(enabledControls(window), closedControls);
        // Nothing answers any more; the plot keeps its history.
        for (const char *name :
             {"modelValue", "versionValue", "serialNumberValue", "temperatureValue"})
            QCOMPARE(text(window, name), QStringLiteral("-"));
        QCOMPARE(curvePoints(window, "plotFrame").size(), 1);
    }

    // Closing (the window's close button) or Quit: a transfer under way goes on unless the
    // operator quits anyway, and is then cancelled with its outcome told before the window
    // goes; a recording is saved and the status bar says where. No box comes after the window.
    // Ended from outside (SIGTERM, logging out), nothing is asked: the transfer is cancelled
    // and its outcome goes to the log.
    void closing_data()
    {
        QTest::addColumn<QString>("running"); // "", "recording" or "transfer"
        QTest::addColumn<QString>("how"); // "close", "quit" or "end" (from outside)
        QTest::addColumn<QStringList>("answers"); // the buttons pressed in the boxes, in turn
        QTest::addColumn<QStringList>("boxes"); // what the boxes said
        QTest::addColumn<QString>("status"); // %1: the recording's path
        const QString question
            = "The calibration upload is still running. Quitting cancels it; the instrument's "
              "custom table is then left erased until it is uploaded again.";
        const QString saved = "Recording saved to %1 (1 row)";
        const QString cancelled = "The upload was cancelled. 0 of 40 bytes were written. The "
                                  "custom table was erased; upload it again.";
        QTest::newRow("neither, Quit") << ""
                                       << "quit" << QStringList() << QStringList() << "Port closed";
        QTest::newRow("recording, close") << "recording"
                                          << "close" << QStringList() << QStringList() << saved;
        QTest::newRow("recording, Quit") << "recording"
                                         << "quit" << QStringList() << QStringList() << saved;
        QTest::newRow("recording, ended from outside")
            << "recording"
            << "end" << QStringList() << QStringList() << saved;
        QTest::newRow("transfer, keep working")
            << "transfer"
            << "quit" << QStringList{"Keep working"} << QStringList{question} << "Ready";
        QTest::newRow("transfer, quit anyway")
            << "transfer"
            << "close" << QStringList{"Quit anyway", "OK"} << QStringList{question, cancelled}
            << "Calibration upload failed";
        QTest::newRow("transfer, ended from outside")
            << "transfer"
            << "end" << QStringList() << QStringList() << "Port closed";
    }

    void closing()
    {
        QFETCH(QString, running);
        QFETCH(QString, how);
        QFETCH(QStringList, answers);
        QFETCH(QStringList, boxes);
        QFETCH(QString, status);
        const QString folder = files.filePath(QTest::currentDataTag());
        QSettings().setValue(QStringLiteral("/recording/folder"), folder);
        PseudoTerminal peer;
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        openOn(window, peer);
        if (running == QLatin1String("recording")) {
            identify(window, peer, "1.3.0.0");
            click(window, "recordButton");
            peer.sendLine("*T = 77.35 K");
            QTRY_VERIFY(text(window, "recordingStatusLabel").endsWith(": 1 row"));
        } else if (running == QLatin1String("transfer")) {
            startSilentUpload(window, peer, files.filePath(QStringLiteral("closing.txt")));
        }
        const auto texts = std::make_shared<QStringList>();
        answerBoxes(texts, answers);
        if (how == QLatin1String("quit")) {
            child<QAction>(&window, "actionQuit")->trigger();
        } else if (how == QLatin1String("end")) {
            if (running == QLatin1String("transfer"))
                QTest::ignoreMessage(QtWarningMsg,
                                     "The upload was cancelled. 0 of 40 bytes were written. "
                                     "The custom table was erased; upload it again.");
            window.endWithoutAsking();
        } else {
            window.close();
        }
        QCOMPARE(*texts, boxes);
        QCOMPARE(window.isVisible(), answers.value(0) == QLatin1String("Keep working"));
        QCoreApplication::processEvents(); // a box left to the event loop would show now
        QVERIFY(!QApplication::activeModalWidget());
        const QStringList recorded = QDir(folder).entryList(QDir::Files);
        QCOMPARE(statusText(window), status.arg(QDir(folder).filePath(recorded.value(0))));
        QCOMPARE(child<QWidget>(&window, "openRecordingFolderLink")->isHidden(),
                 recorded.isEmpty());
        if (!recorded.isEmpty())
            QVERIFY(readFile(QDir(folder).filePath(recorded.first())).endsWith(",77.350\n"));
        QCOMPARE(peer.collect(liveDevice(window) ? toolPort(window) : nullptr), QByteArray());
    }

    // The window opens with the size, place and tab of the last one closed; a place off
    // every screen is ignored.
    void windowRemembered_data()
    {
        QTest::addColumn<QPoint>("place");
        QTest::addColumn<bool>("restored");
        QTest::newRow("on the screen") << QPoint(40, 30) << true;
        QTest::newRow("off every screen") << QPoint(-5000, 9000) << false;
    }

    void windowRemembered()
    {
        QFETCH(QPoint, place);
        QFETCH(bool, restored);
        QRect opened;
        {
            MainWindow first;
            opened = first.geometry();
            first.show();
            QVERIFY(QTest::qWaitForWindowExposed(&first));
            first.setGeometry(QRect(place, QSize(1010, 590)));
            child<QTabWidget>(&first, "tabWidget")->setCurrentIndex(3);
            first.close();
        }
        MainWindow second;
        QCOMPARE(second.geometry(), restored ? QRect(place, QSize(1010, 590)) : opened);
        QCOMPARE(child<QTabWidget>(&second, "tabWidget")->currentIndex(), 3);
    }

    // A port another program holds, typed and opened with Enter, is explained, and not
    // remembered.
    void openFailureExplained()
    {
        PseudoTerminal peer;
        QSerialPort holder(peer.portName());
        QVERIFY(holder.open(QIODevice::ReadWrite));
        MainWindow window;
        auto *ports = child<QComboBox>(&window, "serialPortCombo");
        ports->setEditText(peer.portName());
        QTest::keyClick(ports->lineEdit(), Qt::Key_Return);
        QCOMPARE(statusText(window),
                 "Cannot open " + peer.portName()
                     + ": the port is busy. Another program holds it.");
        QCOMPARE(child<QWidget>(&window, "serialPortCombo")->toolTip(), statusText(window));
        QVERIFY(!liveDevice(window));
        QVERIFY(!QSettings().contains("/serial/port-name"));
    }

    // A lost port is opened again when it is back; choosing another port ends the waiting.
    void lostPortComesBack()
    {
        QTemporaryDir directory;
        const QString link = directory.filePath("ttySIM");
        auto first = std::make_unique<PseudoTerminal>();
        QVERIFY(QFile::link(first->portName(), link));
        MainWindow window;
        child<QComboBox>(&window, "serialPortCombo")->setEditText(link);
        click(window, "serialPortOpenButton");
        QCOMPARE(first->collect(toolPort(window)), openingBytes);
        QTest::ignoreMessage(QtDebugMsg, "Closing port ...");
        first->hangUp();
        QTRY_COMPARE(statusText(window), waitingText(link));
        QCOMPARE(enabledControls(window), lostControls);
        first.reset();
        PseudoTerminal second;
        QVERIFY(QFile::remove(link) && QFile::link(second.portName(), link));
        QVERIFY(second.waitFor(openingBytes));
        QCOMPARE(statusText(window), QStringLiteral("Ready"));
        second.hangUp();
        QTRY_COMPARE(statusText(window), waitingText(link));
        PseudoTerminal other;
        choosePort(window, other.portName());
        QCOMPARE(statusText(window), QStringLiteral("Port closed"));
        QCOMPARE(enabledControls(window), closedControls);
        QCOMPARE(window.findChild<InstrumentSession *>()->state(),
                 InstrumentSession::State::Closed);
    }

    void plotKeepsLast300AndClears()
    {
        PseudoTerminal peer;
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
        click(window, "plotClearButton");
        QVERIFY(curvePoints(window, "plotFrame").isEmpty());
        peer.sendLine("*T = 92.5 K");
        QTRY_COMPARE(curvePoints(window, "plotFrame"), QVector<QPointF>{QPointF(0.0, 92.5)});
    }

    // Once the readings stop, the plot shows what the same points replotted at once show.
    void livePlotLooksAsDrawnAtOnce()
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
        // The first reading after a quiet spell is drawn at once, not held for a frame.
        window.temperatureChanged(77.0);
        QVERIFY(child<QLabel>(&window, "temperatureValue")->updatesEnabled());
        for (int i = 1; i < 300; ++i)
            window.temperatureChanged(77.0 + 0.5 * i + 0.3 * (i % 7));
        QwtPlot *atOnce = plotIn(reference);
        auto *curve
            = static_cast<QwtPlotCurve *>(atOnce->itemList(QwtPlotItem::Rtti_PlotCurve).first());
        const QVector<QPointF> points = curvePoints(window, "plotFrame");
        QCOMPARE(points.size(), 300);
        QCOMPARE(text(window, "temperatureValue"), QStringLiteral("228.000 K"));
        curve->setSamples(points);
        atOnce->replot();
        const QImage expected = atOnce->grab().toImage();
        QCOMPARE(expected.size(), QSize(600, 400));
        QTRY_COMPARE(plotIn(window)->grab().toImage(), expected);
    }

    // The readout greys out and tells its age once it has gone without a reading for three
    // RS232 output periods (at least 3 s); the next reading shows it fresh again.
    void staleReadout_data()
    {
        QTest::addColumn<QByteArray>("periodReport");
        QTest::addColumn<int>("ageMs");
        QTest::addColumn<QString>("ageText");
        QTest::newRow("no period, past the floor")
            << QByteArray() << 3001 << "last reading 3 s ago";
        QTest::newRow("slow output, within three periods")
            << QByteArray("rs232:period = 2000") << 6000 << "";
        QTest::newRow("slow output, past three periods")
            << QByteArray("rs232:period = 2000") << 12500 << "last reading 12 s ago";
    }

    void staleReadout()
    {
        QFETCH(QByteArray, periodReport);
        QFETCH(int, ageMs);
        QFETCH(QString, ageText);
        PseudoTerminal peer;
        MainWindow window;
        openOn(window, peer);
        peer.sendLine(periodReport + "\r\n*T = 80 K");
        peer.collect(toolPort(window));
        const auto colour = [&] {
            return child<QLabel>(&window, "temperatureValue")
                ->palette()
                .color(QPalette::WindowText);
        };
        const QColor fresh = colour();
        window.showReadoutAge(ageMs);
        QCOMPARE(text(window, "temperatureAgeLabel"), ageText);
        QCOMPARE(colour() != fresh, !ageText.isEmpty());
        peer.sendLine("*T = 81 K");
        peer.collect(toolPort(window));
        QCOMPARE(text(window, "temperatureAgeLabel"), QString());
        QCOMPARE(colour(), fresh);
    }

    // Left alone, the readout turns stale once the limit has passed and then follows the
    // session's clock: hours later it says so.
    void readoutTurnsStaleByItself()
    {
        PseudoTerminal peer;
        MainWindow window;
        openOn(window, peer);
        qint64 now = qint64(startTime) * 1000000000;
        window.findChild<InstrumentSession *>()->setClock([&now] { return now; });
        peer.sendLine("*T = 80 K");
        QTRY_COMPARE(text(window, "temperatureValue"), QStringLiteral("80.000 K"));
        now += qint64(3 * 3600) * 1000000000;
        QCOMPARE(text(window, "temperatureAgeLabel"), QString());
        QTRY_COMPARE(text(window, "temperatureAgeLabel"), QStringLiteral("last reading 3 h ago"));
    }

    // The readout's age is looked at again when it would look different, and not sooner.
    void readoutAgeCheckDue_data()
    {
        QTest::addColumn<int>("ageMs");
        QTest::addColumn<int>("limitMs");
        QTest::addColumn<int>("dueInMs");
        QTest::newRow("fresh") << 0 << 3000 << 3001;
        QTest::newRow("at the limit, still fresh") << 3000 << 3000 << 1;
        QTest::newRow("stale, the next second") << 3001 << 3000 << 999;
        QTest::newRow("three slow periods") << 500 << 6000 << 5501;
        QTest::newRow("the last second shown") << 119500 << 3000 << 500;
        QTest::newRow("minutes") << 120000 << 3000 << 60000;
        QTest::newRow("the last minute shown") << 7199999 << 3000 << 1;
        QTest::newRow("hours") << 7200000 << 3000 << 3600000;
    }

    void readoutAgeCheckDue()
    {
        QFETCH(int, ageMs);
        QFETCH(int, limitMs);
        QFETCH(int, dueInMs);
        QCOMPARE(ReadoutPanel::msUntilReadoutChanges(ageMs, limitMs), qint64(dueInMs));
    }

    void progress_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("stateMax");
        QTest::addColumn<int>("expected");
        QTest::newRow("198 of 200") << 198 << 200 << 99;
        QTest::newRow("total 0") << 0 << 0 << 100;
        QTest::newRow("large image") << 30000000 << 40000000 << 75;
    }

    void progress()
    {
        QFETCH(int, state);
        QFETCH(int, stateMax);
        QFETCH(int, expected);
        PseudoTerminal peer;
        MainWindow window;
        openOn(window, peer);
        emit liveDevice(window)->progress(state, stateMax);
        QCOMPARE(child<QProgressBar>(&window, "progressBar")->value(), expected);
    }

    // "Device reset" is shown for 2 s, unless the reset ended a transfer: its failure stays.
    void resetNotice_data()
    {
        QTest::addColumn<bool>("uploading");
        QTest::addColumn<QString>("status");
        QTest::newRow("idle") << false << "Device reset";
        QTest::newRow("during an upload") << true << "Calibration upload failed";
    }

    void resetNotice()
    {
        QFETCH(bool, uploading);
        QFETCH(QString, status);
        PseudoTerminal peer;
        MainWindow window;
        openOn(window, peer);
        if (uploading) {
            startSilentUpload(window, peer, files.filePath(QStringLiteral("reset.txt")));
            answerNextMessageBox(QMessageBox::Ok);
        }
        peer.sendLine("*RESET 0");
        peer.collect(toolPort(window));
        QCOMPARE(statusText(window), status);
        const auto timers = child<QStatusBar>(&window, "statusBar")->findChildren<QTimer *>();
        QCOMPARE(timers.size(), uploading ? 0 : 1);
        for (const QTimer *timer : timers)
            QCOMPARE(timer->interval(), 2000);
    }

    // What the controls pressed in turn tell or ask in a box, each box answered with
    // `answer`, and what then goes out and shows: the window's About, the upgrade's boxes,
    // the empty table's question and the refusal of a second transfer or of an upload to the
    // boot loader. The progress bar shows the last transfer's 100 % until another is asked for.
    void boxes_data()
    {
        QTest::addColumn<QByteArray>("identification");
        QTest::addColumn<QString>("controls");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text"); // of the last box
        QTest::addColumn<QString>("informative");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("bar"); // while the last box shows
        const QByteArray identification("MORVA,ZURKD550,20417,1.3.2.0");
        const QString emptyTable = "The table has no points. Uploading it erases the "
                                   "instrument's custom curve. Upload anyway?";
        QTest::newRow("About") << QByteArray() << "actionAbout" << int(QMessageBox::Ok)
                               << "About rimeglass"
                               << QString::fromUtf8(
                                      "rimeglass 1.7\nTemperature monitor configuration tool\n\n"
                                      "Firmware key: development key \u2014 accepts containers "
                                      "signed with the published development seed\n"
                                      "Firmware key fingerprint: 4097b10a1999ba74")
                               << "" << QByteArray() << "Ready"
                               << "100%";
        QTest::newRow("upgrade before identification")
            << QByteArray() << "upgradeButton" << int(QMessageBox::Ok) << "Firmware upgrade"
            << "No instrument has identified itself on this port yet. The upgrade needs its "
               "model and hardware revision: check the cable and the port, then open it again."
            << "" << QByteArray() << "Ready"
            << "100%";
        QTest::newRow("upgrade question")
            << identification << "upgradeButton" << int(QMessageBox::No) << "Firmware upgrade"
            << "Upgrade firmware from version 1.3.2.0 to version 1.6.0.0?"
            << "This build accepts containers signed with the published development seed."
            << QByteArray() << "Ready"
            << "0%";
        QTest::newRow("reinstall question")
            << QByteArray("MORVA,ZURKD550,20417,1.6.0.0") << "upgradeButton" << int(QMessageBox::No)
            << "Firmware upgrade"
            << "Reinstall 1.6.0.0?"
            << "This build accepts containers signed with the published development seed."
            << QByteArray() << "Ready"
            << "0%";
        QTest::newRow("empty table")
            << QByteArray() << "sensorUploadButton" << int(QMessageBox::No) << "Calibration upload"
            << emptyTable << "" << QByteArray() << "Ready"
            << "0%";
        QTest::newRow("upload during an upgrade")
            << identification << "upgradeButton sensorUploadButton" << int(QMessageBox::Yes)
            << "Calibration upload" << emptyTable << "" << QByteArray(":system:reset\n")
            << "Another transfer is in progress"
            << "0%";
        QTest::newRow("upload to the boot loader")
            << QByteArray("MORVA,ZURKD550-BS,20417,1.3.0.0") << "sensorUploadButton"
            << int(QMessageBox::Yes) << "Calibration upload" << emptyTable << "" << QByteArray()
            << "The instrument runs its boot loader, which takes no calibration table: finish "
               "the firmware upgrade first."
            << "0%";
    }

    void boxes()
    {
        QFETCH(QByteArray, identification);
        QFETCH(QString, controls);
        QFETCH(int, answer);
        QFETCH(QString, title);
        QFETCH(QString, text);
        QFETCH(QString, informative);
        QFETCH(QByteArray, sent);
        QFETCH(QString, status);
        QFETCH(QString, bar);
        const bool upgrades = controls.startsWith("upgradeButton") && !identification.isEmpty();
        if ((upgrades || controls == "actionAbout") && !BuildInfo::trustsDevelopmentKey())
            QSKIP("this build trusts another key than the development one");
        const QString container = files.filePath(QStringLiteral("firmware.crp"));
        ContainerPacker packer;
        QVERIFY(packer.setVersion(QStringLiteral("1.6.0.0")));
        QVERIFY(packer.addImage(rimeglass::uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1),
                                QByteArray(300, 'f')));
        QVERIFY(writeFile(container,
                          packer.pack(readSeedFile(RIMEGLASS_KEYS_DIR "/development-seed.hex"))));
        PseudoTerminal peer;
        MainWindow window;
        openOn(window, peer);
        if (!identification.isEmpty()) {
            const QList<QByteArray> fields = identification.split(',');
            identify(window, peer, fields.at(3), fields.at(1));
        }
        emit liveDevice(window)->progress(199, 200);
        if (upgrades)
            answerNextFileDialog(container);
        std::shared_ptr<DialogSeen> box;
        QString barShown;
        for (const QString &control : controls.split(' ')) {
            box = answerNextMessageBox(QMessageBox::StandardButton(answer), [&] {
                barShown = child<QProgressBar>(&window, "progressBar")->text();
            });
            if (auto *action = window.findChild<QAction *>(control))
                action->trigger();
            else
                click(window, qPrintable(control));
        }
        QVERIFY(box->shown);
        QCOMPARE(box->title, title);
        QCOMPARE(box->text, text);
        QCOMPARE(box->informativeText, informative);
        QCOMPARE(peer.collect(toolPort(window)), sent);
        QCOMPARE(statusText(window), status);
        QCOMPARE(barShown, bar);
    }

    // The port lost while the empty table's question is open: Yes uploads nothing then.
    void portLostDuringQuestion()
    {
        PseudoTerminal peer;
        MainWindow window;
        openOn(window, peer);
        QTest::ignoreMessage(QtDebugMsg, "Closing port ...");
        const auto box = answerNextMessageBox(QMessageBox::Yes, [&] {
            peer.hangUp();
            waitUntil([&] { return statusText(window) == waitingText(peer.portName()); });
        });
        click(window, "sensorUploadButton");
        QVERIFY(box->shown);
        QCOMPARE(statusText(window), waitingText(peer.portName()));
        QCOMPARE(peer.takeReceived(), QByteArray());
    }

    // The fit real = slope * (adc + offset) through the two points is shown and sent; Reset
    // asks first. Without a port nothing is sent; an Open forgets the points measured.
    void adcPanel()
    {
        PseudoTerminal peer;
        MainWindow window;
        openOn(window, peer);
        identify(window, peer, "1.5.0.0");
        // Every read-back query answered with a report no widget listens to.
        peer.send(QByteArray("noise = 0\r\n").repeated(SettingsProtocol::readBackStageCount()));
        peer.collect(toolPort(window));
        child<QObject>(&window, "adcCalibrationV1")->setProperty("value", 1.0);
        auto *calibrate = child<QWidget>(&window, "adcCalibrationButton");
        const auto measure = [&](const char *button, const QByteArray &microvolts) {
            click(window, button);
            QCOMPARE(peer.collect(toolPort(window)), QByteArray(":volt:unc?\n"));
            peer.sendLine("Vunc = " + microvolts);
            peer.collect(toolPort(window));
        };
        measure("adcCalibrationR1MeasureButton", "980000");
        QCOMPARE(calibrate->toolTip(), "Measure ADC voltage 2");
        QVERIFY(QMetaObject::invokeMethod(&window, "adcCalibrationButtonClicked"));
        QCOMPARE(peer.collect(toolPort(window)), QByteArray());
        measure("adcCalibrationR2MeasureButton", "-10000");
        QCOMPARE(text(window, "adcCalibrationR2"), QStringLiteral("-0.010000 V"));
        QCOMPARE(text(window, "adcCalibrationSlope"), QStringLiteral("1.010101010"));
        QCOMPARE(text(window, "adcCalibrationOffset"), QStringLiteral("0.010000 V"));
        QVERIFY(calibrate->isEnabled());
        QCOMPARE(calibrate->toolTip(), QString());
        click(window, "adcCalibrationButton");
        QCOMPARE(peer.collect(toolPort(window)), QByteArray(":volt:cal 00002710 010295fa\n"));
        const auto question = answerNextMessageBox(QMessageBox::No);
        click(window, "adcCalibrationResetButton");
        QCOMPARE(question->text,
                 QStringLiteral("Clear the instrument's voltage calibration? It then "
                                "reports uncalibrated voltages until it is "
                                "calibrated again."));
        QCOMPARE(question->defaultButton, QMessageBox::No);
        QCOMPARE(peer.collect(toolPort(window)), QByteArray());
        answerNextMessageBox(QMessageBox::Yes);
        click(window, "adcCalibrationResetButton");
        QCOMPARE(peer.collect(toolPort(window)), QByteArray(":volt:cal 00000000 00000000\n"));
        QTest::ignoreMessage(QtDebugMsg, "Closing port ...");
        click(window, "serialPortCloseButton");
        for (const char *button : {"adcCalibrationR1MeasureButton", "adcCalibrationR2MeasureButton",
                                   "adcCalibrationRealMasureButton", "adcCalibrationButton",
                                   "adcCalibrationResetButton"})
            click(window, button);
        QCOMPARE(peer.collect(nullptr), QByteArray());
        QCOMPARE(openOn(window, peer), openingBytes);
        QVERIFY(!calibrate->isEnabled());
        QCOMPARE(calibrate->toolTip(), "Measure ADC voltage 1");
    }

    // A curve file's table is shown, named after its serial number unless the operator typed
    // a name; only the folder of the file is stored, however the dialog was told the path.
    void importAndTranspose_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("name");
        QTest::newRow("the name as the window opened") << ""
                                                       << "D6068043";
        QTest::newRow("a name typed") << "PT-1"
                                      << "PT-1";
    }

    void importAndTranspose()
    {
        QFETCH(QString, typed);
        QFETCH(QString, name);
        MainWindow window;
        auto *nameEdit = child<QLineEdit>(&window, "sensorNameEdit");
        nameEdit->selectAll();
        QTest::keyClicks(nameEdit, typed);
        const QString path = files.filePath(QStringLiteral("D6068043.340"));
        QVERIFY(writeFile(path,
                          "Sensor Model:   DT-670-SD\r\nSerial Number:  D6068043\r\n"
                          "Data Format:    2      (Volts/Kelvin)\r\n"
                          "SetPoint Limit: 500.0      (Kelvin)\r\n"
                          "Temperature coefficient:  1 (Negative)\r\n"
                          "Number of Breakpoints:   3\r\n\r\nNo.   Units      Temperature (K)\r\n"
                          "\r\n  1  0.090570       500.000\r\n  2  1.02000         77.350\r\n"
                          "  3  1.63725          1.200\r\n"));
        const auto dialog = answerNextFileDialog(path);
        click(window, "sensorFileChooseButton");
        QCOMPARE(
            dialog->nameFilters,
            QStringList({"Calibration files (*.340 *.cal *.dat *.tab *.txt)", "All files (*)"}));
        QCOMPARE(text(window, "sensorFileEdit"), path);
        const QVector<QPointF> points{{500, 0.09057}, {77.35, 1.02}, {1.2, 1.63725}};
        QCOMPARE(curvePoints(window, "sensorPlotFrame"), points);
        QCOMPARE(text(window, "sensorTableSummaryLabel"),
                 QString::fromUtf8("3 points, 1.2\u2013500.0 K, 0.0906\u20131.6373 V"));
        QCOMPARE(text(window, "sensorNameEdit"), name);
        QCOMPARE(storeContents(), QStringList{"ui/sensor-file-last-path=" + files.path()});
        click(window, "sensorTransposeButton");
        QCOMPARE(curvePoints(window, "sensorPlotFrame"),
                 (QVector<QPointF>{{0.09057, 500}, {1.02, 77.35}, {1.63725, 1.2}}));
    }

    // Each file dialog belongs to the window and opens in its remembered folder; a cancelled
    // one changes nothing.
    void dialogStartsInRememberedFolder_data()
    {
        QTest::addColumn<QString>("key");
        QTest::newRow("sensorFileChooseButton") << "/ui/sensor-file-last-path";
        QTest::newRow("sensorExportButton") << "/ui/sensor-file-last-path";
        QTest::newRow("upgradeButton") << "/ui/firmware-upgrade-last-path";
        QTest::newRow("plotExportButton") << "/ui/plot-export-last-path";
    }

    void dialogStartsInRememberedFolder()
    {
        QFETCH(QString, key);
        const QString button = QTest::currentDataTag();
        QTemporaryDir remembered;
        QTemporaryDir other;
        QSettings().setValue(key, remembered.path());
        PseudoTerminal peer;
        MainWindow window;
        openOn(window, peer);
        peer.sendLine("MORVA,ZURKD550,20417,1.3.0.0");
        QTRY_COMPARE(text(window, "modelValue"), QStringLiteral("ZURKD550"));
        peer.collect(toolPort(window));
        const auto cancelled = answerNextFileDialog(QString());
        click(window, qPrintable(button));
        QCOMPARE(cancelled->window, &window);
        QCOMPARE(cancelled->startDirectory, remembered.path());
        QCOMPARE(peer.collect(toolPort(window)), QByteArray());
        if (button == QLatin1String("plotExportButton")) {
            answerNextFileDialog(other.filePath(QStringLiteral("plot.png")));
            click(window, qPrintable(button));
            QCOMPARE(QImage(other.filePath(QStringLiteral("plot.png"))).size(),
                     child<QWidget>(&window, "plotFrame")->findChild<QwtPlot *>()->size());
            QCOMPARE(QSettings().value(key).toString(), other.path());
        }
    }

    // The table goes out as shown, once; the curve file exported holds the same table.
    void uploadAndExport()
    {
        MainWindow window;
        PseudoTerminal peer;
        SimulatedInstrument instrument{InstrumentConfig()};
        peer.setResponder([&instrument](const QByteArray &token) {
            if (token.startsWith(":cal:"))
                instrument.handleBytes(token);
            return QList<QByteArray>();
        });
        QObject::connect(&instrument, &SimulatedInstrument::transmit, &peer, &PseudoTerminal::send);
        openOn(window, peer);
        QVERIFY(writeFile(files.filePath("volts.txt"), "1.6243 4.2\n0.5 300\n"));
        answerNextFileDialog(files.filePath("volts.txt"));
        click(window, "sensorFileChooseButton");
        click(window, "sensorTransposeButton");
        child<QLineEdit>(&window, "sensorNameEdit")->setText(QStringLiteral("PT-7"));
        click(window, "sensorUploadButton");
        peer.settle(toolPort(window));
        const QByteArray payload
            = CalibrationTable::encodePayload(QStringLiteral("PT-7"), {4.2, 300}, {1.6243, 0.5});
        QCOMPARE(instrument.calibrationTable().toHex(), payload.toHex());
        QCOMPARE(wirebytes::tokens(peer.takeReceived()).count(":cal:erase\n"), 1);
        const QString archive = files.filePath(QStringLiteral("archive.340"));
        const auto saved = answerNextFileDialog(archive);
        click(window, "sensorExportButton");
        QCOMPARE(saved->nameFilters, QStringList{"Curve files (*.340)"});
        QCOMPARE(readFile(archive), CurveFile::toFileData("PT-7", {4.2, 300}, {1.6243, 0.5}));
    }

    // Ranges in seconds; where readings are condensed, columns are whole blocks of 1024 s.
    void decimationDrawsEveryReading_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<double>("from");
        QTest::addColumn<double>("to");
        QTest::addColumn<int>("columns");
        const int condensing = int(ReadingHistory::exactReadings) + (1 << 20) + 17;
        QTest::newRow("all exact, whole range") << 100000 << 0.0 << 99999.0 << 1000;
        QTest::newRow("a range with no reading") << 50 << 10.25 << 10.75 << 100;
        QTest::newRow("condensed and exact, whole range")
            << condensing << 0.0 << double(1 << 22) << 2048;
        QTest::newRow("condensed, one block in one column") << condensing << 0.0 << 1023.0 << 1;
        QTest::newRow("across the condensed edge")
            << condensing << double(1 << 20) << double((1 << 20) + 1024 * 600) << 600;
    }

    void decimationDrawsEveryReading()
    {
        QFETCH(int, count);
        QFETCH(double, from);
        QFETCH(double, to);
        QFETCH(int, columns);
        from += startTime;
        to += startTime;
        const QVector<QPointF> readings = walk(count);
        ReadingHistory history;
        for (const QPointF &reading : readings)
            history.append(reading.x(), reading.y());
        const QVector<QPointF> points = history.decimated(from, to, columns);
        QCOMPARE(columnsOf(points, from, to, columns), columnsOf(readings, from, to, columns));
        QVERIFY(std::is_sorted(points.begin(), points.end(),
                               [](const QPointF &a, const QPointF &b) { return a.x() < b.x(); }));
        // The curve runs on to the readings just outside the range.
        const auto before = std::find_if(readings.rbegin(), readings.rend(),
                                         [&](const QPointF &p) { return p.x() < from; });
        const auto after = std::find_if(readings.begin(), readings.end(),
                                        [&](const QPointF &p) { return p.x() > to; });
        QCOMPARE(points.first(), before == readings.rend() ? points.first() : *before);
        QCOMPARE(points.last(), after == readings.end() ? points.last() : *after);

        // 2^21 readings (up to a block more) exact, four points per older block.
        const qint64 condensedBlocks = (count - history.exactCount()) / ReadingHistory::blockSize;
        QVERIFY(history.exactCount() >= std::min<qint64>(count, ReadingHistory::exactReadings));
        QVERIFY(history.exactCount() < ReadingHistory::exactReadings + ReadingHistory::blockSize);
        QCOMPARE(history.condensedCount(), 4 * condensedBlocks);
        QCOMPARE(history.count(), qint64(count));
    }

    // Zoom, follow newest and reset move the shown range; the exports write what is shown.
    void historyView()
    {
        HistoryView view;
        view.setInstrument({"ZURKD550", "SN0001", "1.5.2.0", "DT-670"});
        view.resize(800, 500);
        const auto at = [](double seconds) {
            return QDateTime::fromMSecsSinceEpoch(qint64((startTime + seconds) * 1000), Qt::UTC);
        };
        // Hidden it only keeps them; shown, it draws them.
        for (int i = 0; i < 100; ++i)
            view.addReading(at(i), 100.0 - i * 0.25);
        view.show();
        const auto range = [&] {
            return qMakePair(view.visibleFrom() - startTime, view.visibleTo() - startTime);
        };
        QTRY_COMPARE(range(), qMakePair(0.0, 99.0));
        // Shown, a new reading is drawn without being asked (once what showing it asked for
        // is done).
        for (const QTimer *timer : view.findChildren<QTimer *>())
            QTRY_VERIFY(!timer->isActive());
        view.addReading(at(100), 75.0);
        QTRY_COMPARE(range(), qMakePair(0.0, 100.0));
        auto *follow = view.findChild<QCheckBox *>(QStringLiteral("followNewestCheck"));
        auto *zoomer = view.findChild<QwtPlotZoomer *>();
        QVERIFY(follow && follow->isChecked() && zoomer);
        zoomer->zoom(
            QRectF(QPointF((startTime + 10) * 1000, 0), QPointF((startTime + 12) * 1000, 200)));
        QCOMPARE(range(), qMakePair(10.0, 12.0));
        QVERIFY(!follow->isChecked());
        QTemporaryDir dir;
        const QString csv = dir.filePath(QStringLiteral("range.csv"));
        QVERIFY(view.exportCsv(csv));
        QCOMPARE(readFile(csv),
                 QByteArray("# rimeglass 1.7 recording\n"
                            "# instrument: MORVA ZURKD550, serial number SN0001, firmware 1.5.2.0\n"
                            "# sensor: DT-670\n"
                            "time_utc,seconds,kelvin\n"
                            "2026-11-30T00:53:30.000Z,0.000,97.500\n"
                            "2026-11-30T00:53:31.000Z,1.000,97.250\n"
                            "2026-11-30T00:53:32.000Z,2.000,97.000\n"));
        view.addReading(at(101), 74.75);
        follow->click();
        QCOMPARE(range(), qMakePair(99.0, 101.0));
    }

    // Record starts once the instrument has identified itself, in a file named after its
    // serial number; the row count shows while it records.
    void windowRecordsReadings()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("records"));
        QSettings().setValue(QStringLiteral("/recording/folder"), folder);
        PseudoTerminal peer;
        MainWindow window;
        auto *record = child<QPushButton>(&window, "recordButton");
        QVERIFY(!record->isEnabled());
        openOn(window, peer);
        peer.sendLine("MORVA,ZURKD550,20417,1.3.0.0");
        QTRY_VERIFY(record->isEnabled());
        record->click();
        const QStringList files = QDir(folder).entryList(QDir::Files);
        QVERIFY(files.size() == 1 && files.first().startsWith(QLatin1String("20417_")));
        window.findChild<InstrumentSession *>()->setClock(
            [] { return qint64(startTime * 1000 + 250) * 1000000; });
        peer.sendLine("*T = 77.35 K");
        QTRY_COMPARE(text(window, "recordingStatusLabel"),
                     "Recording " + files.first() + ": 1 row");
        // Each view takes the time the session stamped the reading with.
        const ReadingHistory &history = window.findChild<HistoryView *>()->history();
        QCOMPARE(history.count(), qint64(1));
        QCOMPARE(history.lastTime(), startTime + 0.25);
        QVERIFY(readFile(folder + '/' + files.first()).contains("\n2026-11-30T00:53:20.250Z,"));
    }

private:
    QTemporaryDir files;
};

RIMEGLASS_TEST_MAIN(QApplication, TestWindow)

#include "test_window.moc"
