// The settings store's repair and the store read after it: any text as the store file.

#include "fuzzsupport.h"
#include "settingsstorerepair.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdint>

using fuzzsupport::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzsupport::silenceDebugLog();
    const QByteArray text(reinterpret_cast<const char *>(data), int(size));
    bool dropped = false;
    const QByteArray repaired = SettingsStoreRepair::withoutVariants(text, &dropped);
    check(dropped == (repaired != text));
    bool droppedAgain = true;
    check(SettingsStoreRepair::withoutVariants(repaired, &droppedAgain) == repaired);
    check(!droppedAgain);

    // Whatever the damage, the repaired store reads without aborting, every value as text
    // or a list of texts (or as nothing: a key under a section "[]" is listed but cannot be
    // looked up again). The toolkit caches stores by path, so each input gets its own.
    static QTemporaryDir directory;
    static int count = 0;
    const QString path = directory.filePath(QStringLiteral("store%1.conf").arg(++count));
    {
        QFile file(path);
        check(file.open(QIODevice::WriteOnly) && file.write(repaired) == repaired.size());
    }
    {
        const QSettings store(path, QSettings::IniFormat);
        for (const QString &key : store.allKeys()) {
            const int type = store.value(key).userType();
            check(type == QMetaType::QString || type == QMetaType::QStringList
                  || type == QMetaType::UnknownType);
        }
    }
    QFile::remove(path);
    return 0;
}
