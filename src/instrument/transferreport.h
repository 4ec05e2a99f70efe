#ifndef RIMEGLASS_TRANSFERREPORT_H
#define RIMEGLASS_TRANSFERREPORT_H

#include "device-serial.h"

#include <QByteArray>
#include <QString>

// What the operator is told about a transfer that ended: the same words in the window
// and on the command line.
class TransferReport
{
public:
    // The title of the transfer's messages: "Firmware upgrade" or "Calibration upload".
    static QString title(Device::Transfer transfer);

    // What happened, how far it got, and what state the instrument is probably in.
    // `portWentAway`: the port closed because it went away (an adapter unplugged).
    static QString failureText(const Device::TransferFailureReport &report,
                               bool portWentAway = false);

    static QString firmwareSuccessText(const QString &version, bool downgrade);
    static QString calibrationSuccessText(const QString &name, int points);
};

#endif
