#include "settingsprotocol.h"

#include "settingstable.h"

#include <QCoreApplication>
#include <QStringList>
#include <cmath>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("SettingsProtocol", text);
}

bool toInteger(const QString &text, int *number)
{
    bool ok = false;
    *number = text.trimmed().toInt(&ok, 10);
    return ok;
}

bool toFinite(const QString &text, double *number)
{
    bool ok = false;
    *number = text.trimmed().toDouble(&ok);
    return ok && std::isfinite(*number);
}

QString stateName(int state)
{
    switch (state) {
    case 0:
        return QStringLiteral("Off");
    case 1:
        return QStringLiteral("On");
    default:
        return QString::number(state);
    }
}

// "rs232" -> "RS232"
QString portLabel(const QString &port)
{
    return port.toUpper();
}

QString outOfRange(const Setting &setting, const QString &value)
{
    return tr("%1: %2 is out of range (%3)").arg(setting.name, value, setting.rangeText());
}

bool inRange(const Setting &setting, double value)
{
    return value >= setting.minimum && value <= setting.maximum;
}

bool parseKelvin(const Setting &setting, const QString &value, SettingsProtocol::Change *change,
                 QString *error)
{
    double kelvin = 0.0;
    if (!toFinite(value, &kelvin)) {
        *error = tr("%1: \"%2\" is not a number").arg(setting.name, value);
        return false;
    }
    if (!inRange(setting, kelvin)) {
        *error = outOfRange(setting, value);
        return false;
    }
    *change = SettingsProtocol::relayValueChange(
        setting.relay, setting.reportKey.endsWith(QLatin1String(":hyst")), kelvin);
    return true;
}

bool parseDefaultState(const Setting &setting, const QString &value,
                       SettingsProtocol::Change *change, QString *error)
{
    const QString lower = value.trimmed().toLower();
    int state = -1;
    if (lower == QLatin1String("off") || lower == QLatin1String("0"))
        state = 0;
    else if (lower == QLatin1String("on") || lower == QLatin1String("1"))
        state = 1;
    if (state < 0) {
        *error = tr("%1: \"%2\" is neither off nor on").arg(setting.name, value);
        return false;
    }
    *change = SettingsProtocol::defaultStateChange(setting.relay, state);
    return true;
}

bool parseOutput(const Setting &setting, const QString &value, SettingsProtocol::Change *change,
                 QString *error)
{
    const QString lower = value.trimmed().toLower();
    if (lower == QLatin1String("disabled") || lower == QLatin1String("0")) {
        *change = SettingsProtocol::outputPeriodChange(setting.output, 0);
        return true;
    }
    // The instrument reports a disabled output as period 0, so the period to enable it
    // with cannot be known here.
    *error = tr("%1: to enable the output, give %2-period=MILLISECONDS")
                 .arg(setting.name, setting.output);
    return false;
}

bool parsePeriod(const Setting &setting, const QString &value, SettingsProtocol::Change *change,
                 QString *error)
{
    int period = 0;
    if (!toInteger(value, &period)) {
        *error = tr("%1: \"%2\" is not a whole number of milliseconds").arg(setting.name, value);
        return false;
    }
    const bool switchesOff = setting.kind == Setting::Kind::OutputPeriod && period == 0;
    if (!switchesOff && !inRange(setting, period)) {
        *error = outOfRange(setting, value);
        return false;
    }
    *change = setting.kind == Setting::Kind::OutputPeriod
        ? SettingsProtocol::outputPeriodChange(setting.output, period)
        : SettingsProtocol::displayPeriodChange(period);
    return true;
}

bool parseSensor(const Setting &setting, const QString &value, SettingsProtocol::Change *change,
                 QString *error)
{
    const QString lower = value.trimmed().toLower();
    for (const Sensor &sensor : SettingsTable::sensors()) {
        if (lower == sensor.keyword || lower == sensor.name.toLower()) {
            *change = SettingsProtocol::sensorChange(sensor.id);
            return true;
        }
    }
    *error = tr("%1: \"%2\" is no sensor (%3)")
                 .arg(setting.name, value, SettingsTable::sensorNamesText());
    return false;
}

// A sensor report in another spelling than the instrument's keywords ("DT670", "dt 670"):
// letters and digits alone, lower case.
QString sensorSpelling(const QString &text)
{
    QString letters;
    for (const QChar c : text) {
        if (c.isLetterOrNumber())
            letters += c.toLower();
    }
    return letters;
}

QString sensorNameOfReport(const QString &value)
{
    const int index = SettingsTable::sensorIndexOfKeyword(value);
    if (index >= 0)
        return SettingsTable::sensors().at(index).name;
    for (const Sensor &sensor : SettingsTable::sensors()) {
        if (sensorSpelling(value) == sensorSpelling(sensor.keyword)
            || sensorSpelling(value) == sensorSpelling(sensor.name))
            return sensor.name;
    }
    return value;
}

