// Device's two transfers: the calibration table and the firmware image, each step sent
// when the instrument has acknowledged the one before, each wait bounded by a time-out.

#include "device-internal.h"
#include "device-serial.h"
#include "instrumentlimits.h"

#include <QSerialPort>
#include <QTimer>

using namespace DeviceInternal;

bool Device::uploadCalibration(const QByteArray &payload)
{
    if (upgradeState != -1) {
        qCDebug(deviceLog) << "uploadCalibration(): refused, a firmware transfer is in progress";
        return false;
    }
    // Erasing for a table the store cannot hold would only lose the table it has.
    if (payload.size() > rimeglass::InstrumentLimits::calibrationStoreBytes) {
        qCDebug(deviceLog) << "uploadCalibration(): refused," << payload.size()
                           << "bytes do not fit the instrument's store of"
                           << rimeglass::InstrumentLimits::calibrationStoreBytes;
        return false;
    }
    startTransfer(payload, calibrationChunkSize);
    calibrationState = 1;
    uploadCalibrationStep();
    return true;
}

void Device::uploadCalibrationStep()
{
    switch (calibrationState) {
    case 1:
        if (!sendTransferCommand(QStringLiteral(":cal:erase\n"), &TransferTimeouts::eraseMs))
            return;
        calibrationState = 2;
        emit progress(0, transferData.size());
        break;
    case 2:
        if (transferOffset < transferData.size()) {
            const QString command = QString::asprintf(
                ":cal:write %04x %s\n", quint32(transferOffset), nextChunkAsHex().constData());
            qCDebug(deviceLog) << "uploadCalibrationStep(): command is" << command;
            if (sendTransferCommand(command, &TransferTimeouts::writeMs))
                advanceTransfer();
        } else {
            // The instrument does not acknowledge the commit.
            if (!writeCommand(QStringLiteral(":cal:commit\n")))
                return;
            calibrationState = -1;
            completeTransfer(Transfer::Calibration);
        }
        break;
    default:
        break;
    }
}

bool Device::upgradeFirmware(const QByteArray &payload, const QByteArray &imageRevision)
{
    if (calibrationState != -1) {
        qCDebug(deviceLog) << "upgradeFirmware(): refused, a calibration transfer is in progress";
        return false;
    }
    // Erasing for nothing would leave the instrument without firmware.
    if (payload.isEmpty()) {
        qCDebug(deviceLog) << "upgradeFirmware(): refused, the image is empty";
        return false;
    }
    startTransfer(payload, firmwareChunkSize);
    upgradeImageRevision = (imageRevision.isEmpty() ? compat : imageRevision).left(16);
    identificationRequests = 0;
    if (!bootstrap) {
        upgradeState = 0;
        upgradeFirmwareStep();
    } else if (!bootLoaderIdentityOnRecord()) {
        // The boot loader's identification on record is garbled: it chooses nothing.
        upgradeState = 0;
        identificationAwaited = true;
        askForIdentificationAgain();
    } else {
        // The running boot loader reported its revision when it identified itself; an
        // answer still missing is asked for again.
        bootLoaderRevisionKnown = !compatPending;
        if (compatPending)
            serialSendCommand(QStringLiteral("@00\n"));
        upgradeState = 1;
        upgradeFirmwareStep();
    }
    return true;
}

void Device::upgradeFirmwareStep()
{
    switch (upgradeState) {
    case 0:
        qCDebug(deviceLog) << "upgradeFirmwareStep: resetting device";
        bootLoaderRevisionKnown = false;
        startTransferTimer(&TransferTimeouts::restartMs);
        reset(ResetManagement);
        break;
    case 1:
        // The boot loader's "*COMPAT = " answer takes this step again.
        if (compatPending) {
            startTransferTimer(&TransferTimeouts::answerMs);
            break;
        }
        if (!bootLoaderRevisionKnown)
            failTransfer(TransferFailure::RevisionUnknown);
        else if (compat.left(16) != upgradeImageRevision)
            failTransfer(TransferFailure::RevisionMismatch);
        else
            eraseFlash();
        break;
    case 2:
        if (transferOffset < transferData.size()) {
            qCDebug(deviceLog, "upgradeFirmwareStep: writing device (%d of %d)", transferOffset,
                    transferData.size());
            // The boot loader's dialect follows the version that identified itself last.
            const char *format
                = versionCode > lastVersionBefore1_4 ? "@03 %06x %s\n" : "flash write %06x %s\n";
            if (sendTransferCommand(QString::asprintf(format, quint32(transferOffset),
                                                      nextChunkAsHex().constData()),
                                    &TransferTimeouts::writeMs))
                advanceTransfer();
        } else {
            qCDebug(deviceLog) << "upgradeFirmwareStep: booting device";
            if (!writeCommand(QStringLiteral("boot\n")))
                return;
            upgradeState = -1;
            completeTransfer(Transfer::Firmware);
        }
        break;
    default:
        break;
    }
}

