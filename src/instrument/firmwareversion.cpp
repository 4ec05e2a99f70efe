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

QString FirmwareVersion::containerMismatch(const QString &containerVendor,
                                           const QString &containerModel,
                                           const QString &instrumentModel)
{
    const QString vendor = QStringLiteral("MORVA");
    QString model = instrumentModel;
    if (model.endsWith(QLatin1String("-BS")))
        model.chop(3);
    if ((containerVendor.isEmpty() || containerVendor == vendor)
        && (containerModel.isEmpty() || containerModel == model))
        return QString();
    return QCoreApplication::translate("MainWindow",
                                       "The firmware file is for the %1, not for this %2 %3. "
                                       "Nothing was sent.")
        .arg((containerVendor + QLatin1Char(' ') + containerModel).trimmed(), vendor, model);
}
