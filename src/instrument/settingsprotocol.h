#ifndef RIMEGLASS_SETTINGSPROTOCOL_H
#define RIMEGLASS_SETTINGSPROTOCOL_H

#include "settingstable.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// The instrument's settings (SettingsTable) as the window and the command-line tool
// change them and show them: the commands that change a setting, checked against the
// table's ranges, the words the operator is told, and the values read back under the
// operator's names.
class SettingsProtocol
{
public:
    // The read-back asks one query after the other, each once the answer to the one
    // before has come in.
    static int readBackStageCount();
    static QString readBackQuery(int stage);

    // The instrument's sensor keyword ("zur", "dt-400", "dt-670", "asc", "user") for a
    // sensor identifier (0, 1, 2, 3, 16; the sensor combo's item data), and back.
    static QString sensorKeyword(int sensorId);
    // -1 for a keyword of no known sensor.
    static int sensorIdOfKeyword(const QString &keyword);
    static QString sensorName(int sensorId);

    // One value read back, under the names the command-line tool prints: a parameter
    // report "rs232:period = 250" gives rs232-output = enabled and rs232-period = 250.
    // Empty for a report that is no setting or whose value does not convert.
    static QMap<QString, QString> readBackValues(const QString &key, const QString &value);
    // Every setting a read-back brought, under the names the command-line tool prints.
    static QMap<QString, QString> readBackValues(const SettingsValues &reports);
    // The names in the order they are printed.
    static QStringList settingNames();

    // "relay1-temperature=77.35": the command that sets it, checked against the range the
    // window allows. rs232-period and rs485-period stand for an enabled output; "0" or
    // rs232-output=disabled switches it off. False, with the reason, for a name or value
    // that is not taken; nothing is to be sent then.
    struct Change
    {
        QString name;
        QString command;
        QString confirmation; // "Relay 1 temperature set to 77.350 K"
    };
    static bool parseChange(const QString &assignment, Change *change, QString *error);
    // Several assignments, each change once, in the order given: what `settings` printed
    // is taken back as it is. An output's state and period given together make one
    // change ("rs232-output=enabled rs232-period=250", "rs485-output=disabled
    // rs485-period=0"); a setting given twice with the same value counts once. False,
    // with the reason, for any assignment refused, a setting given twice with different
    // values, or an output state its period contradicts.
    static bool parseChanges(const QStringList &assignments, QList<Change> *changes,
                             QString *error);

    // The command of each kind of change with the words the operator is told once it has
    // been sent; the window's settings slots and parseChange() both build them here.
    // `relay` and the state are 1 or 2 and 0 or 1; a period of 0 disables the output;
    // an unknown sensor gives no command.
    static Change sensorChange(int sensorId);
    static Change relayValueChange(int relay, bool hysteresis, double kelvin);
    static Change defaultStateChange(int relay, int state);
    static Change outputPeriodChange(const QString &port, int period); // "rs232", "rs485"
    static Change displayPeriodChange(int milliseconds);
};

#endif
