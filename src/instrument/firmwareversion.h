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
};

#endif