// The value a report gives `setting`, as the command line prints it; empty when the
// report's value does not convert.
QString readBackValue(const Setting &setting, const QString &value)
{
    int number = 0;
    double kelvin = 0.0;
    switch (setting.kind) {
    case Setting::Kind::Sensor:
        return sensorNameOfReport(value);
    case Setting::Kind::Kelvin:
        return toFinite(value, &kelvin) ? QString::asprintf("%.3f", kelvin) : QString();
    case Setting::Kind::DefaultState:
        return toInteger(value, &number) ? stateName(number) : QString();
    case Setting::Kind::Output:
        if (!toInteger(value, &number))
            return QString();
        return number != 0 ? QStringLiteral("enabled") : QStringLiteral("disabled");
    case Setting::Kind::OutputPeriod:
    case Setting::Kind::DisplayPeriod:
        return toInteger(value, &number) ? QString::number(number) : QString();
    }
    return QString();
}

} // namespace

int SettingsProtocol::readBackStageCount()
{
    return SettingsTable::readBackStageCount();
}

QString SettingsProtocol::readBackQuery(int stage)
{
    return SettingsTable::readBackQuery(stage);
}

QString SettingsProtocol::sensorKeyword(int sensorId)
{
    const int index = SettingsTable::sensorIndexOfId(sensorId);
    return index < 0 ? QString() : SettingsTable::sensors().at(index).keyword;
}

int SettingsProtocol::sensorIdOfKeyword(const QString &keyword)
{
    const int index = SettingsTable::sensorIndexOfKeyword(keyword);
    return index < 0 ? -1 : SettingsTable::sensors().at(index).id;
}

QString SettingsProtocol::sensorName(int sensorId)
{
    const int index = SettingsTable::sensorIndexOfId(sensorId);
    return index < 0 ? QString() : SettingsTable::sensors().at(index).name;
}

QStringList SettingsProtocol::settingNames()
{
    return SettingsTable::names();
}

QMap<QString, QString> SettingsProtocol::readBackValues(const QString &key, const QString &value)
{
    QMap<QString, QString> values;
    for (const Setting &setting : SettingsTable::settings()) {
        if (setting.reportKey != key)
            continue;
        const QString shown = readBackValue(setting, value);
        if (!shown.isEmpty())
            values.insert(setting.name, shown);
    }
    return values;
}

QMap<QString, QString> SettingsProtocol::readBackValues(const SettingsValues &reports)
{
    QMap<QString, QString> values;
    for (auto it = reports.cbegin(); it != reports.cend(); ++it)
        values.insert(readBackValues(it.key(), it.value()));
    return values;
}

bool SettingsProtocol::parseChange(const QString &assignment, Change *change, QString *error)
{
    const int equals = assignment.indexOf(QLatin1Char('='));
    if (equals < 1) {
        *error = tr("\"%1\" is not NAME=VALUE").arg(assignment);
        return false;
    }
    const QString name = assignment.left(equals).trimmed().toLower();
    const QString value = assignment.mid(equals + 1);
    change->name = name;

    const Setting *setting = SettingsTable::find(name);
    if (!setting) {
        *error = tr("unknown setting \"%1\"; the settings are %2")
                     .arg(name, settingNames().join(QStringLiteral(", ")));
        return false;
    }
    switch (setting->kind) {
    case Setting::Kind::Sensor:
        return parseSensor(*setting, value, change, error);
    case Setting::Kind::Kelvin:
        return parseKelvin(*setting, value, change, error);
    case Setting::Kind::DefaultState:
        return parseDefaultState(*setting, value, change, error);
    case Setting::Kind::Output:
        return parseOutput(*setting, value, change, error);
    case Setting::Kind::OutputPeriod:
    case Setting::Kind::DisplayPeriod:
        return parsePeriod(*setting, value, change, error);
    }
    return false;
}

namespace {

// An output's state ("enabled", "disabled") and its period given together: one change,
// unless they contradict each other.
bool parseOutputWithPeriod(const Setting &output, const QString &state, const Setting &period,
                           const QString &milliseconds, SettingsProtocol::Change *change,
                           QString *error)
{
    if (!SettingsProtocol::parseChange(period.name + QLatin1Char('=') + milliseconds, change,
                                       error))
        return false;
    const QString lower = state.trimmed().toLower();
    const bool enabled = lower == QLatin1String("enabled") || lower == QLatin1String("1");
    if (!enabled && lower != QLatin1String("disabled") && lower != QLatin1String("0")) {
        *error = tr("%1: \"%2\" is neither enabled nor disabled").arg(output.name, state);
        return false;
    }
    int number = 0;
    toInteger(milliseconds, &number);
    if (enabled == (number == 0)) {
        *error = tr("%1=%2 contradicts %3=%4").arg(output.name, state, period.name, milliseconds);
        return false;
    }
    return true;
}

} // namespace

