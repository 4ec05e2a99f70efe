// The two transfers: a custom sensor table and a firmware image.

#include "buildinfo.h"
#include "cli.h"
#include "curvefile.h"
#include "firmware.h"
#include "firmwareversion.h"
#include "inputfile.h"
#include "instrumentclient.h"
#include "progressreporter.h"
#include "terminationwatcher.h"
#include "transferreport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <limits>
#include <memory>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("Cli", text);
}

// The name field of the window takes this many characters.
const int maximumTableNameLength = 8;

// The time-outs of a transfer's steps: each answer within the given time, but never less
// than a real boot loader needs to restart and to erase.
Device::TransferTimeouts transferTimeouts(int timeoutMs)
{
    const Device::TransferTimeouts defaults;
    return {qMax(defaults.restartMs, timeoutMs), qMax(defaults.eraseMs, timeoutMs), timeoutMs};
}

} // namespace

int Cli::uploadTable()
{
    QCommandLineParser parser;
    parser.addOptions(
        {timeoutOption(),
         QCommandLineOption(QStringLiteral("name"),
                            tr("The sensor's name, at most 8 characters (default: the curve "
                               "file's serial number, or Custom)."),
                            QStringLiteral("name")),
         QCommandLineOption(QStringLiteral("transpose"),
                            tr("Swap the two columns, as the window's Transpose does.")),
         QCommandLineOption(QStringLiteral("allow-empty"),
                            tr("Upload a table that was read and holds no points (it erases "
                               "the custom curve)."))});
    if (!parse(parser,
               tr("Uploads a custom sensor table read from FILE: a .340 curve file, or lines of "
                  "temperature (K) and voltage (V)."),
               {QStringLiteral("PORT"), QStringLiteral("FILE")}))
        return parseEnded(parser);

    const QString path = parser.positionalArguments().at(1);
    QString name = parser.value(QStringLiteral("name"));
    if (name.size() > maximumTableNameLength || name.toUtf8().size() > 16)
        return fail(RefusedInput,
                    tr("--name \"%1\" is %2 characters long; the instrument takes "
                       "at most %3. Nothing was sent.")
                        .arg(printable(name))
                        .arg(name.size())
                        .arg(maximumTableNameLength));
    // A file that cannot be read is refused whatever --allow-empty says.
    const CurveFile file = CurveFile::fromFile(path);
    if (!file.refusal.isEmpty())
        return fail(RefusedInput, file.refusal + tr(" Nothing was sent."));
    QVector<double> temperatures = file.table.temperatures;
    QVector<double> voltages = file.table.voltages;
    if (parser.isSet(QStringLiteral("transpose")))
        temperatures.swap(voltages);
    print(tr("%1 points read from %2").arg(temperatures.size()).arg(path));
    for (const QString &warning : file.warnings)
        warn(warning);
    if (temperatures.isEmpty() && !parser.isSet(QStringLiteral("allow-empty")))
        return fail(RefusedInput,
                    tr("The table has no points. Uploading it erases the "
                       "instrument's custom curve; give --allow-empty to upload "
                       "it anyway. Nothing was sent."));
    if (!temperatures.isEmpty()) {
        print(CurveFile::summary(temperatures, voltages));
        warn(CurveFile::monotonicityWarning(temperatures, voltages));
    }
    if (!parser.isSet(QStringLiteral("name"))) {
        name = file.serialNumber.isEmpty() ? QStringLiteral("Custom") : file.serialNumber;
        name.truncate(maximumTableNameLength); // as the window's name field takes it
    }

    InstrumentClient client(m_timeoutMs);
    if (const int status = connectClient(client, parser.positionalArguments().at(0)))
        return status;
    InstrumentSession *session = client.session();
    session->setTransferTimeouts(transferTimeouts(m_timeoutMs));
    const QByteArray payload = CalibrationTable::encodePayload(name, temperatures, voltages);
    return runTransfer(
        client, [&](QString *refusal) { return session->uploadCalibration(payload, refusal); },
        TransferReport::calibrationSuccessText(name, temperatures.size()));
}