void Device::eraseFlash()
{
    qCDebug(deviceLog) << "upgradeFirmwareStep: erasing device";
    const bool shortCodes = versionCode > lastVersionBefore1_4;
    if (!sendTransferCommand(shortCodes ? QStringLiteral("@02\n") : QStringLiteral("flash erase\n"),
                             &TransferTimeouts::eraseMs))
        return;
    upgradeState = 2;
    emit progress(0, transferData.size());
}

bool Device::transferInProgress() const
{
    return calibrationState != -1 || upgradeState != -1;
}

void Device::cancelTransfer()
{
    if (transferInProgress())
        failTransfer(TransferFailure::Cancelled);
}

void Device::setTransferTimeouts(const TransferTimeouts &newTimeouts)
{
    timeouts = newTimeouts;
    // The step waiting now waits for its new time-out, counted from now.
    if (transferTimer->isActive())
        startTransferTimer(runningTimeout);
}

// Sends one command of a transfer and waits for its acknowledgement, at most timeoutMs.
// False when the command could not be sent; the transfer has then failed.
bool Device::sendTransferCommand(const QString &command, int TransferTimeouts::*timeout)
{
    const QByteArray bytes = command.toUtf8();
    if (!writeCommand(command))
        return false;
    acknowledgementAwaited = true;
    commandRead = readCount;
    commandClock.start();
    commandLineNs = rimeglass::InstrumentLimits::lineNanosecondsFloor(bytes.size());
    startTransferTimer(timeout);
    return true;
}

void Device::startTransferTimer(int TransferTimeouts::*timeout)
{
    runningTimeout = timeout;
    transferTimer->start(timeouts.*timeout);
}

void Device::interruptTransfer()
{
    if (transferInProgress())
        failTransfer(TransferFailure::Interrupted);
}

void Device::failTransfer(TransferFailure failure, const QString &instrumentLine)
{
    TransferFailureReport report;
    report.transfer = upgradeState != -1 ? Transfer::Firmware : Transfer::Calibration;
    report.failure = failure;
    report.offset = acknowledgedBytes;
    report.total = transferData.size();
    report.instrumentLine = instrumentLine;
    // Both transfers erase first: from their waiting state on, the erase has gone out.
    report.erased = upgradeState == 2 || calibrationState == 2;
    if (report.transfer == Transfer::Firmware) {
        report.imageRevision = upgradeImageRevision;
        report.reportedRevision = compat.left(16);
    }
    qCDebug(deviceLog) << "transfer failed:" << report.transfer << failure << "at" << report.offset
                       << "of" << report.total;

    calibrationState = -1;
    upgradeState = -1;
    transferTimer->stop();
    finishTransfer();
    emit transferFailed(report);
}

void Device::startTransfer(const QByteArray &payload, int chunkSize)
{
    transferData = paddedToMultipleOf8(payload);
    transferOffset = 0;
    transferChunkSize = chunkSize;
    acknowledgementAwaited = false;
    acknowledgedBytes = 0;
}

QByteArray Device::nextChunkAsHex() const
{
    return transferData.mid(transferOffset, transferChunkSize).toHex();
}

void Device::advanceTransfer()
{
    // After a short last chunk the count passes the total; receivers cope with that.
    transferOffset += transferChunkSize;
    emit progress(transferOffset, transferData.size());
}

void Device::finishTransfer()
{
    transferOffset = 0;
    transferData.clear();
    acknowledgementAwaited = false;
    identificationAwaited = false;
}

void Device::completeTransfer(Transfer transfer)
{
    transferTimer->stop();
    finishTransfer();
    emit transferFinished(transfer);
}