bool SettingsProtocol::parseChanges(const QStringList &assignments, QList<Change> *changes,
                                    QString *error)
{
    QStringList order;
    QMap<QString, QString> given;
    for (const QString &assignment : assignments) {
        Change change;
        const int equals = assignment.indexOf(QLatin1Char('='));
        const QString name = assignment.left(equals).trimmed().toLower();
        const QString value = assignment.mid(equals + 1);
        const Setting *setting = SettingsTable::find(name);
        if (equals < 1 || !setting)
            return parseChange(assignment, &change, error); // false, with the reason
        // An output's state may need its period, which may come later.
        if (setting->kind != Setting::Kind::Output && !parseChange(assignment, &change, error))
            return false;
        if (given.contains(name)) {
            // The same value in another spelling ("5", "5.0") makes the same command.
            Change earlier;
            const bool same = setting->kind == Setting::Kind::Output
                ? given.value(name).trimmed().compare(value.trimmed(), Qt::CaseInsensitive) == 0
                : parseChange(name + QLatin1Char('=') + given.value(name), &earlier, error)
                    && earlier.command == change.command;
            if (!same) {
                *error = tr("%1 is given twice (%2 and %3)").arg(name, given.value(name), value);
                return false;
            }
            continue;
        }
        given.insert(name, value);
        order << name;
    }

    QStringList outputsDone;
    for (const QString &name : qAsConst(order)) {
        const Setting *setting = SettingsTable::find(name);
        Change change;
        const bool output = setting->kind == Setting::Kind::Output
            || setting->kind == Setting::Kind::OutputPeriod;
        if (output && outputsDone.contains(setting->output))
            continue;
        const Setting *state = SettingsTable::find(setting->output + QStringLiteral("-output"));
        const Setting *period = SettingsTable::find(setting->output + QStringLiteral("-period"));
        if (output && given.contains(state->name) && given.contains(period->name)) {
            outputsDone << setting->output;
            if (!parseOutputWithPeriod(*state, given.value(state->name), *period,
                                       given.value(period->name), &change, error))
                return false;
        } else if (!parseChange(name + QLatin1Char('=') + given.value(name), &change, error)) {
            return false;
        }
        changes->append(change);
    }
    return true;
}

SettingsProtocol::Change SettingsProtocol::sensorChange(int sensorId)
{
    const QString keyword = sensorKeyword(sensorId);
    if (keyword.isEmpty())
        return {QStringLiteral("sensor"), QString(), QString()};
    return {QStringLiteral("sensor"), QStringLiteral(":cal %1\n").arg(keyword),
            tr("Sensor set to %1").arg(sensorName(sensorId))};
}

SettingsProtocol::Change SettingsProtocol::relayValueChange(int relay, bool hysteresis,
                                                            double kelvin)
{
    const QString label
        = tr("Relay %1 %2").arg(relay).arg(hysteresis ? tr("hysteresis") : tr("temperature"));
    return {QStringLiteral("relay%1-%2").arg(relay).arg(hysteresis ? "hysteresis" : "temperature"),
            QString::asprintf(hysteresis ? ":relay%d:hyst %5.3lf\n" : ":relay%d:temp %5.3lf\n",
                              relay, kelvin),
            tr("%1 set to %2 K").arg(label, QString::asprintf("%5.3lf", kelvin).trimmed())};
}

SettingsProtocol::Change SettingsProtocol::defaultStateChange(int relay, int state)
{
    return {QStringLiteral("relay%1-default-state").arg(relay),
            QString::asprintf(":relay%d:default %d\n", relay, state),
            tr("Relay %1 default state set to %2").arg(relay).arg(stateName(state))};
}

SettingsProtocol::Change SettingsProtocol::outputPeriodChange(const QString &port, int period)
{
    return {port + QStringLiteral("-period"),
            QString::asprintf(":%s:period %d\n", qPrintable(port), period),
            period == 0 ? tr("%1 automatic output disabled").arg(portLabel(port))
                        : tr("%1 output period set to %2 ms").arg(portLabel(port)).arg(period)};
}

SettingsProtocol::Change SettingsProtocol::displayPeriodChange(int milliseconds)
{
    return {QStringLiteral("display-refresh-period"),
            QString::asprintf(":display:period %d\n", milliseconds),
            tr("Display refresh period set to %1 ms").arg(milliseconds)};
}
