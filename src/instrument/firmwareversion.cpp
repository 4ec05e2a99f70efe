#include "firmwareversion.h"

#include "versiontext.h"

#include <QCoreApplication>
#include <QStringList>

int FirmwareVersion::compare(const QString &installed, const QString &offered)
{
    return rimeglass::VersionText::compare(installed, offered);
}

QString FirmwareVersion::upgradeQuestion(const QString &installed, const QString &offered)
{
    if (installed == offered)
        return QCoreApplication::translate("MainWindow", "Reinstall %1?").arg(offered);
    const char *verb = compare(installed, offered) > 0 ? "Downgrade" : "Upgrade";
    return QCoreApplication::translate("MainWindow", verb)
        + QCoreApplication::translate("MainWindow", " firmware from version ") + installed
        + QCoreApplication::translate("MainWindow", " to version ") + offered + QStringLiteral("?");
}
