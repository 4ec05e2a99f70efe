// The main window driven through its widgets, offscreen, with the settings store in a
// temporary directory and the instrument on a pseudo-terminal.

#include "rimeglass-version.h"
#include "testmain.h"
#include "windowdriver.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QSettings>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <qwt_legend.h>
#include <qwt_plot.h>
#include <qwt_plot_curve.h>
#include <qwt_plot_layout.h>
#include <qwt_scale_engine.h>

using namespace windowdriver;

namespace {

const QByteArray revision1CompatLine("*COMPAT = 3cc3a93f426145ff95bf653df2686cb0");

QByteArray storeFileBytes()
{
    QFile file(QSettings().fileName());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QwtPlot *plotIn(const MainWindow &window, const char *frameName)
{
    auto *plot = child<QWidget>(&window, frameName)->findChild<QwtPlot *>();
    if (!plot)
        qFatal("no plot in %s", frameName);
    return plot;
}

const QwtPlotCurve *curveOf(const QwtPlot *plot)
{
    const QwtPlotItemList curves = plot->itemList(QwtPlotItem::Rtti_PlotCurve);
    return curves.size() == 1 ? static_cast<const QwtPlotCurve *>(curves.first()) : nullptr;
}

QVector<QPointF> temperaturePoints(const MainWindow &window)
{
    const QwtPlotCurve *curve = curveOf(plotIn(window, "plotFrame"));
    QVector<QPointF> points;
    for (size_t i = 0; curve && i < curve->dataSize(); ++i)
        points.append(curve->sample(int(i)));
    return points;
}

QMap<QString, bool> enabledStates(const MainWindow &window)
{
    QMap<QString, bool> states;
    for (const char *name :
         {"serialPortCombo", "serialPortOpenButton", "serialPortCloseButton", "applyButton",
          "sensorUploadButton", "upgradeButton", "serialPortsRefreshButton", "saveButton",
          "saveButton2", "relay1TempSpin", "adcCalibrationButton"})
        states.insert(QString::fromLatin1(name), child<QWidget>(&window, name)->isEnabled());
    return states;
}

QMap<QString, bool> expectedStates(bool connected)
{
    QMap<QString, bool> states;
    for (const char *name : {"serialPortCombo", "serialPortOpenButton"})
        states.insert(QString::fromLatin1(name), !connected);
    for (const char *name :
         {"serialPortCloseButton", "applyButton", "sensorUploadButton", "upgradeButton"})
        states.insert(QString::fromLatin1(name), connected);
    for (const char *name :
         {"serialPortsRefreshButton", "saveButton", "saveButton2", "relay1TempSpin"})
        states.insert(QString::fromLatin1(name), true);
    // Nothing measured yet: no fit to send.
    states.insert(QStringLiteral("adcCalibrationButton"), false);
    return states;
}

// A lost port is waited for: Close stays, and another port may be chosen and opened.
QMap<QString, bool> expectedLostStates()
{
    QMap<QString, bool> states = expectedStates(false);
    states.insert(QStringLiteral("serialPortCloseButton"), true);
    return states;
}

QString waitingText(const QString &portName)
{
    return QStringLiteral("Port lost \u2014 waiting for %1 to come back").arg(portName);
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void formTexts_data();
    void formTexts();
    void spinBoxes_data();
    void spinBoxes();
    void formLayout();
    void firstStart();
    void plotsSetUp();
    void storedValuesLoadedWithoutWrites();
    void storedSensor_data();
    void storedSensor();

    void portItemText_data();
    void portItemText();
    void portListFollowsSystem();
    void openWithoutPortDoesNothing();
    void open();
    void closeForgetsIdentification();
    void identification_data();
    void identification();
    void progress_data();
    void progress();
    void resetNotice();
    void enableSerialOutput();
    void applyAndCheckForUpdatesDoNothing();
    void about();
    void refreshWhileOpen();
    void quit_data();
    void quit();
    void titleBarCloseLeavesPortOpen();

    void readout_data();
    void readout();
    void agesRelativeToNewestPoint();
    void historyKeepsLast300();
    void livePlotLooksAsDrawnAtOnce();
    void clear();

    void unplugClosesConnection();
    void portErrors_data();
    void portErrors();

    void screenshot();
};

void TestMainWindow::initTestCase()
{
    // Quitting closes the window; the test process must go on.
    QApplication::setQuitOnLastWindowClosed(false);
}

void TestMainWindow::init()
{
    QSettings store;
    store.clear();
    store.sync();
}

void TestMainWindow::formTexts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("expected");

    const QList<QStringList> rows = {
        {"serialPoerLabel", "QLabel", "Serial port"},
        {"serialPortsRefreshButton", "QPushButton", "Refresh"},
        {"serialPortOpenButton", "QPushButton", "Open"},
        {"serialPortCloseButton", "QPushButton", "Close"},
        {"temperatureLabel", "QLabel", "Temperature: "},
        {"temperatureValue", "QLabel", "unknown"},
        {"sensorNameLabel_2", "QLabel", "Sensor:"},
        {"enableSerialOutputButton", "QPushButton", "Enable serial output"},
        {"plotClearButton", "QPushButton", "Clear"},
        {"sensorComboLabel", "QLabel", "Sensor"},
        {"relay1TempLabel", "QLabel", "Relay 1 temperature"},
        {"relay1HystLabel", "QLabel", "Relay 1 hysteresis"},
        {"relay1DefaultStateLabel", "QLabel", "Relay 1 default state"},
        {"relay2TempLabel", "QLabel", "Relay 2 temperature"},
        {"relay2HystLabel", "QLabel", "Relay 2 hysteresis"},
        {"relay2DefaultStateLabel", "QLabel", "Relay 2 default state"},
        {"rs232AutomaticOutputLabel", "QLabel", "RS232 automatic output"},
        {"rs232OutputPeriodLabel", "QLabel", "RS232 output period"},
        {"rs485AutomaticOutputLabel", "QLabel", "RS485 automatic output"},
        {"rs485OutputPeriodLabel", "QLabel", "RS485 output period"},
        {"displayRefreshLabel", "QLabel", "Display refresh period"},
        {"applyButton", "QPushButton", "Apply"},
        {"saveButton", "QPushButton", "Save"},
        {"sensorFileLabel", "QLabel", "Calibration file"},
        {"sensorFileChooseButton", "QPushButton", "Choose..."},
        {"sensorNameLabel", "QLabel", "Sensor name"},
        {"sensorUploadButton", "QPushButton", "Upload"},
        {"sensorTransposeButton", "QPushButton", "Transpose"},
        {"upgradeButton", "QPushButton", "Upgrade firmware..."},
        {"deviceModelLabel", "QLabel", "Model"},
        {"versionLabel", "QLabel", "Version"},
        {"serialNumberLabel", "QLabel", "Serial number"},
        {"progressLabel", "QLabel", "Progress"},
        {"adcCalibrationR1Label", "QLabel", "ADC voltage 1"},
        {"adcCalibrationR1MeasureButton", "QPushButton", "Measure"},
        {"adcCalibrationV1Label", "QLabel", "Real voltage 1"},
        {"adcCalibrationR2Label", "QLabel", "ADC voltage 2"},
        {"adcCalibrationR2MeasureButton", "QPushButton", "Measure"},
        {"adcCalibrationV2Label", "QLabel", "Real voltage 2"},
        {"label", "QLabel", "ADC ofset"},
        {"label_2", "QLabel", "ADC slope"},
        {"adcCalibrationRealLabel", "QLabel", "Calibrated voltage"},
        {"adcCalibrationRealMasureButton", "QPushButton", "Measure"},
        {"adcCalibrationButton", "QPushButton", "Calibrate"},
        {"adcCalibrationResetButton", "QPushButton", "Reset calibration"},
        {"saveButton2", "QPushButton", "Save"},
        {"actionQuit", "QAction", "Quit"},
        {"actionCheckForUpdates", "QAction", "Check for updates"},
        {"actionAbout", "QAction", "About rimeglass"},
        {"sensorFileEdit", "QLineEdit", ""},
        {"adcCalibrationR1", "QLineEdit", ""},
        {"adcCalibrationR2", "QLineEdit", ""},
        {"adcCalibrationOffset", "QLineEdit", ""},
        {"adcCalibrationSlope", "QLineEdit", ""},
        {"adcCalibrationRealValue", "QLineEdit", ""},
    };
    for (const QStringList &row : rows)
        QTest::newRow(qPrintable(row.at(0))) << row.at(0) << row.at(1) << row.at(2);
}

void TestMainWindow::formTexts()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, expected);

    MainWindow window;
    const QObject *object = window.findChild<QObject *>(name);
    QVERIFY(object);
    QCOMPARE(QString::fromLatin1(object->metaObject()->className()), className);
    QCOMPARE(object->property("text").toString(), expected);
    if (className == QLatin1String("QLineEdit"))
        QVERIFY(object->property("readOnly").toBool());
}

