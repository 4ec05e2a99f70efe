#include "firmwareversion.h"

#include <QCoreApplication>
#include <QStringList>

int FirmwareVersion::compare(const QString &installed, const QString &offered)
{
    QStringList installedParts = installed.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    QStringList offeredParts = offered.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    while (installedParts.size() < offeredParts.size())
        installedParts.append(QStringLiteral("0"));
    while (offeredParts.size() < installedParts.size())
        offeredParts.append(QStringLiteral("0"));

    for (int i = 0; i < installedParts.size(); ++i) {
        const qlonglong installedPart = installedParts.at(i).toLongLong(nullptr, 10);
        const qlonglong offeredPart = offeredParts.at(i).toLongLong(nullptr, 10);
        if (installedPart != offeredPart)
            return installedPart < offeredPart ? -1 : 1;
    }
    return 0;
}

QString FirmwareVersion::upgradeQuestion(const QString &installed, const QString &offered)
{
    const char *verb = compare(installed, offered) > 0 ? "Downgrade" : "Upgrade";
    return QCoreApplication::translate("MainWindow", verb)
        + QCoreApplication::translate("MainWindow", " firmware from version ") + installed
        + QCoreApplication::translate("MainWindow", " to version ") + offered + QStringLiteral("?");
}
