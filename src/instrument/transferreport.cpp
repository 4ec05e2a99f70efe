#include "transferreport.h"

#include "instrumentidentity.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("TransferReport", text);
}

// The instrument's "*ERROR ..." line, quoted as it came.
QString instrumentRefusal(const Device::TransferFailureReport &report)
{
    return tr("The instrument refused a command: \"%1\".").arg(report.instrumentLine);
}

QString firmwareEvent(const Device::TransferFailureReport &report)
{
    using Failure = Device::TransferFailure;
    switch (report.failure) {
    case Failure::TimedOut:
        return report.erased ? tr("The instrument stopped answering during the upgrade.")
                             : tr("The instrument did not come back in its boot loader after "
                                  "the reset.");
    case Failure::Interrupted:
        return tr("The instrument restarted during the upgrade.");
    case Failure::UnexpectedAcknowledgement:
        return tr("The instrument acknowledged a calibration upload instead.");
    case Failure::RevisionUnknown:
        return tr("The boot loader did not report its hardware revision.");
    case Failure::RevisionMismatch:
        return tr("The boot loader reports hardware %1, but the image was chosen for hardware %2.")
            .arg(InstrumentIdentity::revisionName(report.reportedRevision),
                 InstrumentIdentity::revisionName(report.imageRevision));
    case Failure::OutputBlocked:
        return tr("The port stopped taking data.");
    case Failure::PortClosed:
        return tr("The port was closed during the upgrade.");
    case Failure::Cancelled:
        return tr("The upgrade was cancelled.");
    case Failure::IdentificationGarbled:
        return tr("The boot loader's identification stayed garbled (last \"%1\") however often "
                  "it was asked, so no image, command dialect or hardware revision was chosen.")
            .arg(report.instrumentLine);
    case Failure::InstrumentError:
        return instrumentRefusal(report);
    }
    return QString();
}

QString calibrationEvent(const Device::TransferFailureReport &report)
{
    using Failure = Device::TransferFailure;
    switch (report.failure) {
    case Failure::TimedOut:
        return tr("The instrument stopped answering during the upload.");
    case Failure::Interrupted:
        return tr("The instrument restarted during the upload.");
    case Failure::UnexpectedAcknowledgement:
        return tr("The instrument acknowledged a firmware upgrade instead.");
    case Failure::OutputBlocked:
        return tr("The port stopped taking data.");
    case Failure::PortClosed:
        return tr("The port was closed during the upload.");
    case Failure::Cancelled:
        return tr("The upload was cancelled.");
    case Failure::InstrumentError:
        return instrumentRefusal(report);
    case Failure::RevisionUnknown:
    case Failure::RevisionMismatch:
    case Failure::IdentificationGarbled:
        break;
    }
    return QString();
}

QString instrumentState(const Device::TransferFailureReport &report)
{
    // What the instrument refused, it refuses again: the same file cannot finish the job.
    const bool refused = report.failure == Device::TransferFailure::InstrumentError;
    if (report.transfer == Device::Transfer::Calibration) {
        if (!report.erased)
            return tr("The custom table is unchanged.");
        return refused ? tr("The custom table was erased; upload a table the instrument "
                            "accepts.")
                       : tr("The custom table was erased; upload it again.");
    }
    if (report.erased && refused)
        return tr("The instrument is still in its boot loader: upgrade it with a firmware "
                  "file it accepts.");
    return report.erased ? tr("The instrument is still in its boot loader: run the upgrade "
                              "again to finish.")
                         : tr("Nothing was erased. The instrument may be waiting in its boot "
                              "loader: open the port again and run the upgrade again.");
}

} // namespace

QString TransferReport::title(Device::Transfer transfer)
{
    return transfer == Device::Transfer::Firmware ? tr("Firmware upgrade")
                                                  : tr("Calibration upload");
}

QString TransferReport::failureText(const Device::TransferFailureReport &report, bool portWentAway)
{
    const bool firmware = report.transfer == Device::Transfer::Firmware;
    QString text = firmware ? firmwareEvent(report) : calibrationEvent(report);
    if (portWentAway && report.failure == Device::TransferFailure::PortClosed)
        text = firmware ? tr("The port went away during the upgrade.")
                        : tr("The port went away during the upload.");
    if (report.erased)
        text += QLatin1Char(' ')
            + tr("%1 of %2 bytes were written.")
                  .arg(qMin(report.offset, report.total))
                  .arg(report.total);
    return text + QLatin1Char(' ') + instrumentState(report);
}

QString TransferReport::firmwareSuccessText(const QString &version, bool downgrade)
{
    return (downgrade ? tr("Firmware downgraded to %1") : tr("Firmware upgraded to %1"))
        .arg(version);
}

QString TransferReport::calibrationSuccessText(const QString &name, int points)
{
    return tr("Calibration table \"%1\" uploaded, %2 points").arg(name).arg(points);
}