void TestMainWindow::spinBoxes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<double>("minimum");
    QTest::addColumn<double>("maximum");
    QTest::addColumn<double>("step");
    QTest::addColumn<QString>("suffix");

    QTest::newRow("relay1TempSpin") << "relay1TempSpin" << 3 << 0.1 << 1000.0 << 1.0 << " K";
    QTest::newRow("relay1HystSpin") << "relay1HystSpin" << 3 << 0.1 << 1000.0 << 1.0 << " K";
    QTest::newRow("relay2TempSpin") << "relay2TempSpin" << 3 << 0.1 << 1000.0 << 1.0 << " K";
    QTest::newRow("relay2HystSpin") << "relay2HystSpin" << 3 << 0.1 << 1000.0 << 1.0 << " K";
    QTest::newRow("rs232OutputPeriodSpin")
        << "rs232OutputPeriodSpin" << 0 << 100.0 << 1000.0 << 10.0 << " ms";
    QTest::newRow("rs485OutputPeriodSpin")
        << "rs485OutputPeriodSpin" << 0 << 100.0 << 1000.0 << 10.0 << " ms";
    QTest::newRow("adcCalibrationV1") << "adcCalibrationV1" << 6 << 0.0 << 10.0 << 0.01 << " V";
    QTest::newRow("adcCalibrationV2") << "adcCalibrationV2" << 6 << 0.0 << 10.0 << 0.01 << " V";
    QTest::newRow("displayRefreshSpin")
        << "displayRefreshSpin" << 0 << 100.0 << 10000.0 << 100.0 << " ms";
}

void TestMainWindow::spinBoxes()
{
    QFETCH(QString, name);
    QFETCH(int, decimals);
    QFETCH(double, minimum);
    QFETCH(double, maximum);
    QFETCH(double, step);
    QFETCH(QString, suffix);

    MainWindow window;
    auto *spin = window.findChild<QAbstractSpinBox *>(name);
    QVERIFY(spin);
    QVERIFY(!spin->keyboardTracking());
    QCOMPARE(spin->property("suffix").toString(), suffix);
    QCOMPARE(spin->property("minimum").toDouble(), minimum);
    QCOMPARE(spin->property("maximum").toDouble(), maximum);
    QCOMPARE(spin->property("singleStep").toDouble(), step);
    if (auto *doubleSpin = qobject_cast<QDoubleSpinBox *>(spin))
        QCOMPARE(doubleSpin->decimals(), decimals);
    else
        QVERIFY(qobject_cast<QSpinBox *>(spin));
}

