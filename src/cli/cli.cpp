#include "cli.h"

#include "buildinfo.h"
#include "curvefile.h"
#include "firmware.h"
#include "firmwareversion.h"
#include "inputfile.h"
#include "instrumentclient.h"
#include "progressreporter.h"
#include "readinglog.h"
#include "serialportlinks.h"
#include "settingsprotocol.h"
#include "settingstable.h"
#include "transferreport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <memory>
#include <unistd.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("Cli", text);
}

const char generalHelp[] = R"(Usage: rimeglass-cli COMMAND [OPTIONS] [ARGUMENTS]

Works a MORVA temperature monitor on a serial port from scripts.

Commands:
  ports                        list the system's serial ports
  identify PORT                who answers on PORT
  settings PORT                the instrument's ten settings
  set PORT NAME=VALUE...       change settings (--save stores them in the instrument)
  save PORT                    store the instrument's settings
  upload-table PORT FILE       upload a custom sensor calibration table
  upgrade PORT FILE.crp        upgrade or downgrade the firmware
  log PORT                     every reading, as CSV or InfluxDB line protocol

"rimeglass-cli COMMAND --help" describes a command.

Exit status: 0 success, 1 an output could not be written, 2 usage error, 3 port error,
4 no answer from the instrument, 5 input refused (nothing was sent), 6 transfer failed.
)";

QJsonObject identityObject(const InstrumentIdentity &identity)
{
    return {{QStringLiteral("vendor"), identity.vendor},
            {QStringLiteral("model"), identity.model},
            {QStringLiteral("serialNumber"), identity.serialNumber},
            {QStringLiteral("version"), identity.version},
            {QStringLiteral("mode"),
             identity.bootLoader ? QStringLiteral("boot loader") : QStringLiteral("application")},
            {QStringLiteral("revision"), identity.revisionName()}};
}

// The time-outs of a transfer's steps: each answer within the given time, but never less
// than a real boot loader needs to restart and to erase.
Device::TransferTimeouts transferTimeouts(int timeoutMs)
{
    const Device::TransferTimeouts defaults;
    return {qMax(defaults.restartMs, timeoutMs), qMax(defaults.eraseMs, timeoutMs), timeoutMs};
}

// Each setting with the values it takes and what it is, for `set --help`.
QString settingsHelp()
{
    QStringList lines{tr("Settings:")};
    for (const Setting &setting : SettingsTable::settings()) {
        lines << QStringLiteral("  %1 %2").arg(setting.name, -24).arg(setting.rangeText())
              << QStringLiteral("  %1 %2").arg(QString(), -24).arg(setting.description);
    }
    return lines.join(QLatin1Char('\n'));
}

QString bootLoaderHasNoSettings()
{
    return tr("The instrument runs its boot loader, which has no settings: finish the "
              "firmware upgrade first.");
}

} // namespace

int Cli::run(const QStringList &arguments)
{
    m_command = arguments.value(1);
    m_arguments = arguments.mid(1);
    if (m_command.isEmpty())
        return usageError(tr("no command given"));
    if (m_command == QLatin1String("--help") || m_command == QLatin1String("-h")
        || m_command == QLatin1String("help")) {
        m_out << generalHelp;
        return Success;
    }
    if (m_command == QLatin1String("--version")) {
        m_out << BuildInfo::versionReport(QStringLiteral("rimeglass-cli"));
        return Success;
    }

    using Command = int (Cli::*)();
    const QList<QPair<QString, Command>> commands{
        {QStringLiteral("ports"), &Cli::ports},
        {QStringLiteral("identify"), &Cli::identify},
        {QStringLiteral("settings"), &Cli::settings},
        {QStringLiteral("set"), &Cli::set},
        {QStringLiteral("save"), &Cli::save},
        {QStringLiteral("upload-table"), &Cli::uploadTable},
        {QStringLiteral("upgrade"), &Cli::upgrade},
        {QStringLiteral("log"), &Cli::log},
    };
    for (const auto &command : commands) {
        if (command.first == m_command)
            return (this->*command.second)();
    }
    return usageError(tr("unknown command \"%1\"").arg(m_command));
}

