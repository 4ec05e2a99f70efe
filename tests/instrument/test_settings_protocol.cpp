// The settings as the command-line tool changes and reads them: the window's commands and
// ranges, checked before anything is sent, and the read-back reports under their names.

#include "settingsprotocol.h"
#include "testmain.h"

#include <QCoreApplication>

class TestSettingsProtocol : public QObject
{
    Q_OBJECT

private slots:
    void change_data();
    void change();
    void readBack_data();
    void readBack();
};

// An empty command means the change is refused with the given text.
void TestSettingsProtocol::change_data()
{
    QTest::addColumn<QString>("assignment");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("text");

    QTest::newRow("lowest set-point") << "relay1-temperature=0.1"
                                      << ":relay1:temp 0.100\n"
                                      << "Relay 1 temperature set to 0.100 K";
    QTest::newRow("below the range") << "relay1-temperature=0.09"
                                     << ""
                                     << "relay1-temperature: 0.09 is out of range (0.1 to 1000 K)";
    QTest::newRow("highest hysteresis") << "relay2-hysteresis=1000"
                                        << ":relay2:hyst 1000.000\n"
                                        << "Relay 2 hysteresis set to 1000.000 K";
    QTest::newRow("default state") << "relay2-default-state=On"
                                   << ":relay2:default 1\n"
                                   << "Relay 2 default state set to On";
    QTest::newRow("custom sensor") << "sensor=Custom"
                                   << ":cal user\n"
                                   << "Sensor set to Custom";
    QTest::newRow("period 0 disables") << "rs485-period=0"
                                       << ":rs485:period 0\n"
                                       << "RS485 automatic output disabled";
    QTest::newRow("period above the range")
        << "rs485-period=1001"
        << ""
        << "rs485-period: 1001 is out of range (100 to 1000 ms, or 0 to disable the output)";
    QTest::newRow("enabling needs a period")
        << "rs232-output=enabled"
        << ""
        << "rs232-output: to enable the output, give rs232-period=MILLISECONDS";
    QTest::newRow("display period") << "display-refresh-period=10000"
                                    << ":display:period 10000\n"
                                    << "Display refresh period set to 10000 ms";
    QTest::newRow("display period below the range")
        << "display-refresh-period=99"
        << ""
        << "display-refresh-period: 99 is out of range (100 to 10000 ms)";
    QTest::newRow("not a number") << "relay1-hysteresis=nan"
                                  << ""
                                  << "relay1-hysteresis: \"nan\" is not a number";
}

void TestSettingsProtocol::change()
{
    QFETCH(QString, assignment);
    QFETCH(QString, command);
    QFETCH(QString, text);

    SettingsProtocol::Change change;
    QString error;
    const bool taken = SettingsProtocol::parseChange(assignment, &change, &error);
    QCOMPARE(taken, !command.isEmpty());
    QCOMPARE(taken ? change.command : QString(), command);
    QCOMPARE(taken ? change.confirmation : error, text);
}

void TestSettingsProtocol::readBack_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("shown");

    QTest::newRow("disabled output") << "rs232:period"
                                     << "0"
                                     << "rs232-output=disabled rs232-period=0";
    QTest::newRow("default state") << "relay2:default"
                                   << "1"
                                   << "relay2-default-state=On";
    QTest::newRow("unknown sensor keyword") << "cal"
                                            << "pt100"
                                            << "sensor=pt100";
    QTest::newRow("set-point") << "relay1:temp"
                               << "77.35"
                               << "relay1-temperature=77.350";
    QTest::newRow("not a number") << "relay1:temp"
                                  << "nan"
                                  << "";
    QTest::newRow("no setting") << "Vunc"
                                << "1500000"
                                << "";
}

void TestSettingsProtocol::readBack()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, shown);

    QStringList pairs;
    const QMap<QString, QString> values = SettingsProtocol::readBackValues(key, value);
    for (auto it = values.begin(); it != values.end(); ++it)
        pairs << it.key() + QLatin1Char('=') + it.value();
    QCOMPARE(pairs.join(QLatin1Char(' ')), shown);
}

RIMEGLASS_TEST_MAIN(QCoreApplication, TestSettingsProtocol)
#include "test_settings_protocol.moc"
