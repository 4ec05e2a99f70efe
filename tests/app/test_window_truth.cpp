// What the window tells the operator about the port and the instrument: typed ports,
// why a port did not open, a lost port that comes back, a stale readout, what each
// change sent, when the voltage fit may be sent, and a damaged settings store.

#include "portopenfailure.h"
#include "serialportlinks.h"
#include "testmain.h"
#include "windowdriver.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>

using namespace windowdriver;

namespace {

const QString storeResetText
    = QStringLiteral("Some stored settings could not be read and were reset to their defaults");

void typePort(const MainWindow &window, const QString &name)
{
    child<QComboBox>(&window, "serialPortCombo")->setEditText(name);
}

// An instrument with voltage measurement (1.5) that answers the read-back queries.
void answerAsInstrument(PseudoTerminal &peer)
{
    peer.setResponder([](const QByteArray &token) {
        if (token == "@00\n")
            return QList<QByteArray>{"*COMPAT = 3cc3a93f426145ff95bf653df2686cb0"};
        if (token.startsWith(':') && token.endsWith("?\n") && !token.startsWith(":volt"))
            return QList<QByteArray>{token.mid(1, token.size() - 3) + " = 1"};
        return QList<QByteArray>{};
    });
}

void connectInstrument(const MainWindow &window, PseudoTerminal &peer)
{
    answerAsInstrument(peer);
    openOn(window, peer);
    peer.sendLine("MORVA,ZURKD550,20417,1.5.0.0");
    peer.collect(toolPort(window));
}

QColor readoutColour(const MainWindow &window, QPalette::ColorGroup group = QPalette::Active)
{
    return child<QLabel>(&window, "temperatureValue")->palette().color(group, QPalette::WindowText);
}

} // namespace

class TestWindowTruth : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { cancelPendingAnswers(); }

    void openFailureText_data();
    void openFailureText();
    void openFailures_data();
    void openFailures();
    void stableLinkNames();
    void lostPortComesBack();
    void upgradeNeedsIdentification();
    void staleReadout_data();
    void staleReadout();
    void confirmations_data();
    void confirmations();
    void calibrateOnlyAUsableFit_data();
    void calibrateOnlyAUsableFit();
    void damagedStore_data();
    void damagedStore();
};

void TestWindowTruth::init()
{
    QSettings().clear();
}

void TestWindowTruth::openFailureText_data()
{
    QTest::addColumn<QSerialPort::SerialPortError>("error");
    QTest::addColumn<QString>("errorString");
    QTest::addColumn<QString>("expected");

    const QString busy = "Cannot open /dev/ttyUSB0: the port is busy. Another program holds it.";
    QTest::newRow("permission") << QSerialPort::PermissionError << "Permission denied"
                                << "Cannot open /dev/ttyUSB0: permission denied. Add your user "
                                   "to the dialout group and log in again.";
    QTest::newRow("busy") << QSerialPort::PermissionError << "Device or resource busy" << busy;
    QTest::newRow("locked elsewhere")
        << QSerialPort::PermissionError << "Permission error while locking the device" << busy;
    QTest::newRow("other") << QSerialPort::UnsupportedOperationError << "Invalid argument"
                           << "Cannot open /dev/ttyUSB0: Invalid argument";
}

void TestWindowTruth::openFailureText()
{
    QFETCH(QSerialPort::SerialPortError, error);
    QFETCH(QString, errorString);
    QFETCH(QString, expected);
    QCOMPARE(PortOpenFailure::operatorText(error, errorString, "/dev/ttyUSB0"), expected);
}

void TestWindowTruth::openFailures_data()
{
    QTest::addColumn<bool>("busy");
    QTest::addColumn<QString>("reason");

    QTest::newRow("busy") << true << "the port is busy. Another program holds it.";
    QTest::newRow("not found") << false << "no such port.";
}

