#ifndef RIMEGLASS_FIRMWAREVERSION_H
#define RIMEGLASS_FIRMWAREVERSION_H

#include <QString>

// Dot-separated firmware versions as the instrument and the containers write them.
class FirmwareVersion
{
public:
    // Compares part by part as decimal numbers; the shorter version counts as padded with
    // zeros and a part that is not a number counts as 0. Negative when installed is older.
    static int compare(const QString &installed, const QString &offered);

    // "Upgrade firmware from version 1.6 to version 1.7?" or "Downgrade ..."; the version
    // installed, as the instrument writes it, is offered as "Reinstall 1.7?", and one
    // written otherwise but equal ("1.7" and "1.7.0") as an upgrade.
    static QString upgradeQuestion(const QString &installed, const QString &offered);

    // Why a container made for another instrument is refused, naming both; empty when the
    // container's vendor and model are the instrument's. `instrumentModel` as identified,
    // the boot loader's "ZURKD550-BS" standing for its "ZURKD550"; the vendor of an
    // identified instrument is always "MORVA". A container that leaves a text empty
    // states nothing about it.
    static QString containerMismatch(const QString &containerVendor, const QString &containerModel,
                                     const QString &instrumentModel);
};

#endif