bool Cli::parse(QCommandLineParser &parser, const QString &description,
                const QStringList &positionalNames)
{
    parser.setApplicationDescription(description);
    parser.addHelpOption();
    for (const QString &name : positionalNames)
        parser.addPositionalArgument(name, QString());
    if (!parser.parse(m_arguments)) {
        usageError(parser.errorText());
        return false;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        m_out << parser.helpText().replace(m_command + QStringLiteral(" [options]"),
                                           QStringLiteral("rimeglass-cli ") + m_command
                                               + QStringLiteral(" [options]"));
        return false;
    }
    const bool variadic = !positionalNames.isEmpty() && positionalNames.last().endsWith("...");
    const int given = parser.positionalArguments().size();
    if (given < positionalNames.size() || (!variadic && given > positionalNames.size())) {
        usageError(tr("%1 takes %2").arg(m_command, positionalNames.join(QLatin1Char(' '))));
        return false;
    }
    if (parser.optionNames().contains(QStringLiteral("timeout"))) {
        bool ok = false;
        const double seconds = parser.value(QStringLiteral("timeout")).toDouble(&ok);
        if (!ok || seconds <= 0 || seconds > 3600) {
            usageError(tr("--timeout takes seconds, more than 0 and at most 3600"));
            return false;
        }
        m_timeoutMs = int(seconds * 1000);
    }
    m_json = parser.optionNames().contains(QStringLiteral("json"));
    return true;
}

namespace {

QCommandLineOption timeoutOption()
{
    return QCommandLineOption(QStringLiteral("timeout"),
                              QStringLiteral("Seconds to wait for each answer (default 5)."),
                              QStringLiteral("seconds"), QStringLiteral("5"));
}

QCommandLineOption jsonOption()
{
    return QCommandLineOption(QStringLiteral("json"), QStringLiteral("Print JSON."));
}

} // namespace

// Opens the port and waits for the instrument; Success, or the status to end with.
int Cli::connectClient(InstrumentClient &client, const QString &portName)
{
    QString error;
    if (client.connectTo(portName, &error))
        return Success;
    return fail(client.noAnswer() ? NoAnswer : PortError, error);
}

int Cli::connectToSettings(InstrumentClient &client, const QString &portName)
{
    if (const int status = connectClient(client, portName))
        return status;
    if (client.session()->identity().bootLoader)
        return fail(RefusedInput, bootLoaderHasNoSettings());
    return Success;
}

int Cli::usageError(const QString &text)
{
    m_err << "rimeglass-cli: " << text << "\n"
          << "Try \"rimeglass-cli " << (m_command.startsWith('-') ? QString() : m_command)
          << " --help\".\n";
    m_err.flush();
    return UsageError;
}

int Cli::fail(int status, const QString &text)
{
    m_err << "rimeglass-cli: " << text << "\n";
    m_err.flush();
    return status;
}

// One record as a JSON object, or as "name=value" lines in the given order.
void Cli::printRecord(const QJsonObject &record, const QStringList &order)
{
    if (m_json) {
        m_out << QJsonDocument(record).toJson();
    } else {
        for (const QString &name : order) {
            if (record.contains(name))
                m_out << name << "=" << record.value(name).toString() << "\n";
        }
    }
    m_out.flush();
}

void Cli::print(const QString &text)
{
    m_out << text << "\n";
    m_out.flush();
}

// The operator answers on the terminal; without one, only --yes answers.
bool Cli::confirm(const QString &question)
{
    if (::isatty(STDIN_FILENO) != 1)
        return false;
    m_err << question << " [y/N] ";
    m_err.flush();
    QTextStream in(stdin);
    const QString answer = in.readLine().trimmed().toLower();
    return answer == QLatin1String("y") || answer == QLatin1String("yes");
}

