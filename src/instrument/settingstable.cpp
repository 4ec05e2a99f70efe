#include "settingstable.h"

#include "recorder.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("SettingsTable", text);
}

QList<Setting> buildSettings()
{
    using Kind = Setting::Kind;
    const QString kelvin = QStringLiteral("K");
    const QString ms = QStringLiteral("ms");
    QList<Setting> settings{
        {QStringLiteral("sensor"), Kind::Sensor, QStringLiteral("cal"), 0, StoreKey::sensorId, 0, 0,
         0, 0, QString(), tr("the sensor curve the instrument reads its input with"), 0, QString()},
    };
    for (int relay = 1; relay <= 2; ++relay) {
        const QString prefix = QStringLiteral("relay%1").arg(relay);
        // The read-back asks each relay's default state, set-point and hysteresis in turn.
        const int stage = 3 * relay;
        settings << Setting{prefix + QStringLiteral("-temperature"),
                            Kind::Kelvin,
                            prefix + QStringLiteral(":temp"),
                            stage + 1,
                            relay == 1 ? StoreKey::relay1Temperature : StoreKey::relay2Temperature,
                            0.1,
                            1000.0,
                            1.0,
                            3,
                            kelvin,
                            tr("the temperature at which relay %1 switches").arg(relay),
                            relay,
                            QString()}
                 << Setting{prefix + QStringLiteral("-hysteresis"),
                            Kind::Kelvin,
                            prefix + QStringLiteral(":hyst"),
                            stage + 2,
                            relay == 1 ? StoreKey::relay1Hysteresis : StoreKey::relay2Hysteresis,
                            0.1,
                            1000.0,
                            1.0,
                            3,
                            kelvin,
                            tr("how far the temperature goes back before relay %1 switches "
                               "back")
                                .arg(relay),
                            relay,
                            QString()}
                 << Setting{
                        prefix + QStringLiteral("-default-state"),
                        Kind::DefaultState,
                        prefix + QStringLiteral(":default"),
                        stage,
                        relay == 1 ? StoreKey::relay1DefaultState : StoreKey::relay2DefaultState,
                        0,
                        1,
                        1,
                        0,
                        QString(),
                        tr("the state of relay %1 before the temperature decides it").arg(relay),
                        relay,
                        QString()};
    }
    for (int port = 1; port <= 2; ++port) {
        const QString output = port == 1 ? QStringLiteral("rs232") : QStringLiteral("rs485");
        const QString label = output.toUpper();
        settings << Setting{output + QStringLiteral("-output"),
                            Kind::Output,
                            output + QStringLiteral(":period"),
                            port,
                            port == 1 ? StoreKey::rs232Output : StoreKey::rs485Output,
                            0,
                            1,
                            1,
                            0,
                            QString(),
                            tr("whether the %1 port sends every reading by itself").arg(label),
                            0,
                            output}
                 << Setting{output + QStringLiteral("-period"),
                            Kind::OutputPeriod,
                            output + QStringLiteral(":period"),
                            port,
                            port == 1 ? StoreKey::rs232Period : StoreKey::rs485Period,
                            100,
                            1000,
                            10,
                            0,
                            ms,
                            tr("how often the %1 port sends a reading").arg(label),
                            0,
                            output};
    }
    settings << Setting{QStringLiteral("display-refresh-period"),
                        Kind::DisplayPeriod,
                        QStringLiteral("display:period"),
                        9,
                        StoreKey::displayRefreshPeriod,
                        100,
                        10000,
                        100,
                        0,
                        ms,
                        tr("how often the instrument's display shows a new reading"),
                        0,
                        QString()};
    return settings;
}

} // namespace

QStringList StoreKey::all()
{
    return {portName,
            sensorId,
            relay1Temperature,
            relay1Hysteresis,
            relay1DefaultState,
            relay2Temperature,
            relay2Hysteresis,
            relay2DefaultState,
            rs232Output,
            rs232Period,
            rs485Output,
            rs485Period,
            displayRefreshPeriod,
            customSensorName,
            customSensorFile,
            sensorFileLastPath,
            firmwareUpgradeLastPath,
            plotExportLastPath,
            windowGeometry,
            currentTab,
            recordingFolder,
            recordingAutomatic};
}