void TestWindowTruth::openFailures()
{
    QFETCH(bool, busy);
    QFETCH(QString, reason);

    PseudoTerminal peer;
    QSerialPort holder(peer.portName());
    QVERIFY(!busy || holder.open(QIODevice::ReadWrite));
    const QString name = busy ? peer.portName() : peer.portName() + "-gone";
    MainWindow window;
    typePort(window, name);
    click(window, "serialPortOpenButton");

    const QString expected = "Cannot open " + name + ": " + reason;
    QCOMPARE(statusText(window), expected);
    QCOMPARE(child<QWidget>(&window, "serialPortCombo")->toolTip(), expected);
    QVERIFY(!liveDevice(window));
    QVERIFY(!QSettings().contains("/serial/port-name"));
}

void TestWindowTruth::stableLinkNames()
{
    PseudoTerminal peer;
    QTemporaryDir byId;
    const QString link = byId.filePath("usb-MORVA_Adapter_A1-if00-port0");
    QVERIFY(QFile::link(peer.portName(), link));
    QVERIFY(QFile::link("/dev/no-such-port", byId.filePath("usb-gone")));

    const SerialPortLinks links(byId.path());
    QCOMPARE(links.linkTo(peer.portName()), link);
    QCOMPARE(links.linkTo("/dev/null"), QString());
}

void TestWindowTruth::lostPortComesBack()
{
    QTemporaryDir directory;
    const QString link = directory.filePath("ttySIM");
    auto first = std::make_unique<PseudoTerminal>();
    QVERIFY(QFile::link(first->portName(), link));
    MainWindow window;
    typePort(window, link);
    click(window, "serialPortOpenButton");
    QCOMPARE(first->collect(toolPort(window)), openingBytes);
    QCOMPARE(QSettings().value("/serial/port-name").toString(), link);

    first->hangUp();
    QTRY_COMPARE(statusText(window), "Port lost \u2014 waiting for " + link + " to come back");
    QVERIFY(!liveDevice(window));
    first.reset();

    PseudoTerminal second;
    QVERIFY(QFile::remove(link) && QFile::link(second.portName(), link));
    answerAsInstrument(second);
    QVERIFY(second.waitFor(openingBytes));
    QCOMPARE(statusText(window), QStringLiteral("Ready"));
    second.sendLine("MORVA,ZURKD550,20417,1.5.0.0");
    QTRY_COMPARE(statusText(window), QStringLiteral("Settings read from the instrument"));

    // The typed path is no item of the list; it comes back into the box as typed.
    click(window, "serialPortsRefreshButton");
    auto *combo = child<QComboBox>(&window, "serialPortCombo");
    QCOMPARE(combo->currentText(), link);
    QCOMPARE(combo->findData(link), -1);
}

void TestWindowTruth::upgradeNeedsIdentification()
{
    PseudoTerminal peer;
    MainWindow window;
    openOn(window, peer);
    const QString tip = "No instrument has identified itself on this port yet.";
    QCOMPARE(child<QWidget>(&window, "sensorUploadButton")->toolTip(), tip);

    const auto box = answerNextMessageBox(QMessageBox::Ok);
    const auto fileDialog = answerNextFileDialog(QString());
    click(window, "upgradeButton");
    QVERIFY(box->shown);
    QCOMPARE(box->icon, QMessageBox::Information);
    QCOMPARE(box->title, QStringLiteral("Firmware upgrade"));
    QCOMPARE(box->text,
             tip.chopped(1)
                 + ". The upgrade needs its model and hardware revision: "
                   "check the cable and the port, then open it again.");
    QVERIFY(!fileDialog->shown);

    peer.sendLine("MORVA,ZURKD550,20417,1.3.0.0");
    QTRY_COMPARE(child<QWidget>(&window, "sensorUploadButton")->toolTip(), QString());
}