void TestMainWindow::formLayout()
{
    MainWindow window;

    auto *tabs = child<QTabWidget>(&window, "tabWidget");
    QCOMPARE(tabs->count(), 6);
    QCOMPARE(tabs->currentIndex(), 0);
    const QStringList names = {"tab", "tab_2", "tab_4", "tab_3", "calibrationTab", "historyTab"};
    const QStringList titles
        = {"Status", "Settings", "Custom sensor", "Upgrade", "Calibration", "History"};
    for (int i = 0; i < tabs->count(); ++i) {
        QCOMPARE(tabs->widget(i)->objectName(), names.at(i));
        QCOMPARE(tabs->tabText(i), titles.at(i));
    }

    for (const char *name :
         {"temperatureLabel", "temperatureValue", "sensorNameLabel_2", "sensorNameValue"})
        QCOMPARE(child<QLabel>(&window, name)->font().pointSize(), 16);
    // The readout is at least 80 wide and keeps one size, wide enough for any reading.
    auto *readout = child<QLabel>(&window, "temperatureValue");
    QVERIFY(readout->minimumWidth() >= 80);
    QCOMPARE(readout->minimumSize(), readout->maximumSize());
    QVERIFY(readout->width() >= QFontMetrics(readout->font()).horizontalAdvance("-8888.888 K"));

    const QSizePolicy comboPolicy = child<QWidget>(&window, "serialPortCombo")->sizePolicy();
    QCOMPARE(comboPolicy.horizontalPolicy(), QSizePolicy::MinimumExpanding);
    QCOMPARE(comboPolicy.verticalPolicy(), QSizePolicy::Fixed);
    auto *plotFrame = child<QFrame>(&window, "plotFrame");
    QCOMPARE(plotFrame->sizePolicy(), QSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding));
    QCOMPARE(plotFrame->frameShape(), QFrame::StyledPanel);
    QCOMPARE(plotFrame->frameShadow(), QFrame::Raised);
    auto *sensorFrame = child<QFrame>(&window, "sensorPlotFrame");
    QCOMPARE(sensorFrame->sizePolicy(),
             QSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding));
    QCOMPARE(sensorFrame->frameShape(), QFrame::StyledPanel);

    auto *nameEdit = child<QLineEdit>(&window, "sensorNameEdit");
    nameEdit->clear();
    QTest::keyClicks(nameEdit, QStringLiteral("ABCDEFGHIJ"));
    QCOMPARE(nameEdit->text(), QStringLiteral("ABCDEFGH"));
    QVERIFY(!nameEdit->isReadOnly());

    for (const char *name : {"verticalLayout_3", "verticalLayout", "gridLayout", "verticalLayout_5",
                             "verticalLayout_4", "formLayout_3"}) {
        auto *layout = child<QLayout>(&window, name);
        QCOMPARE(layout->contentsMargins(), QMargins(11, 11, 11, 11));
        QCOMPARE(layout->spacing(), 6);
    }
    for (const char *name : {"horizontalLayout", "horizontalLayout_2", "formLayout_2",
                             "horizontalLayout_10", "formLayout"})
        QCOMPARE(child<QLayout>(&window, name)->spacing(), 6);
    auto *form = child<QFormLayout>(&window, "formLayout");
    QCOMPARE(form->itemAt(3, QFormLayout::FieldRole)->widget()->objectName(),
             QStringLiteral("progressBar"));

    const QList<QAction *> menus = child<QMenuBar>(&window, "menuBar")->actions();
    QCOMPARE(menus.size(), 3);
    QCOMPARE(menus.at(0)->menu(), child<QMenu>(&window, "menuMain"));
    QCOMPARE(menus.at(0)->text(), QStringLiteral("Main"));
    QCOMPARE(menus.at(1)->text(), QStringLiteral("Tools"));
    QCOMPARE(menus.at(2)->text(), QStringLiteral("Help"));
    QList<QAction *> mainActions;
    for (const char *name :
         {"actionRecord", "actionRecordAutomatically", "actionRecordingFolder", "actionQuit"})
        mainActions.append(child<QAction>(&window, name));
    QCOMPARE(child<QMenu>(&window, "menuMain")->actions(), mainActions);
    QCOMPARE(child<QMenu>(&window, "menuTools")->actions(),
             QList<QAction *>{child<QAction>(&window, "actionCheckForUpdates")});
    QCOMPARE(child<QMenu>(&window, "menuHelp")->actions(),
             QList<QAction *>{child<QAction>(&window, "actionAbout")});
    auto *toolBar = child<QToolBar>(&window, "mainToolBar");
    QVERIFY(toolBar->actions().isEmpty());
    QVERIFY(toolBar->isHidden());
    QCOMPARE(window.toolBarArea(toolBar), Qt::TopToolBarArea);
}

void TestMainWindow::firstStart()
{
    MainWindow window;

    QCOMPARE(window.windowTitle(), QStringLiteral("Temperature monitor configuration tool (1.7)"));
    QCOMPARE(statusText(window), QStringLiteral("Port closed"));
    QVERIFY(child<QWidget>(&window, "enableSerialOutputButton")->isHidden());
    for (const char *name : {"modelValue", "versionValue", "serialNumberValue"})
        QCOMPARE(text(window, name), QStringLiteral("-"));
    QCOMPARE(text(window, "temperatureValue"), QStringLiteral("unknown"));
    QCOMPARE(text(window, "sensorNameValue"), QStringLiteral("ZUR"));
    QCOMPARE(child<QProgressBar>(&window, "progressBar")->value(), 0);
    QCOMPARE(enabledStates(window), expectedStates(false));
    QVERIFY(!liveDevice(window));

    const QList<QPair<const char *, double>> spins
        = {{"relay1TempSpin", 100.0},        {"relay1HystSpin", 10.0},
           {"relay2TempSpin", 150.0},        {"relay2HystSpin", 10.0},
           {"rs232OutputPeriodSpin", 500.0}, {"rs485OutputPeriodSpin", 500.0},
           {"displayRefreshSpin", 100.0},    {"adcCalibrationV1", 0.0}};
    for (const auto &spin : spins)
        QCOMPARE(child<QObject>(&window, spin.first)->property("value").toDouble(), spin.second);
    QCOMPARE(text(window, "sensorNameEdit"), QStringLiteral("Custom"));
    QCOMPARE(text(window, "sensorFileEdit"), QString());

    // Combo items carry the protocol value as their data.
    const QList<QPair<const char *, QStringList>> combos
        = {{"sensorCombo", {"ZUR:0", "DT-400:1", "DT-670:2", "ASC:3", "Custom:16"}},
           {"relay1DefaultStateCombo", {"Off:0", "On:1"}},
           {"relay2DefaultStateCombo", {"Off:0", "On:1"}},
           {"rs232AutomaticOutputCombo", {"Disabled:0", "Enabled:1"}},
           {"rs485AutomaticOutputCombo", {"Disabled:0", "Enabled:1"}}};
    for (const auto &entry : combos) {
        auto *combo = child<QComboBox>(&window, entry.first);
        QStringList items;
        for (int i = 0; i < combo->count(); ++i)
            items << combo->itemText(i) + ':' + combo->itemData(i, Qt::UserRole).toString();
        QCOMPARE(items, entry.second);
        QCOMPARE(combo->currentIndex(), 0);
    }
}