int Cli::ports()
{
    QCommandLineParser parser;
    parser.addOption(jsonOption());
    if (!parse(parser, tr("The system's serial ports, with the /dev/serial/by-id link of each."),
               {}))
        return parser.isSet(QStringLiteral("help")) ? Success : UsageError;

    const SerialPortLinks links;
    QJsonArray list;
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts()) {
        const QJsonObject entry{{QStringLiteral("name"), port.portName()},
                                {QStringLiteral("path"), port.systemLocation()},
                                {QStringLiteral("description"), port.description()},
                                {QStringLiteral("manufacturer"), port.manufacturer()},
                                {QStringLiteral("serialNumber"), port.serialNumber()},
                                {QStringLiteral("byId"), links.linkTo(port.systemLocation())}};
        list.append(entry);
        if (!m_json) {
            m_out << port.systemLocation();
            for (const char *key : {"description", "manufacturer", "serialNumber", "byId"}) {
                const QString value = entry.value(QLatin1String(key)).toString();
                if (!value.isEmpty())
                    m_out << "\t" << key << "=" << value;
            }
            m_out << "\n";
        }
    }
    if (m_json)
        m_out << QJsonDocument(list).toJson();
    m_out.flush();
    return Success;
}

int Cli::identify()
{
    QCommandLineParser parser;
    parser.addOptions({timeoutOption(), jsonOption()});
    if (!parse(parser,
               tr("Who answers on PORT: vendor, model, serial number, version, "
                  "boot loader or application, hardware revision."),
               {QStringLiteral("PORT")}))
        return parser.isSet(QStringLiteral("help")) ? Success : UsageError;

    InstrumentClient client(m_timeoutMs);
    if (const int status = connectClient(client, parser.positionalArguments().at(0)))
        return status;
    printRecord(identityObject(client.session()->identity()),
                {QStringLiteral("vendor"), QStringLiteral("model"), QStringLiteral("serialNumber"),
                 QStringLiteral("version"), QStringLiteral("mode"), QStringLiteral("revision")});
    return Success;
}

int Cli::settings()
{
    QCommandLineParser parser;
    parser.addOptions({timeoutOption(), jsonOption()});
    if (!parse(parser, tr("The instrument's ten settings, read back as the window reads them."),
               {QStringLiteral("PORT")}))
        return parser.isSet(QStringLiteral("help")) ? Success : UsageError;

    InstrumentClient client(m_timeoutMs);
    if (const int status = connectToSettings(client, parser.positionalArguments().at(0)))
        return status;
    QString error;
    SettingsValues reports;
    if (!client.readBack(&reports, &error))
        return fail(NoAnswer, error);

    QJsonObject object;
    const QMap<QString, QString> values = SettingsProtocol::readBackValues(reports);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        object.insert(it.key(), it.value());
    printRecord(object, SettingsTable::names());
    return Success;
}

int Cli::set()
{
    QCommandLineParser parser;
    parser.addOptions({timeoutOption(),
                       QCommandLineOption(QStringLiteral("save"),
                                          tr("Then store the settings in the instrument."))});
    if (!parse(parser,
               tr("Changes settings with the commands the window sends. Every value is "
                  "checked against the window's range before anything is sent.\n\n")
                   + settingsHelp(),
               {QStringLiteral("PORT"), QStringLiteral("NAME=VALUE...")}))
        return parser.isSet(QStringLiteral("help")) ? Success : UsageError;

    QStringList commands;
    QStringList confirmations;
    for (const QString &assignment : parser.positionalArguments().mid(1)) {
        SettingsProtocol::Change change;
        QString error;
        if (!SettingsProtocol::parseChange(assignment, &change, &error))
            return fail(RefusedInput, error + tr("; nothing was sent."));
        commands << change.command;
        confirmations << change.confirmation;
    }
    if (parser.isSet(QStringLiteral("save"))) {
        commands << QStringLiteral(":save\n");
        confirmations << tr("Settings saved in the instrument");
    }

    InstrumentClient client(m_timeoutMs);
    if (const int status = connectToSettings(client, parser.positionalArguments().at(0)))
        return status;
    QString error;
    if (!client.send(commands, &error))
        return fail(PortError, error);
    for (const QString &confirmation : qAsConst(confirmations))
        print(confirmation);
    return Success;
}