void TestWindowTruth::staleReadout_data()
{
    QTest::addColumn<QByteArray>("periodLine");
    QTest::addColumn<int>("ageMs");
    QTest::addColumn<QString>("ageText");

    QTest::newRow("no period, at the floor") << QByteArray() << 3000 << "";
    QTest::newRow("no period, past the floor") << QByteArray() << 3001 << "last reading 3 s ago";
    QTest::newRow("fast output keeps the floor")
        << QByteArray("rs232:period = 250") << 3001 << "last reading 3 s ago";
    QTest::newRow("slow output, within three periods")
        << QByteArray("rs232:period = 2000") << 6000 << "";
    QTest::newRow("slow output, past three periods")
        << QByteArray("rs232:period = 2000") << 12500 << "last reading 12 s ago";
    QTest::newRow("output disabled")
        << QByteArray("rs232:period = 0") << 3001 << "last reading 3 s ago";
}

void TestWindowTruth::staleReadout()
{
    QFETCH(QByteArray, periodLine);
    QFETCH(int, ageMs);
    QFETCH(QString, ageText);

    PseudoTerminal peer;
    MainWindow window;
    openOn(window, peer);
    if (!periodLine.isEmpty())
        peer.sendLine(periodLine);
    peer.sendLine("*T = 80 K");
    peer.collect(toolPort(window));
    const QColor normal = readoutColour(window);
    const QColor greyed = readoutColour(window, QPalette::Disabled);
    QVERIFY(normal != greyed);

    window.showReadoutAge(ageMs);
    QCOMPARE(text(window, "temperatureAgeLabel"), ageText);
    QCOMPARE(readoutColour(window), ageText.isEmpty() ? normal : greyed);

    peer.sendLine("*T = 81 K");
    peer.collect(toolPort(window));
    QCOMPARE(text(window, "temperatureAgeLabel"), QString());
    QCOMPARE(readoutColour(window), normal);
}

void TestWindowTruth::confirmations_data()
{
    QTest::addColumn<QString>("widget");
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("shown");

    QTest::newRow("relay temperature") << "relay1TempSpin" << QByteArray("value") << QVariant(77.35)
                                       << "Relay 1 temperature set to 77.350 K";
    QTest::newRow("relay hysteresis") << "relay2HystSpin" << QByteArray("value") << QVariant(1.0)
                                      << "Relay 2 hysteresis set to 1.000 K";
    QTest::newRow("relay default state") << "relay1DefaultStateCombo" << QByteArray("currentIndex")
                                         << QVariant(1) << "Relay 1 default state set to On";
    QTest::newRow("sensor") << "sensorCombo" << QByteArray("currentIndex") << QVariant(2)
                            << "Sensor set to DT-670";
    QTest::newRow("output enabled") << "rs232AutomaticOutputCombo" << QByteArray("currentIndex")
                                    << QVariant(1) << "RS232 output period set to 500 ms";
    QTest::newRow("period while disabled") << "rs232OutputPeriodSpin" << QByteArray("value")
                                           << QVariant(250.0) << "RS232 automatic output disabled";
    QTest::newRow("display") << "displayRefreshSpin" << QByteArray("value") << QVariant(500)
                             << "Display refresh period set to 500 ms";
    QTest::newRow("save") << "saveButton2" << QByteArray() << QVariant()
                          << "Settings saved in the instrument";
}

void TestWindowTruth::confirmations()
{
    QFETCH(QString, widget);
    QFETCH(QByteArray, property);
    QFETCH(QVariant, value);
    QFETCH(QString, shown);

    PseudoTerminal peer;
    MainWindow window;
    openOn(window, peer);
    auto *target = child<QObject>(&window, qPrintable(widget));
    if (property.isEmpty())
        static_cast<QAbstractButton *>(target)->click();
    else
        target->setProperty(property, value);
    QVERIFY(!peer.collect(toolPort(window)).isEmpty());
    QCOMPARE(statusText(window), shown);

    // Nothing is sent without a port, and nothing is confirmed.
    click(window, "serialPortCloseButton");
    click(window, "saveButton");
    QCOMPARE(statusText(window), QStringLiteral("Port closed"));
}