void TestMainWindow::plotsSetUp()
{
    MainWindow window;

    const QwtPlot *temperature = plotIn(window, "plotFrame");
    QCOMPARE(temperature->title().text(), QStringLiteral("Temperature"));
    QVERIFY(temperature->axisEnabled(QwtPlot::yLeft));
    QCOMPARE(temperature->axisTitle(QwtPlot::yLeft).text(), QStringLiteral("T, K"));
    QCOMPARE(temperature->axisTitle(QwtPlot::xBottom).text(), QStringLiteral("t"));
    QVERIFY(qobject_cast<const QwtLegend *>(temperature->legend()));
    QCOMPARE(temperature->plotLayout()->legendPosition(), QwtPlot::RightLegend);

    const QwtPlot *sensor = plotIn(window, "sensorPlotFrame");
    QCOMPARE(sensor->title().text(), QStringLiteral("Sensor"));
    QCOMPARE(sensor->axisTitle(QwtPlot::yLeft).text(), QStringLiteral("V"));
    QCOMPARE(sensor->axisTitle(QwtPlot::xBottom).text(), QStringLiteral("T"));
    const auto *logScale
        = dynamic_cast<const QwtLogScaleEngine *>(sensor->axisScaleEngine(QwtPlot::yLeft));
    QVERIFY(logScale);
    QCOMPARE(logScale->base(), 10.0);
    QVERIFY(sensor->axisAutoScale(QwtPlot::yLeft));
    QVERIFY(sensor->axisAutoScale(QwtPlot::xBottom));
    QVERIFY(qobject_cast<const QwtLegend *>(sensor->legend()));

    const QPen pen(QBrush(Qt::red), 2.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
    const QList<QPair<const QwtPlot *, QString>> curves = {{temperature, "T"}, {sensor, "Sensor"}};
    for (const auto &entry : curves) {
        const QwtPlotCurve *curve = curveOf(entry.first);
        QVERIFY(curve);
        QCOMPARE(curve->title().text(), entry.second);
        QCOMPARE(curve->pen(), pen);
        QCOMPARE(curve->yAxis(), int(QwtPlot::yLeft));
        QCOMPARE(curve->dataSize(), size_t(0));
    }
}

void TestMainWindow::storedValuesLoadedWithoutWrites()
{
    // Written by hand in a layout the store itself would never produce, so that any
    // write, even of an unchanged value, shows in the file.
    const QByteArray stored = "[General]\n"
                              "sensor-id = 3\n"
                              "relay1-temperature = 42.50\n"
                              "relay1-hysteresis = 2.250\n"
                              "relay1-default-state = 1\n"
                              "relay2-temperature = 77.000\n"
                              "relay2-hysteresis = 3.5\n"
                              "relay2-default-state = 1\n"
                              "rs232-automatic-output = 1\n"
                              "rs232-automatic-output-period = 250\n"
                              "rs485-automatic-output = 1\n"
                              "rs485-automatic-output-period = 730\n"
                              "display-refresh-period = 900\n"
                              "custom-sensor-name = PT-1000\n"
                              "custom-sensor-file = /data/pt1000.cal\n"
                              "\n[serial]\nport-name = no-such-port\n";
    {
        const QString path = QSettings().fileName();
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(stored);
    }

    {
        MainWindow window;
        QCOMPARE(child<QComboBox>(&window, "sensorCombo")->currentText(), QStringLiteral("ASC"));
        QCOMPARE(text(window, "sensorNameValue"), QStringLiteral("ASC"));
        QCOMPARE(child<QDoubleSpinBox>(&window, "relay1TempSpin")->value(), 42.5);
        QCOMPARE(child<QDoubleSpinBox>(&window, "relay1HystSpin")->value(), 2.25);
        QCOMPARE(child<QComboBox>(&window, "relay1DefaultStateCombo")->currentText(),
                 QStringLiteral("On"));
        QCOMPARE(child<QDoubleSpinBox>(&window, "relay2TempSpin")->value(), 77.0);
        QCOMPARE(child<QDoubleSpinBox>(&window, "relay2HystSpin")->value(), 3.5);
        QCOMPARE(child<QComboBox>(&window, "relay2DefaultStateCombo")->currentText(),
                 QStringLiteral("On"));
        QCOMPARE(child<QComboBox>(&window, "rs232AutomaticOutputCombo")->currentText(),
                 QStringLiteral("Enabled"));
        QCOMPARE(child<QDoubleSpinBox>(&window, "rs232OutputPeriodSpin")->value(), 250.0);
        QCOMPARE(child<QComboBox>(&window, "rs485AutomaticOutputCombo")->currentText(),
                 QStringLiteral("Enabled"));
        QCOMPARE(child<QDoubleSpinBox>(&window, "rs485OutputPeriodSpin")->value(), 730.0);
        // The display refresh period is never loaded: every start begins at the minimum.
        QCOMPARE(child<QSpinBox>(&window, "displayRefreshSpin")->value(), 100);
        QCOMPARE(text(window, "sensorNameEdit"), QStringLiteral("PT-1000"));
        QCOMPARE(text(window, "sensorFileEdit"), QStringLiteral("/data/pt1000.cal"));
    }
    QCOMPARE(storeFileBytes(), stored);
}

void TestMainWindow::storedSensor_data()
{
    QTest::addColumn<int>("sensorId");
    QTest::addColumn<QString>("expected");

    QTest::newRow("0") << 0 << "ZUR";
    QTest::newRow("1") << 1 << "DT-400";
    QTest::newRow("2") << 2 << "DT-670";
    QTest::newRow("16") << 16 << "Custom";
    QTest::newRow("4 is not a sensor") << 4 << "ZUR";
    QTest::newRow("5 is not a sensor") << 5 << "ZUR";
    QTest::newRow("negative") << -1 << "ZUR";
}

void TestMainWindow::storedSensor()
{
    QFETCH(int, sensorId);
    QFETCH(QString, expected);

    QSettings().setValue(QStringLiteral("/sensor-id"), sensorId);
    MainWindow window;
    QCOMPARE(child<QComboBox>(&window, "sensorCombo")->currentText(), expected);
    QCOMPARE(text(window, "sensorNameValue"), expected);
}

void TestMainWindow::portItemText_data()
{
    QTest::addColumn<QString>("manufacturer");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("serialNumber");
    QTest::addColumn<QString>("expected");

    QTest::newRow("name only") << ""
                               << ""
                               << ""
                               << "ttyUSB0";
    QTest::newRow("description only") << ""
                                      << "CP2102 bridge"
                                      << ""
                                      << "ttyUSB0 (CP2102 bridge)";
    QTest::newRow("all three") << "Silicon Labs"
                               << "CP2102 bridge"
                               << "0001"
                               << "ttyUSB0 (Silicon Labs, CP2102 bridge, 0001)";
    QTest::newRow("manufacturer and serial") << "FTDI"
                                             << ""
                                             << "A50285BI"
                                             << "ttyUSB0 (FTDI, A50285BI)";
    QTest::newRow("serial only") << ""
                                 << ""
                                 << "42"
                                 << "ttyUSB0 (42)";
}

void TestMainWindow::portItemText()
{
    QFETCH(QString, manufacturer);
    QFETCH(QString, description);
    QFETCH(QString, serialNumber);
    QFETCH(QString, expected);

    QCOMPARE(serialPortItemText(QStringLiteral("ttyUSB0"), manufacturer, description, serialNumber),
             expected);
}

void TestMainWindow::portListFollowsSystem()
{
    // The machine's own ports are whatever they are; the list must mirror them in order.
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    if (!ports.isEmpty())
        QSettings().setValue(QStringLiteral("/serial/port-name"), ports.last().portName());

    MainWindow window;
    auto *combo = child<QComboBox>(&window, "serialPortCombo");
    QCOMPARE(combo->count(), ports.size());
    for (int i = 0; i < ports.size(); ++i) {
        const QSerialPortInfo &port = ports.at(i);
        QCOMPARE(combo->itemData(i, Qt::UserRole).toString(), port.portName());
        QCOMPARE(combo->itemText(i),
                 serialPortItemText(port.portName(), port.manufacturer(), port.description(),
                                    port.serialNumber()));
    }
    if (ports.isEmpty())
        QSKIP("this machine lists no serial port: preselection cannot be shown");

    QCOMPARE(combo->currentIndex(), ports.size() - 1);

    // A remembered port that is gone leaves the first one selected after Refresh.
    QSettings().setValue(QStringLiteral("/serial/port-name"), QStringLiteral("no-such-port"));
    combo->setCurrentIndex(-1);
    click(window, "serialPortsRefreshButton");
    QCOMPARE(combo->count(), ports.size());
    QCOMPARE(combo->currentIndex(), 0);
}

void TestMainWindow::openWithoutPortDoesNothing()
{
    MainWindow window;
    child<QComboBox>(&window, "serialPortCombo")->clear();
    click(window, "serialPortOpenButton");

    QVERIFY(!liveDevice(window));
    QCOMPARE(statusText(window), QStringLiteral("Port closed"));
    QCOMPARE(enabledStates(window), expectedStates(false));
}

void TestMainWindow::open()
{
    PseudoTerminal peer;
    MainWindow window;

    QTest::ignoreMessage(
        QtDebugMsg, qPrintable(QStringLiteral("Opening port \"%1\" ...").arg(peer.portName())));
    QCOMPARE(openOn(window, peer), openingBytes);
    QVERIFY(liveDevice(window));
    QCOMPARE(statusText(window), QStringLiteral("Ready"));
    QCOMPARE(enabledStates(window), expectedStates(true));
    QCOMPARE(QSettings().value(QStringLiteral("/serial/port-name")).toString(), peer.portName());

    // A second Open while connected is ignored: no second device, nothing sent.
    QVERIFY(QMetaObject::invokeMethod(&window, "serialPortOpenButtonClicked"));
    QCOMPARE(window.findChildren<Device *>().size(), 1);
    QCOMPARE(peer.collect(toolPort(window)), QByteArray());
}

void TestMainWindow::closeForgetsIdentification()
{
    PseudoTerminal peer;
    MainWindow window;
    QCOMPARE(openOn(window, peer), openingBytes);
    peer.sendLine("MORVA,ZURKD550-BS,7781,1.3.0.2");
    peer.sendLine("*T = 80 K");
    QTRY_COMPARE(text(window, "temperatureValue"), QStringLiteral("80.000 K"));

    QTest::ignoreMessage(QtDebugMsg, "Closing port ...");
    click(window, "serialPortCloseButton");
    QVERIFY(!liveDevice(window));
    QCOMPARE(statusText(window), QStringLiteral("Port closed"));
    QCOMPARE(enabledStates(window), expectedStates(false));
    // Nothing answers any more; the plot keeps its history.
    for (const char *name : {"modelValue", "versionValue", "serialNumberValue", "temperatureValue"})
        QCOMPARE(text(window, name), QStringLiteral("-"));
    QCOMPARE(temperaturePoints(window).size(), 1);
    for (const QTimer *timer : window.findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly))
        QVERIFY(!timer->isActive());

    // A second Close finds no device and leaves everything as it is.
    child<QStatusBar>(&window, "statusBar")->showMessage(QStringLiteral("marker"));
    QVERIFY(QMetaObject::invokeMethod(&window, "serialPortCloseButtonClicked"));
    QCOMPARE(statusText(window), QStringLiteral("marker"));

    // The port can be opened again.
    QCOMPARE(openOn(window, peer), openingBytes);
    QCOMPARE(statusText(window), QStringLiteral("Ready"));
}

