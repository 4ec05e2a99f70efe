#ifndef RIMEGLASS_TESTS_JOURNEYSTEPS_H
#define RIMEGLASS_TESTS_JOURNEYSTEPS_H

// Steps shared by the journeys: the instrument's saved state as its state file holds it,
// connecting the window the way the demo does, and the settings as the window shows them.

#include "simulatorprocess.h"
#include "windowdriver.h"

#include <QDoubleSpinBox>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMap>
#include <QSpinBox>

namespace journeysteps {

using Settings = QMap<QString, QString>;

// Ten saved settings, in the form the instrument reports them, that differ from the
// instrument's factory settings and from the window's defaults, so that their arrival in
// the window is unmistakable. The display period is the last value read back.
inline Settings savedBeforeTheJourney()
{
    return {{"cal", "asc"},
            {"rs232:period", "250"},
            {"rs485:period", "0"},
            {"relay1:default", "0"},
            {"relay1:temp", "12.500"},
            {"relay1:hyst", "0.750"},
            {"relay2:default", "1"},
            {"relay2:temp", "150.250"},
            {"relay2:hyst", "4.000"},
            {"display:period", "1234"}};
}

inline bool writeStateFile(const QString &path, const Settings &settings)
{
    QJsonObject stored;
    for (auto it = settings.begin(); it != settings.end(); ++it)
        stored.insert(it.key(), it.value());
    QJsonObject root;
    root.insert(QStringLiteral("settings"), stored);
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(QJsonDocument(root).toJson()) > 0;
}

inline QJsonObject readStateFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
}

inline Settings savedSettings(const QString &statePath)
{
    Settings settings;
    const QJsonObject stored
        = readStateFile(statePath).value(QStringLiteral("settings")).toObject();
    for (auto it = stored.begin(); it != stored.end(); ++it)
        settings.insert(it.key(), it.value().toString());
    return settings;
}

// What the named widgets show: a combo's current text, a spin box's value with its
// decimals, a label's text.
inline Settings shownSettings(const MainWindow &window, const QStringList &widgets)
{
    Settings shown;
    for (const QString &name : widgets) {
        const QByteArray latin = name.toLatin1();
        auto *widget = windowdriver::child<QWidget>(&window, latin.constData());
        if (auto *combo = qobject_cast<QComboBox *>(widget))
            shown.insert(name, combo->currentText());
        else if (auto *real = qobject_cast<QDoubleSpinBox *>(widget))
            shown.insert(name, QString::number(real->value(), 'f', real->decimals()));
        else if (auto *whole = qobject_cast<QSpinBox *>(widget))
            shown.insert(name, QString::number(whole->value()));
        else if (auto *label = qobject_cast<QLabel *>(widget))
            shown.insert(name, label->text());
    }
    return shown;
}

// Lists the instrument's port in the window as the demo does and presses Open.
inline void openInstrumentPort(MainWindow &window, const SimulatorProcess &instrument)
{
    window.addExtraPort(instrument.portName(), QStringLiteral("simulated instrument"));
    windowdriver::click(window, "serialPortOpenButton");
}

} // namespace journeysteps

#endif