void TestWindowTruth::calibrateOnlyAUsableFit_data()
{
    QTest::addColumn<double>("real2");
    QTest::addColumn<QList<int>>("microvolts"); // readings of point 1, then point 2
    QTest::addColumn<QString>("missing");

    QTest::newRow("nothing measured") << 0.0 << QList<int>{} << "Measure ADC voltage 1";
    QTest::newRow("one point") << 0.0 << QList<int>{1000000} << "Measure ADC voltage 2";
    QTest::newRow("equal real voltages")
        << 1.0 << QList<int>{1000000, 0} << "The two real voltages must differ";
    QTest::newRow("equal readings")
        << 0.0 << QList<int>{500000, 500000} << "The two measured voltages must differ";
    QTest::newRow("falling fit") << 0.0 << QList<int>{0, 1000000}
                                 << "The fitted slope is not positive";
    QTest::newRow("usable") << 0.0 << QList<int>{1000000, 10000} << "";
}

void TestWindowTruth::calibrateOnlyAUsableFit()
{
    QFETCH(double, real2);
    QFETCH(QList<int>, microvolts);
    QFETCH(QString, missing);

    PseudoTerminal peer;
    MainWindow window;
    connectInstrument(window, peer);
    child<QObject>(&window, "adcCalibrationV1")->setProperty("value", 1.0);
    child<QObject>(&window, "adcCalibrationV2")->setProperty("value", real2);
    const char *measureButtons[]
        = {"adcCalibrationR1MeasureButton", "adcCalibrationR2MeasureButton"};
    for (int point = 0; point < microvolts.size(); ++point) {
        click(window, measureButtons[point]);
        peer.sendLine("Vunc = " + QByteArray::number(microvolts.at(point)));
        peer.collect(toolPort(window));
    }

    auto *calibrate = child<QWidget>(&window, "adcCalibrationButton");
    QCOMPARE(calibrate->isEnabled(), missing.isEmpty());
    QCOMPARE(calibrate->toolTip(), missing);
    QVERIFY(QMetaObject::invokeMethod(&window, "adcCalibrationButtonClicked"));
    const QByteArray sent = peer.collect(toolPort(window));
    QCOMPARE(sent.startsWith(":volt:cal "), missing.isEmpty());
}

void TestWindowTruth::damagedStore_data()
{
    QTest::addColumn<QByteArray>("group");
    QTest::addColumn<QByteArray>("variant");

    const QByteArray issueLine("@Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)");
    QRandomGenerator random(14);
    QByteArray noise = "@Variant(";
    while (noise.size() < 200) {
        const char byte = char(random.bounded(256));
        if (byte != '\n' && byte != '\r')
            noise += byte;
    }
    QTest::newRow("general") << QByteArray("General") << issueLine;
    QTest::newRow("serial") << QByteArray("serial") << issueLine;
    QTest::newRow("random bytes") << QByteArray("General") << noise + ')';
}

void TestWindowTruth::damagedStore()
{
    QFETCH(QByteArray, group);
    QFETCH(QByteArray, variant);

    QFile store(QSettings().fileName());
    QVERIFY(QDir().mkpath(QFileInfo(store).path()) && store.open(QIODevice::WriteOnly));
    store.write("[General]\nrelay1-temperature=42\n[" + group + "]\nsensor-id=" + variant + "\n");
    store.close();

    MainWindow window;
    QCOMPARE(statusText(window), storeResetText);
    QCOMPARE(child<QObject>(&window, "relay1TempSpin")->property("value").toDouble(), 42.0);
    QCOMPARE(child<QComboBox>(&window, "sensorCombo")->currentIndex(), 0);
    QVERIFY(!QSettings().contains(group == "General" ? "sensor-id" : group + "/sensor-id"));
}

RIMEGLASS_TEST_MAIN(QApplication, TestWindowTruth)

#include "test_window_truth.moc"