void TestMainWindow::identification_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("bootLoader");
    QTest::addColumn<QByteArray>("sentByLink");

    QTest::newRow("application 1.3")
        << QByteArray("MORVA,ZURKD550,10042,1.3.0.0") << false << QByteArray();
    QTest::newRow("application 1.5")
        << QByteArray("MORVA,ZURKD550,10043,1.5.2.0") << false << QByteArray("@00\n");
    QTest::newRow("boot loader 1.3")
        << QByteArray("MORVA,ZURKD550-BS,10044,1.3.1.0") << true << QByteArray();
    QTest::newRow("boot loader 1.4")
        << QByteArray("MORVA,ZURKD550-BS,10045,1.4.0.0") << true << QByteArray("@00\n");
}

void TestMainWindow::identification()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, bootLoader);
    QFETCH(QByteArray, sentByLink);

    const QList<QByteArray> fields = reply.split(',');
    PseudoTerminal peer;
    peer.setResponder([](const QByteArray &token) {
        return token == "@00\n" ? QList<QByteArray>{revision1CompatLine} : QList<QByteArray>{};
    });
    MainWindow window;
    QCOMPARE(openOn(window, peer), openingBytes);

    QTest::ignoreMessage(QtDebugMsg,
                         qPrintable(QStringLiteral("Device model \"%1\" version \"%2\" serial "
                                                   "number \"%3\"")
                                        .arg(fields.at(1), fields.at(3), fields.at(2))));
    peer.sendLine(reply);
    QTRY_COMPARE(text(window, "modelValue"), QString::fromLatin1(fields.at(1)));
    QCOMPARE(text(window, "serialNumberValue"), QString::fromLatin1(fields.at(2)));
    QCOMPARE(text(window, "versionValue"), QString::fromLatin1(fields.at(3)));

    const QByteArray sent = peer.collect(toolPort(window));
    QVERIFY2(sent.startsWith(sentByLink), sent.constData());
    // The boot loader has no settings to read back: nothing follows the link's own query.
    if (bootLoader)
        QCOMPARE(sent, sentByLink);
    QCOMPARE(statusText(window), QStringLiteral("Ready"));
}