int Cli::save()
{
    QCommandLineParser parser;
    parser.addOption(timeoutOption());
    if (!parse(parser, tr("Asks the instrument to store its settings."), {QStringLiteral("PORT")}))
        return parser.isSet(QStringLiteral("help")) ? Success : UsageError;

    InstrumentClient client(m_timeoutMs);
    if (const int status = connectClient(client, parser.positionalArguments().at(0)))
        return status;
    QString error;
    if (!client.send({QStringLiteral(":save\n")}, &error))
        return fail(PortError, error);
    print(tr("Settings saved in the instrument"));
    return Success;
}

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
                            tr("Upload a table without points (it erases the custom curve)."))});
    if (!parse(parser,
               tr("Uploads a custom sensor table read from FILE: a .340 curve file, or lines of "
                  "temperature (K) and voltage (V)."),
               {QStringLiteral("PORT"), QStringLiteral("FILE")}))
        return parser.isSet(QStringLiteral("help")) ? Success : UsageError;

    const QString path = parser.positionalArguments().at(1);
    const CurveFile file = CurveFile::fromFile(path);
    if (!file.refusal.isEmpty())
        return fail(RefusedInput, file.refusal);
    QVector<double> temperatures = file.table.temperatures;
    QVector<double> voltages = file.table.voltages;
    if (parser.isSet(QStringLiteral("transpose")))
        temperatures.swap(voltages);
    print(tr("%1 points read from %2").arg(temperatures.size()).arg(path));
    for (const QString &warning : file.warnings)
        m_err << "rimeglass-cli: " << warning << "\n";
    if (temperatures.isEmpty() && !parser.isSet(QStringLiteral("allow-empty")))
        return fail(RefusedInput,
                    tr("The table has no points. Uploading it erases the "
                       "instrument's custom curve; give --allow-empty to upload "
                       "it anyway. Nothing was sent."));
    if (!temperatures.isEmpty()) {
        print(CurveFile::summary(temperatures, voltages));
        const QString monotonicity = CurveFile::monotonicityWarning(temperatures, voltages);
        if (!monotonicity.isEmpty())
            m_err << "rimeglass-cli: " << monotonicity << "\n";
    }
    QString name = parser.value(QStringLiteral("name"));
    if (!parser.isSet(QStringLiteral("name")))
        name = file.serialNumber.isEmpty() ? QStringLiteral("Custom") : file.serialNumber;
    name.truncate(8); // as the window's name field takes it

    InstrumentClient client(m_timeoutMs);
    if (const int status = connectClient(client, parser.positionalArguments().at(0)))
        return status;
    InstrumentSession *session = client.session();
    session->setTransferTimeouts(transferTimeouts(m_timeoutMs));
    const QByteArray payload = CalibrationTable::encodePayload(name, temperatures, voltages);
    return runTransfer(
        client, [&] { return session->uploadCalibration(payload); },
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
        return parser.isSet(QStringLiteral("help")) ? Success : UsageError;

    QString unreadable;
    const QByteArray contents = InputFile::read(parser.positionalArguments().at(1), &unreadable);
    if (!unreadable.isEmpty())
        return fail(RefusedInput, unreadable);
    InstrumentClient client(m_timeoutMs);
    if (const int status = connectClient(client, parser.positionalArguments().at(0)))
        return status;
    InstrumentSession *session = client.session();

    const QByteArray revision = session->identity().revision;
    const std::unique_ptr<Firmware> firmware(Firmware::fromFileData(contents, revision));
    if (!firmware->valid())
        return fail(RefusedInput, tr("Invalid or unsupported firmware file"));
    if (firmware->blob().isEmpty())
        return fail(RefusedInput, tr("The firmware file holds an empty image for this instrument"));

    const QString installed = session->identity().version;
    const QString question = FirmwareVersion::upgradeQuestion(installed, firmware->version());
    if (!parser.isSet(QStringLiteral("yes")) && !confirm(question))
        return fail(RefusedInput,
                    question
                        + tr(" Not confirmed (give --yes in scripts); "
                             "nothing was sent."));

    session->setTransferTimeouts(transferTimeouts(m_timeoutMs));
    const bool downgrade = FirmwareVersion::compare(installed, firmware->version()) > 0;
    return runTransfer(
        client, [&] { return session->upgradeFirmware(firmware->blob(), revision); },
        TransferReport::firmwareSuccessText(firmware->version(), downgrade));
}

