#include "revisions.h"

#include "uuids.h"

using rimeglass::uuidBytes;

#include <QRegularExpression>
#include <QUuid>

QByteArray parseRevision(const QString &text)
{
    if (text == QLatin1String("r1"))
        return uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1);
    if (text == QLatin1String("r2"))
        return uuidBytes(rimeglass::uuid_compat_stm32g070kb_r2);

    static const QRegularExpression uuidForm(QStringLiteral(
        "^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$"));
    static const QRegularExpression hexForm(QStringLiteral("^[0-9A-Fa-f]{32}$"));
    if (uuidForm.match(text).hasMatch())
        return QUuid::fromString(text).toRfc4122();
    if (hexForm.match(text).hasMatch())
        return QByteArray::fromHex(text.toLatin1());
    return QByteArray();
}

QString revisionName(const QByteArray &uuid)
{
    const QString known = rimeglass::knownRevisionName(uuid);
    return known.isEmpty() ? QStringLiteral("unknown revision") : known;
}
