#include "settingsstorerepair.h"

#include <QFile>
#include <QList>
#include <QSaveFile>
#include <QSettings>

namespace {

bool holdsVariant(const QByteArray &line)
{
    const int equals = line.indexOf('=');
    if (equals < 0)
        return false;
    QByteArray value = line.mid(equals + 1).trimmed();
    if (value.startsWith('"'))
        value.remove(0, 1);
    return value.startsWith("@Variant(");
}

} // namespace

QByteArray SettingsStoreRepair::withoutVariants(const QByteArray &iniText, bool *dropped)
{
    *dropped = false;
    QByteArray kept;
    bool continuesDropped = false;
    const QList<QByteArray> lines = iniText.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const QByteArray stripped = line.endsWith('\r') ? line.chopped(1) : line;
        // A value may go on over further lines, each ending in a backslash.
        const bool drop = continuesDropped || holdsVariant(stripped);
        continuesDropped = drop && stripped.endsWith('\\');
        if (drop) {
            *dropped = true;
            continue;
        }
        kept += line;
        if (i + 1 < lines.size())
            kept += '\n';
    }
    return kept;
}

bool SettingsStoreRepair::repair()
{
    QString fileName;
    bool damaged = false;
    {
        // Opening the store reads its text but decodes no value until a key is read.
        const QSettings probe;
        fileName = probe.fileName();
        damaged = probe.status() != QSettings::NoError;
    }

    QFile file(fileName);
    if (!file.exists())
        return damaged;
    if (!file.open(QIODevice::ReadOnly))
        return true;
    bool dropped = false;
    const QByteArray cleaned = withoutVariants(file.readAll(), &dropped);
    file.close();
    if (!dropped)
        return damaged;

    QSaveFile save(fileName);
    if (save.open(QIODevice::WriteOnly))
        save.write(cleaned);
    save.commit();
    return true;
}
