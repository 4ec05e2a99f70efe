#ifndef RIMEGLASS_SETTINGSTABLE_H
#define RIMEGLASS_SETTINGSTABLE_H

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>

// The keys of the settings store (QSettings, organisation "MORVA", application
// "rimeglass"), declared once for every reader and writer; defaultValue() gives each
// one's default and value type. Names, types and defaults are what existing users'
// stores hold: they never change.
namespace StoreKey {
inline const QString portName = QStringLiteral("/serial/port-name");
inline const QString sensorId = QStringLiteral("/sensor-id"); // 0, 1, 2, 3 or 16
inline const QString relay1Temperature = QStringLiteral("/relay1-temperature");
inline const QString relay1Hysteresis = QStringLiteral("/relay1-hysteresis");
inline const QString relay1DefaultState = QStringLiteral("/relay1-default-state");
inline const QString relay2Temperature = QStringLiteral("/relay2-temperature");
inline const QString relay2Hysteresis = QStringLiteral("/relay2-hysteresis");
inline const QString relay2DefaultState = QStringLiteral("/relay2-default-state");
inline const QString rs232Output = QStringLiteral("/rs232-automatic-output");
inline const QString rs232Period = QStringLiteral("/rs232-automatic-output-period");
inline const QString rs485Output = QStringLiteral("/rs485-automatic-output");
inline const QString rs485Period = QStringLiteral("/rs485-automatic-output-period");
// An int written on every change and never read: the spin box starts at its minimum.
inline const QString displayRefreshPeriod = QStringLiteral("/display-refresh-period");
inline const QString customSensorName = QStringLiteral("/custom-sensor-name");
inline const QString customSensorFile = QStringLiteral("/custom-sensor-file");
inline const QString sensorFileLastPath = QStringLiteral("/ui/sensor-file-last-path");
inline const QString firmwareUpgradeLastPath = QStringLiteral("/ui/firmware-upgrade-last-path");
inline const QString plotExportLastPath = QStringLiteral("/ui/plot-export-last-path");
// The window's size and place as QWidget::saveGeometry() gives them, in base 64 (a text,
// which the store's repair keeps), and the index of the tab shown last.
inline const QString windowGeometry = QStringLiteral("/ui/window-geometry");
inline const QString currentTab = QStringLiteral("/ui/current-tab");
inline const QString recordingFolder = QStringLiteral("/recording/folder");
inline const QString recordingAutomatic = QStringLiteral("/recording/automatic");

// Every key above.
QStringList all();
// What reading `key` gives when the store does not hold it, as the type stored: "COM1",
// int 0 for the sensor and the states, doubles 100.0/10.0/150.0/10.0 for the relays and
// 500.0 for the periods, "Custom", empty paths and geometry, the documents folder +
// "/rimeglass" (Recorder::defaultFolder()), false, tab 0. Invalid for "/display-refresh-period",
// which is never read, and for a key of no store.
QVariant defaultValue(const QString &key);
} // namespace StoreKey

// What a read-back brought: the value of every parameter report that answered one of its
// queries, as the instrument sent it, under the report's key ("relay1:temp" -> "80.000").
using SettingsValues = QMap<QString, QString>;

// One of the instrument's settings: how the command line names it, how the instrument
// reports it, where the window stores it, and the values the window's form allows.
struct Setting
{
    enum class Kind {
        Sensor, // one of SettingsTable::sensors()
        Kelvin, // a relay's set-point or hysteresis
        DefaultState, // a relay's default state, Off (0) or On (1)
        Output, // whether a serial output sends readings by itself: disabled (0) or enabled
        OutputPeriod, // that output's period; 0 switches it off
        DisplayPeriod, // the display's refresh period
    };

    QString name; // on the command line: "relay1-temperature"
    Kind kind;
    QString reportKey; // the parameter report that carries it: "relay1:temp"
    int readBackStage; // the read-back query that asks for it (SettingsTable::readBackQuery)
    QString storeKey; // StoreKey::relay1Temperature
    double minimum;
    double maximum;
    double step;
    int decimals;
    QString unit; // "K", "ms", or empty
    QString description; // one line, for --help
    int relay = 0; // 1 or 2 for a relay's setting
    QString output; // "rs232" or "rs485" for a serial output's setting

    QString query() const;
    QVariant storeDefault() const { return StoreKey::defaultValue(storeKey); }
    // The values it takes, in an operator's words: "0.1 to 1000 K", "off or on".
    QString rangeText() const;
};

// A sensor curve the instrument knows: its id (the protocol value the window stores and
// its sensor combo carries), the instrument's keyword, and the name an operator reads.
struct Sensor
{
    int id;
    QString keyword; // "dt-670"
    QString name; // "DT-670"
};

class SettingsTable
{
public:
    // The twelve settings, in the order the command line prints them.
    static const QList<Setting> &settings();
    static const Setting *find(const QString &name);
    static QStringList names();

    // The read-back asks these queries one after the other (":cal?\n", ...).
    static int readBackStageCount();
    static QString readBackQuery(int stage);

    // ZUR, DT-400, DT-670, ASC and Custom, in the order the window lists them.
    static const QList<Sensor> &sensors();
    // The sensor's place in that list; -1 for an id or keyword of no sensor.
    static int sensorIndexOfId(int id);
    static int sensorIndexOfKeyword(const QString &keyword);
    // "ZUR, DT-400, DT-670, ASC or Custom"
    static QString sensorNamesText();
};

#endif