QVariant StoreKey::defaultValue(const QString &key)
{
    static const QMap<QString, QVariant> defaults{
        {portName, QStringLiteral("COM1")},
        {sensorId, 0},
        {relay1Temperature, 100.0},
        {relay1Hysteresis, 10.0},
        {relay1DefaultState, 0},
        {relay2Temperature, 150.0},
        {relay2Hysteresis, 10.0},
        {relay2DefaultState, 0},
        {rs232Output, 0},
        {rs232Period, 500.0},
        {rs485Output, 0},
        {rs485Period, 500.0},
        {customSensorName, QStringLiteral("Custom")},
        {customSensorFile, QString()},
        {sensorFileLastPath, QString()},
        {firmwareUpgradeLastPath, QString()},
        {plotExportLastPath, QString()},
        {windowGeometry, QString()},
        {currentTab, 0},
        {recordingAutomatic, false},
    };
    if (key == recordingFolder)
        return Recorder::defaultFolder();
    return defaults.value(key);
}

QString Setting::query() const
{
    return SettingsTable::readBackQuery(readBackStage);
}

QString Setting::rangeText() const
{
    const QString span = QStringLiteral("%1 to %2 %3")
                             .arg(QString::number(minimum), QString::number(maximum), unit);
    switch (kind) {
    case Kind::Sensor:
        return SettingsTable::sensorNamesText();
    case Kind::DefaultState:
        return tr("off or on");
    case Kind::Output:
        return tr("disabled; %1-period enables it").arg(output);
    case Kind::OutputPeriod:
        return span + tr(", or 0 to disable the output");
    case Kind::Kelvin:
    case Kind::DisplayPeriod:
        break;
    }
    return span;
}

const QList<Setting> &SettingsTable::settings()
{
    static const QList<Setting> settings = buildSettings();
    return settings;
}

const Setting *SettingsTable::find(const QString &name)
{
    for (const Setting &setting : settings()) {
        if (setting.name == name)
            return &setting;
    }
    return nullptr;
}

QStringList SettingsTable::names()
{
    QStringList names;
    for (const Setting &setting : settings())
        names << setting.name;
    return names;
}

int SettingsTable::readBackStageCount()
{
    static const int count = [] {
        int last = -1;
        for (const Setting &setting : settings())
            last = qMax(last, setting.readBackStage);
        return last + 1;
    }();
    return count;
}

QString SettingsTable::readBackQuery(int stage)
{
    for (const Setting &setting : settings()) {
        if (setting.readBackStage == stage)
            return QLatin1Char(':') + setting.reportKey + QStringLiteral("?\n");
    }
    return QString();
}

const QList<Sensor> &SettingsTable::sensors()
{
    static const QList<Sensor> sensors{
        {0, QStringLiteral("zur"), QStringLiteral("ZUR")},
        {1, QStringLiteral("dt-400"), QStringLiteral("DT-400")},
        {2, QStringLiteral("dt-670"), QStringLiteral("DT-670")},
        {3, QStringLiteral("asc"), QStringLiteral("ASC")},
        {16, QStringLiteral("user"), QStringLiteral("Custom")},
    };
    return sensors;
}

int SettingsTable::sensorIndexOfId(int id)
{
    for (int i = 0; i < sensors().size(); ++i) {
        if (sensors().at(i).id == id)
            return i;
    }
    return -1;
}

int SettingsTable::sensorIndexOfKeyword(const QString &keyword)
{
    for (int i = 0; i < sensors().size(); ++i) {
        if (sensors().at(i).keyword == keyword)
            return i;
    }
    return -1;
}

QString SettingsTable::sensorNamesText()
{
    QStringList names;
    for (const Sensor &sensor : sensors())
        names << sensor.name;
    const QString last = names.takeLast();
    return names.join(QStringLiteral(", ")) + tr(" or ") + last;
}