int Cli::upgrade()
{
    QCommandLineParser parser;
    parser.addOptions(
        {timeoutOption(),
         QCommandLineOption(QStringLiteral("yes"), tr("Answer the upgrade question with yes."))});
    if (!parse(parser,
               tr("Upgrades or downgrades the firmware from a signed container, as the window "
                  "does: the container is verified, the image for the instrument's hardware "
                  "revision chosen, and the question answered on the terminal or by --yes."),
               {QStringLiteral("PORT"), QStringLiteral("FILE.crp")}))
        return parseEnded(parser);

    QString unreadable;
    const QByteArray contents = InputFile::read(parser.positionalArguments().at(1), &unreadable);
    if (!unreadable.isEmpty())
        return fail(RefusedInput, unreadable + tr(" Nothing was sent."));
    InstrumentClient client(m_timeoutMs);
    if (const int status = connectClient(client, parser.positionalArguments().at(0)))
        return status;
    InstrumentSession *session = client.session();
    const InstrumentIdentity identity = session->identity();

    const std::unique_ptr<Firmware> firmware(Firmware::fromFileData(contents, identity.revision));
    if (!firmware->valid())
        return fail(RefusedInput, tr("Invalid or unsupported firmware file"));
    if (firmware->blob().isEmpty())
        return fail(RefusedInput, tr("The firmware file holds an empty image for this instrument"));
    const QString mismatch
        = FirmwareVersion::containerMismatch(firmware->vendor(), firmware->model(), identity.model);
    if (!mismatch.isEmpty())
        return fail(RefusedInput, printable(mismatch));

    const QString offered = firmware->version();
    QString question = printable(FirmwareVersion::upgradeQuestion(identity.version, offered));
    // Anyone can sign a container that a development-key build accepts.
    if (BuildInfo::trustsDevelopmentKey())
        question += tr(" This build accepts containers signed with the published development "
                       "seed.");
    if (!parser.isSet(QStringLiteral("yes")) && !confirm(question))
        return fail(RefusedInput,
                    question + tr(" Not confirmed (give --yes in scripts); nothing was sent."));

    session->setTransferTimeouts(transferTimeouts(m_timeoutMs));
    const bool downgrade = FirmwareVersion::compare(identity.version, offered) > 0;
    return runTransfer(
        client,
        [&](QString *refusal) {
            return session->upgradeFirmware(firmware->blob(), identity.revision, refusal);
        },
        printable(TransferReport::firmwareSuccessText(offered, downgrade)));
}

int Cli::runTransfer(InstrumentClient &client, const std::function<bool(QString *)> &start,
                     const QString &successText)
{
    InstrumentSession *session = client.session();
    std::unique_ptr<ProgressReporter> progress(m_quiet ? nullptr : new ProgressReporter(stderr));
    bool finished = false;
    bool portLost = false;
    std::unique_ptr<Device::TransferFailureReport> failure;
    QObject context;
    QObject::connect(session, &InstrumentSession::transferProgress, &context,
                     [&](int done, int total) {
                         if (progress)
                             progress->show(done, total);
                     });
    QObject::connect(session, &InstrumentSession::transferFinished, &context,
                     [&] { finished = true; });
    QObject::connect(session, &InstrumentSession::transferFailed, &context,
                     [&](const Device::TransferFailureReport &report) {
                         failure.reset(new Device::TransferFailureReport(report));
                     });
    QObject::connect(session, &InstrumentSession::portLost, &context, [&] { portLost = true; });
    // Ending the program in the middle would leave the instrument without saying how.
    TerminationWatcher watcher;
    watcher.install();
    QObject::connect(&watcher, &TerminationWatcher::terminationRequested, &context,
                     [session] { session->cancelTransfer(); });

    QString refusal;
    if (!start(&refusal))
        return fail(RefusedInput, refusal + tr(" Nothing was sent."));
    // Every step of the transfer has its own time-out, so this ends.
    client.waitUntil([&] { return finished || failure; }, std::numeric_limits<int>::max());
    if (progress)
        progress->finish();
    if (failure)
        return fail(TransferFailed,
                    TransferReport::title(failure->transfer) + QStringLiteral(": ")
                        + printable(TransferReport::failureText(*failure, portLost)));
    // The last command (the commit, "boot") must leave before the program ends.
    QString error;
    if (!client.send({}, &error))
        return fail(TransferFailed, error);
    print(successText);
    return Success;
}