void TestMainWindow::progress_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("stateMax");
    QTest::addColumn<int>("expected");

    QTest::newRow("0 of 200") << 0 << 200 << 0;
    QTest::newRow("1 of 200") << 1 << 200 << 1;
    QTest::newRow("48 of 200") << 48 << 200 << 24;
    QTest::newRow("199 of 200") << 199 << 200 << 100;
    QTest::newRow("300 of 200") << 300 << 200 << 100;
    QTest::newRow("total 0") << 0 << 0 << 100;
    QTest::newRow("negative total") << 5 << -1 << 100;
    QTest::newRow("large image") << 30000000 << 40000000 << 75;
}

void TestMainWindow::progress()
{
    QFETCH(int, state);
    QFETCH(int, stateMax);
    QFETCH(int, expected);

    PseudoTerminal peer;
    MainWindow window;
    openOn(window, peer);
    Device *device = liveDevice(window);
    QVERIFY(device);
    auto *bar = child<QProgressBar>(&window, "progressBar");

    emit device->progress(73, 200);
    QCOMPARE(bar->value(), 37);
    emit device->progress(state, stateMax);
    QCOMPARE(bar->value(), expected);
}

void TestMainWindow::resetNotice()
{
    PseudoTerminal peer;
    MainWindow window;
    openOn(window, peer);

    peer.sendLine("*RESET 0");
    QTRY_COMPARE(statusText(window), QStringLiteral("Device reset"));
    // The status bar clears a timed message with a timer of its own.
    auto *statusBar = child<QStatusBar>(&window, "statusBar");
    const QList<QTimer *> timers
        = statusBar->findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
    QCOMPARE(timers.size(), 1);
    QVERIFY(timers.first()->isActive());
    QCOMPARE(timers.first()->interval(), 2000);

    // The restart announcement changes nothing in the window; the link asks again.
    peer.sendLine("*APP 1.3.0.0");
    QCOMPARE(peer.collect(toolPort(window)), QByteArray("*IDN?\n"));
    QCOMPARE(statusText(window), QStringLiteral("Device reset"));
    QCOMPARE(enabledStates(window), expectedStates(true));

    QVERIFY(QMetaObject::invokeMethod(timers.first(), "timeout"));
    QCOMPARE(statusText(window), QString());
}

void TestMainWindow::enableSerialOutput()
{
    MainWindow window;
    auto *combo = child<QComboBox>(&window, "rs232AutomaticOutputCombo");
    QCOMPARE(combo->currentIndex(), 0);
    click(window, "enableSerialOutputButton");
    QCOMPARE(combo->currentIndex(), 1);
    QCOMPARE(combo->currentText(), QStringLiteral("Enabled"));
}

