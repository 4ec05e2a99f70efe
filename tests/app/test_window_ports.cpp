// Port entries that the system does not list (the demo's simulated instrument), and how
// a line whose far end hangs up is told.

#include "testmain.h"
#include "windowdriver.h"

#include <QComboBox>
#include <QSerialPortInfo>
#include <QSettings>

using namespace windowdriver;

namespace {

struct PortEntry
{
    QString text;
    QString name;
    bool operator==(const PortEntry &other) const
    {
        return text == other.text && name == other.name;
    }
};

QList<PortEntry> portEntries(const MainWindow &window)
{
    const auto *combo = child<QComboBox>(&window, "serialPortCombo");
    QList<PortEntry> entries;
    for (int i = 0; i < combo->count(); ++i)
        entries.append({combo->itemText(i), combo->itemData(i, Qt::UserRole).toString()});
    return entries;
}

// The system's ports as the window lists them by itself.
QList<PortEntry> systemEntries()
{
    QList<PortEntry> entries;
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts()) {
        entries.append({serialPortItemText(port.portName(), port.manufacturer(), port.description(),
                                           port.serialNumber()),
                        port.portName()});
    }
    return entries;
}

QString currentPortName(const MainWindow &window)
{
    return child<QComboBox>(&window, "serialPortCombo")->currentData(Qt::UserRole).toString();
}

char *toString(const PortEntry &entry)
{
    return QTest::toString(entry.text + QStringLiteral(" -> ") + entry.name);
}

} // namespace

class TestWindowPorts : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void systemPortsOnly();
    void extraPortsFollowSystemPorts();
    void refreshKeepsExtraPorts_data();
    void refreshKeepsExtraPorts();
    void openExtraPort();

    void hungUpLineDetected();
};

void TestWindowPorts::init()
{
    QSettings().clear();
}

void TestWindowPorts::systemPortsOnly()
{
    MainWindow window;
    QCOMPARE(portEntries(window), systemEntries());
    click(window, "serialPortsRefreshButton");
    QCOMPARE(portEntries(window), systemEntries());
}

void TestWindowPorts::extraPortsFollowSystemPorts()
{
    MainWindow window;
    window.addExtraPort(QStringLiteral("/tmp/ttySIM1"), QStringLiteral("simulated instrument"));
    window.addExtraPort(QStringLiteral("/tmp/ttySIM2"), QString());

    const QList<PortEntry> expected = systemEntries()
        + QList<PortEntry>{{"/tmp/ttySIM1 (simulated instrument)", "/tmp/ttySIM1"},
                           {"/tmp/ttySIM2", "/tmp/ttySIM2"}};
    QCOMPARE(portEntries(window), expected);
    // The one added last is selected.
    QCOMPARE(currentPortName(window), QStringLiteral("/tmp/ttySIM2"));
    // Adding a port writes nothing to the store.
    QVERIFY(QSettings().allKeys().isEmpty());
}

void TestWindowPorts::refreshKeepsExtraPorts_data()
{
    QTest::addColumn<QString>("remembered");
    QTest::addColumn<QString>("selected");

    QTest::newRow("remembered extra port") << "/tmp/ttySIM1"
                                           << "/tmp/ttySIM1";
    QTest::newRow("remembered port absent")
        << "/dev/ttyNOWHERE"
        << (QSerialPortInfo::availablePorts().isEmpty()
                ? QStringLiteral("/tmp/ttySIM1")
                : QSerialPortInfo::availablePorts().first().portName());
}

void TestWindowPorts::refreshKeepsExtraPorts()
{
    QFETCH(QString, remembered);
    QFETCH(QString, selected);

    MainWindow window;
    window.addExtraPort(QStringLiteral("/tmp/ttySIM1"), QStringLiteral("simulated instrument"));
    window.addExtraPort(QStringLiteral("/tmp/ttySIM2"), QStringLiteral("another"));
    QSettings().setValue(QStringLiteral("/serial/port-name"), remembered);

    click(window, "serialPortsRefreshButton");
    const QList<PortEntry> expected = systemEntries()
        + QList<PortEntry>{{"/tmp/ttySIM1 (simulated instrument)", "/tmp/ttySIM1"},
                           {"/tmp/ttySIM2 (another)", "/tmp/ttySIM2"}};
    QCOMPARE(portEntries(window), expected);
    QCOMPARE(currentPortName(window), selected);
}

void TestWindowPorts::openExtraPort()
{
    PseudoTerminal peer;
    MainWindow window;
    window.addExtraPort(peer.portName(), QStringLiteral("simulated instrument"));

    click(window, "serialPortOpenButton");
    QSerialPort *port = toolPort(window);
    QVERIFY(port);
    QCOMPARE(peer.collect(port), openingBytes);
    QCOMPARE(statusText(window), QStringLiteral("Ready"));
    QCOMPARE(QSettings().value(QStringLiteral("/serial/port-name")).toString(), peer.portName());
}

void TestWindowPorts::hungUpLineDetected()
{
    PseudoTerminal peer;
    Device device(nullptr);
    QVERIFY(!device.portHungUp());
    QVERIFY(device.openPort(peer.portName()));
    QCOMPARE(peer.collect(device.port), openingBytes);
    QVERIFY(!device.portHungUp());

    peer.hangUp();
    QVERIFY(device.portHungUp());
    device.close();
    QVERIFY(!device.portHungUp());
}

RIMEGLASS_TEST_MAIN(QApplication, TestWindowPorts)
#include "test_window_ports.moc"
