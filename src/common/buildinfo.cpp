#include "buildinfo.h"

#include "rimeglass-version.h"

namespace BuildInfo {

QString version()
{
    return QString::fromLatin1(rimeglass::versionText);
}

QString firmwareKeyFingerprint()
{
    return QString::fromLatin1(rimeglass::firmwareKeyFingerprint);
}

bool trustsDevelopmentKey()
{
    return rimeglass::trustsDevelopmentKey;
}

QString firmwareKeyDescription()
{
    if (trustsDevelopmentKey())
        return QStringLiteral("development key — accepts containers signed with the "
                              "published development seed");
    return QStringLiteral("not the development key — accepts only containers signed with "
                          "the seed that matches it");
}

QString versionReport(const QString &program)
{
    return QStringLiteral("%1 %2\nFirmware key: %3\nFirmware key fingerprint: %4\n")
        .arg(program, version(), firmwareKeyDescription(), firmwareKeyFingerprint());
}

} // namespace BuildInfo