void TestMainWindow::applyAndCheckForUpdatesDoNothing()
{
    PseudoTerminal peer;
    MainWindow window;
    openOn(window, peer);
    const QByteArray store = storeFileBytes();

    click(window, "applyButton");
    child<QAction>(&window, "actionCheckForUpdates")->trigger();

    QCOMPARE(peer.collect(toolPort(window)), QByteArray());
    QCOMPARE(storeFileBytes(), store);
    QCOMPARE(statusText(window), QStringLiteral("Ready"));
}

void TestMainWindow::about()
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

void TestMainWindow::refreshWhileOpen()
{
    PseudoTerminal peer;
    MainWindow window;
    openOn(window, peer);
    auto *combo = child<QComboBox>(&window, "serialPortCombo");

    click(window, "serialPortsRefreshButton");
    QCOMPARE(combo->count(), QSerialPortInfo::availablePorts().size());
    QVERIFY(!combo->isEnabled());
    QCOMPARE(statusText(window), QStringLiteral("Ready"));

    peer.sendLine("*T = 12.5 K");
    QTRY_COMPARE(text(window, "temperatureValue"), QStringLiteral("12.500 K"));
}

void TestMainWindow::quit_data()
{
    QTest::addColumn<bool>("withPort");
    QTest::newRow("port open") << true;
    QTest::newRow("no port") << false;
}

void TestMainWindow::quit()
{
    QFETCH(bool, withPort);

    PseudoTerminal peer;
    MainWindow window;
    window.show();
    if (withPort) {
        openOn(window, peer);
        QTest::ignoreMessage(QtDebugMsg, "Closing port ...");
    }
    child<QAction>(&window, "actionQuit")->trigger();

    QVERIFY(!window.isVisible());
    QVERIFY(!liveDevice(window));
    QCOMPARE(statusText(window), QStringLiteral("Port closed"));
}

void TestMainWindow::titleBarCloseLeavesPortOpen()
{
    PseudoTerminal peer;
    MainWindow window;
    window.show();
    openOn(window, peer);

    QVERIFY(window.close());
    QVERIFY(liveDevice(window));
    QCOMPARE(statusText(window), QStringLiteral("Ready"));
}

void TestMainWindow::readout_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<double>("kelvin");
    QTest::addColumn<QString>("expected");

    QTest::newRow("4.2") << QByteArray("*T = 4.2 K") << 4.2 << "4.200 K";
    QTest::newRow("300") << QByteArray("*T = 300 K") << 300.0 << "300.000 K";
    QTest::newRow("77.35") << QByteArray("*T = 77.350 K") << 77.35 << "77.350 K";
    QTest::newRow("rounded") << QByteArray("*T = 1234.5678 K") << 1234.5678 << "1234.568 K";
    QTest::newRow("narrow") << QByteArray("*T = 0.001 K") << 0.001 << "0.001 K";
}

void TestMainWindow::readout()
{
    QFETCH(QByteArray, line);
    QFETCH(double, kelvin);
    QFETCH(QString, expected);

    PseudoTerminal peer;
    MainWindow window;
    openOn(window, peer);
    peer.sendLine(line);
    QTRY_COMPARE(text(window, "temperatureValue"), expected);
    QCOMPARE(temperaturePoints(window), QVector<QPointF>{QPointF(0.0, kelvin)});
}

void TestMainWindow::agesRelativeToNewestPoint()
{
    PseudoTerminal peer;
    MainWindow window;
    openOn(window, peer);

    // The window's clock is its own; the test bounds the gap between two readings from
    // both sides instead of waiting for a particular one.
    const int gapMs = 60;
    QElapsedTimer outer;
    outer.start();
    peer.sendLine("*T = 80 K");
    QTRY_COMPARE(temperaturePoints(window).size(), 1);
    QTest::qWait(gapMs);
    peer.sendLine("*T = 81 K");
    QTRY_COMPARE(temperaturePoints(window).size(), 2);
    const double outerSeconds = outer.elapsed() / 1000.0;

    const QVector<QPointF> two = temperaturePoints(window);
    QCOMPARE(two.at(1), QPointF(0.0, 81.0));
    QCOMPARE(two.at(0).y(), 80.0);
    // Elapsed times are whole milliseconds: allow for rounding at each end.
    QVERIFY2(two.at(0).x() <= -(gapMs - 2) / 1000.0, qPrintable(QString::number(two.at(0).x())));
    QVERIFY2(two.at(0).x() >= -(outerSeconds + 0.002), qPrintable(QString::number(two.at(0).x())));

    // A third reading moves the older points left by the same amount: every age is
    // recomputed from the newest point, and the gap between the first two is kept.
    QTest::qWait(5);
    peer.sendLine("*T = 82 K");
    QTRY_COMPARE(temperaturePoints(window).size(), 3);
    const QVector<QPointF> three = temperaturePoints(window);
    QCOMPARE(three.at(2), QPointF(0.0, 82.0));
    QVERIFY(three.at(1).x() < 0.0);
    QVERIFY(qAbs((three.at(0).x() - three.at(1).x()) - two.at(0).x()) < 1e-9);
}

void TestMainWindow::historyKeepsLast300()
{
    PseudoTerminal peer;
    MainWindow window;
    openOn(window, peer);

    QByteArray lines;
    for (int kelvin = 1; kelvin <= 301; ++kelvin)
        lines += "*T = " + QByteArray::number(kelvin) + " K\r\n";
    peer.send(lines);
    QTRY_COMPARE(text(window, "temperatureValue"), QStringLiteral("301.000 K"));

    const QVector<QPointF> points = temperaturePoints(window);
    QCOMPARE(points.size(), 300);
    QCOMPARE(points.first().y(), 2.0);
    QCOMPARE(points.last(), QPointF(0.0, 301.0));
    for (int i = 1; i < points.size(); ++i) {
        QCOMPARE(points.at(i).y(), points.at(i - 1).y() + 1.0);
        QVERIFY(points.at(i).x() >= points.at(i - 1).x());
    }
}