int Cli::runTransfer(InstrumentClient &client, const std::function<bool()> &start,
                     const QString &successText)
{
    InstrumentSession *session = client.session();
    ProgressReporter progress(stderr);
    bool finished = false;
    std::unique_ptr<Device::TransferFailureReport> failure;
    QObject context;
    QObject::connect(session, &InstrumentSession::transferProgress, &context,
                     [&](int done, int total) { progress.show(done, total); });
    QObject::connect(session, &InstrumentSession::transferFinished, &context,
                     [&] { finished = true; });
    QObject::connect(session, &InstrumentSession::transferFailed, &context,
                     [&](const Device::TransferFailureReport &report) {
                         failure.reset(new Device::TransferFailureReport(report));
                     });
    if (!start())
        return fail(RefusedInput, tr("Another transfer is in progress"));
    // Every step of the transfer has its own time-out, so this ends.
    client.waitUntil([&] { return finished || failure; }, std::numeric_limits<int>::max());
    progress.finish();
    if (failure)
        return fail(TransferFailed,
                    TransferReport::title(failure->transfer) + QStringLiteral(": ")
                        + TransferReport::failureText(*failure));
    // The last command (the commit, "boot") must leave before the program ends.
    QString error;
    if (!client.send({}, &error))
        return fail(TransferFailed, error);
    print(successText);
    return Success;
}

int Cli::log()
{
    QCommandLineParser parser;
    parser.addOptions({
        timeoutOption(),
        {QStringLiteral("format"), tr("csv (default) or influx (InfluxDB line protocol)."),
         QStringLiteral("format"), QStringLiteral("csv")},
        {QStringLiteral("output"), tr("Write the CSV to this file instead of standard output."),
         QStringLiteral("file")},
        {QStringLiteral("influx-url"),
         tr("Post the points to this InfluxDB server instead of standard output."),
         QStringLiteral("url")},
        {QStringLiteral("database"), tr("InfluxDB 1.x database."), QStringLiteral("name")},
        {QStringLiteral("bucket"), tr("InfluxDB 2.x bucket."), QStringLiteral("name")},
        {QStringLiteral("org"), tr("InfluxDB 2.x organisation."), QStringLiteral("name")},
        {QStringLiteral("token-file"),
         tr("Read the InfluxDB token from this file (default: the INFLUX_TOKEN variable)."),
         QStringLiteral("file")},
        {QStringLiteral("tag"), tr("An extra tag key=value on every point (repeatable)."),
         QStringLiteral("key=value")},
        {QStringLiteral("buffer"),
         tr("Readings kept while the server cannot be reached (default 100000)."),
         QStringLiteral("count"), QStringLiteral("100000")},
        {QStringLiteral("duration"),
         tr("Stop after this many seconds (default: run until "
            "interrupted)."),
         QStringLiteral("seconds")},
    });
    if (!parse(parser,
               tr("Logs every reading with its UTC time, until interrupted or --duration. The "
                  "port is opened again when it comes back after being lost."),
               {QStringLiteral("PORT")}))
        return parser.isSet(QStringLiteral("help")) ? Success : UsageError;

    ReadingLog::Options options;
    QString error;
    if (!ReadingLog::readOptions(parser, &options, &error))
        return usageError(error);
    options.portName = parser.positionalArguments().at(0);
    options.timeoutMs = m_timeoutMs;

    ReadingLog readingLog(options, m_err);
    return readingLog.run();
}
