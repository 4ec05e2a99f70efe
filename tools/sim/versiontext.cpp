#include "versiontext.h"

#include <QStringList>

namespace VersionText {

bool isValid(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() > 4)
        return false;
    for (const QString &part : parts) {
        if (part.isEmpty() || part.size() > 3)
            return false;
        for (const QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        }
        if (part.toInt() > 255)
            return false;
    }
    return true;
}

quint32 code(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    quint32 packed = 0;
    for (int i = 0; i < 4; ++i)
        packed |= (i < parts.size() ? parts.at(i).toUInt() & 0xff : 0u) << (8 * (3 - i));
    return packed;
}

} // namespace VersionText