// However the window paces its repaints, once the readings stop its plot shows exactly
// what the same plot shows when given the same points and replotted at once.
void TestMainWindow::livePlotLooksAsDrawnAtOnce()
{
    MainWindow window;
    MainWindow reference;
    QwtPlot *live = plotIn(window, "plotFrame");
    QwtPlot *atOnce = plotIn(reference, "plotFrame");
    for (MainWindow *shown : {&window, &reference}) {
        plotIn(*shown, "plotFrame")->setFixedSize(600, 400);
        shown->show();
        QVERIFY(QTest::qWaitForWindowExposed(shown));
    }

    for (int i = 0; i < 300; ++i)
        window.temperatureChanged(77.0 + 0.5 * i + 0.3 * (i % 7));
    auto *curve
        = static_cast<QwtPlotCurve *>(atOnce->itemList(QwtPlotItem::Rtti_PlotCurve).first());
    const QVector<QPointF> points = temperaturePoints(window);
    QCOMPARE(points.size(), 300);
    curve->setSamples(points);
    atOnce->replot();

    const QImage expected = atOnce->grab().toImage();
    QCOMPARE(expected.size(), QSize(600, 400));
    QTRY_COMPARE(live->grab().toImage(), expected);
}

void TestMainWindow::clear()
{
    PseudoTerminal peer;
    MainWindow window;
    openOn(window, peer);
    peer.sendLine("*T = 90 K");
    peer.sendLine("*T = 91 K");
    QTRY_COMPARE(temperaturePoints(window).size(), 2);

    click(window, "plotClearButton");
    QVERIFY(temperaturePoints(window).isEmpty());
    QCOMPARE(text(window, "temperatureValue"), QStringLiteral("91.000 K"));

    QTest::qWait(5);
    peer.sendLine("*T = 92 K");
    QTRY_COMPARE(temperaturePoints(window).size(), 1);
    QCOMPARE(temperaturePoints(window), QVector<QPointF>{QPointF(0.0, 92.0)});
}

void TestMainWindow::unplugClosesConnection()
{
    PseudoTerminal peer;
    PseudoTerminal replacement;
    MainWindow window;
    openOn(window, peer);
    peer.sendLine("MORVA,ZURKD550-BS,551,1.3.0.0");
    QTRY_COMPARE(text(window, "modelValue"), QStringLiteral("ZURKD550-BS"));

    // With the instrument's side gone, the next write fails with an I/O error, which
    // the port reports as a resource error, as it does for an unplugged adapter.
    QTest::ignoreMessage(QtDebugMsg, "Closing port ...");
    peer.hangUp();
    liveDevice(window)->serialSendCommand(QStringLiteral("*IDN?\n"));
    QTRY_COMPARE(statusText(window), waitingText(peer.portName()));

    QVERIFY(!liveDevice(window));
    QCOMPARE(enabledStates(window), expectedLostStates());
    QCOMPARE(text(window, "modelValue"), QStringLiteral("-"));

    // Choosing another port ends the waiting.
    choosePort(window, replacement.portName());
    QCOMPARE(statusText(window), QStringLiteral("Port closed"));
    QCOMPARE(enabledStates(window), expectedStates(false));
    click(window, "serialPortOpenButton");
    QCOMPARE(replacement.collect(toolPort(window)), openingBytes);
}

void TestMainWindow::portErrors_data()
{
    QTest::addColumn<QSerialPort::SerialPortError>("error");
    QTest::addColumn<bool>("closes");

    QTest::newRow("resource") << QSerialPort::ResourceError << true;
    QTest::newRow("read") << QSerialPort::ReadError << false;
    QTest::newRow("write") << QSerialPort::WriteError << false;
    QTest::newRow("timeout") << QSerialPort::TimeoutError << false;
    QTest::newRow("parity") << QSerialPort::ParityError << false;
}

void TestMainWindow::portErrors()
{
    QFETCH(QSerialPort::SerialPortError, error);
    QFETCH(bool, closes);

    PseudoTerminal peer;
    MainWindow window;
    openOn(window, peer);
    if (closes)
        QTest::ignoreMessage(QtDebugMsg, "Closing port ...");
    emit toolPort(window)->errorOccurred(error);

    QCOMPARE(liveDevice(window) != nullptr, !closes);
    QCOMPARE(statusText(window), closes ? waitingText(peer.portName()) : QStringLiteral("Ready"));
    QCOMPARE(enabledStates(window), closes ? expectedLostStates() : expectedStates(true));
}

void TestMainWindow::screenshot()
{
    PseudoTerminal peer;
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    openOn(window, peer);
    peer.sendLine("MORVA,ZURKD550,20417,1.3.2.0");
    QByteArray lines;
    for (int i = 0; i < 40; ++i)
        lines += "*T = " + QByteArray::number(77.0 + (i % 10) * 0.25) + " K\r\n";
    peer.send(lines);
    QTRY_COMPARE(temperaturePoints(window).size(), 40);

    // The window fits a 1024 x 600 screen with every tab laid out.
    QVERIFY(window.minimumSizeHint().width() <= 1024);
    QVERIFY(window.minimumSizeHint().height() <= 600);
    QCOMPARE(window.size(), QSize(1024, 600));
    auto *tabs = child<QTabWidget>(&window, "tabWidget");
    for (int i = 0; i < tabs->count(); ++i) {
        tabs->setCurrentIndex(i);
        const QString path = QStringLiteral(RIMEGLASS_ARTIFACT_DIR "/main-window-%1.png")
                                 .arg(tabs->widget(i)->objectName());
        QVERIFY2(window.grab().save(path), qPrintable(path));
    }

    // The plot fills its frame.
    tabs->setCurrentIndex(0);
    const QWidget *frame = child<QWidget>(&window, "plotFrame");
    QVERIFY(plotIn(window, "plotFrame")->width() > frame->width() / 2);
    QVERIFY(plotIn(window, "plotFrame")->height() > frame->height() / 2);
}

RIMEGLASS_TEST_MAIN(QApplication, TestMainWindow)

#include "test_main_window.moc"
