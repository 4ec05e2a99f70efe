#include "cli.h"

#include "buildinfo.h"
#include "inputfile.h"
#include "instrumentclient.h"
#include "readinglog.h"
#include "serialportlinks.h"
#include "settingsprotocol.h"
#include "settingstable.h"
#include "uuids.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>
#include <cmath>
#include <unistd.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("Cli", text);
}

const char generalHelp[] = R"(Usage: rimeglass-cli COMMAND [options] [ARGUMENTS]

Works a MORVA temperature monitor on a serial port from scripts.

Commands:
  ports                          list the system's serial ports
  identify PORT                  who answers on PORT
  settings PORT                  the instrument's settings, read back
  set PORT NAME=VALUE...         change settings (--from FILE restores a backup)
  save PORT                      store the instrument's settings
  upload-table PORT FILE         upload a custom sensor calibration table
  upgrade PORT FILE.crp          upgrade or downgrade the firmware
  voltage PORT                   measure the voltage input
  calibrate-voltage PORT R=M R=M calibrate the voltage input from two points
  reset-voltage-calibration PORT clear the voltage input's calibration
  log PORT                       every reading, as CSV or InfluxDB line protocol

"rimeglass-cli COMMAND --help" describes a command. Every command takes --quiet
(nothing on standard output, no progress; errors still on standard error).

Exit status: 0 success, 1 an output could not be written, 2 usage error, 3 port error,
4 no answer from the instrument, 5 input refused (nothing was sent), 6 transfer failed,
7 readings were lost.
)";

QString bootLoaderHasNoSettings()
{
    return tr("The instrument runs its boot loader, which has no settings: finish the "
              "firmware upgrade first.");
}

// The record of an identification: every field a plain value, the revision as its number.
QList<Cli::Field> identityRecord(const InstrumentIdentity &identity)
{
    const QString mode
        = identity.bootLoader ? QStringLiteral("boot-loader") : QStringLiteral("application");
    QString revision = QStringLiteral("unknown");
    QJsonValue revisionNumber = QJsonValue::Null;
    if (identity.revision == rimeglass::uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1))
        revision = QStringLiteral("1");
    else if (identity.revision == rimeglass::uuidBytes(rimeglass::uuid_compat_stm32g070kb_r2))
        revision = QStringLiteral("2");
    if (revision != QLatin1String("unknown"))
        revisionNumber = revision.toInt();
    const QString revisionId = rimeglass::uuidText(identity.revision);
    return {{QStringLiteral("vendor"), identity.vendor, identity.vendor},
            {QStringLiteral("model"), identity.model, identity.model},
            {QStringLiteral("serial-number"), identity.serialNumber, identity.serialNumber},
            {QStringLiteral("version"), identity.version, identity.version},
            {QStringLiteral("mode"), mode, mode},
            {QStringLiteral("revision"), revision, revisionNumber},
            {QStringLiteral("revision-id"), revisionId, revisionId}};
}

// A setting's value as read back, typed: numbers for kelvin and periods, a boolean for
// whether an output is enabled, text for the sensor and the default states.
QJsonValue typedSetting(const QString &name, const QString &text)
{
    const Setting *setting = SettingsTable::find(name);
    switch (setting ? setting->kind : Setting::Kind::Sensor) {
    case Setting::Kind::Kelvin:
        return text.toDouble();
    case Setting::Kind::Output:
        return text == QLatin1String("enabled");
    case Setting::Kind::OutputPeriod:
    case Setting::Kind::DisplayPeriod:
        return text.toInt();
    case Setting::Kind::Sensor:
    case Setting::Kind::DefaultState:
        break;
    }
    return text;
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

// The assignments of a backup made by `settings --format assignments`: one NAME=VALUE a
// line; blank lines and lines starting with # are left out.
bool readAssignments(const QString &path, QStringList *assignments, QString *error)
{
    const QByteArray contents = InputFile::read(path, error);
    if (!error->isEmpty())
        return false;
    for (const QByteArray &line : contents.split('\n')) {
        const QString text = QString::fromUtf8(line).trimmed();
        if (!text.isEmpty() && !text.startsWith(QLatin1Char('#')))
            *assignments << text;
    }
    return true;
}

} // namespace

QCommandLineOption Cli::timeoutOption()
{
    return QCommandLineOption(QStringLiteral("timeout"),
                              tr("Seconds to wait for each answer (default 5)."),
                              QStringLiteral("seconds"), QStringLiteral("5"));
}

namespace {

QCommandLineOption jsonOption()
{
    return QCommandLineOption(QStringLiteral("json"), tr("Print JSON."));
}

} // namespace

int Cli::run(const QStringList &arguments)
{
    m_command = arguments.value(1);
    m_arguments = arguments.mid(1);
    const int status = runCommand();
    // A failed write that the command has not reported itself.
    if (!m_out.failed() || status != Success)
        return status;
    return fail(OutputFailed, m_out.error());
}

int Cli::runCommand()
{
    if (m_command.isEmpty())
        return usageError(tr("no command given"));
    if (m_command == QLatin1String("--help") || m_command == QLatin1String("-h")
        || m_command == QLatin1String("help")) {
        m_out.write(generalHelp);
        return Success;
    }
    if (m_command == QLatin1String("--version")) {
        m_out.write(BuildInfo::versionReport(QStringLiteral("rimeglass-cli")).toUtf8());
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
        {QStringLiteral("voltage"), &Cli::voltage},
        {QStringLiteral("calibrate-voltage"), &Cli::calibrateVoltage},
        {QStringLiteral("reset-voltage-calibration"), &Cli::resetVoltageCalibration},
        {QStringLiteral("log"), &Cli::log},
    };
    for (const auto &command : commands) {
        if (command.first == m_command)
            return (this->*command.second)();
    }
    const QString unknown = tr("unknown command \"%1\"").arg(m_command);
    m_command.clear();
    return usageError(unknown);
}

// Positional names in brackets are optional; one ending in "..." takes any number.
bool Cli::parse(QCommandLineParser &parser, const QString &description,
                const QStringList &positionalNames)
{
    parser.setApplicationDescription(description);
    parser.addHelpOption();
    parser.addOption({QStringLiteral("quiet"),
                      tr("Nothing on standard output and no progress, for scripts that want "
                         "only the exit status; errors still go to standard error.")});
    for (const QString &name : positionalNames)
        parser.addPositionalArgument(name, QString());
    if (!parser.parse(m_arguments)) {
        usageError(parser.errorText());
        return false;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        // Qt names the program by the path it was started with, and leaves out the command.
        QString help = parser.helpText();
        const int options = help.indexOf(QLatin1String(" [options]"));
        help.replace(0, options, QStringLiteral("Usage: rimeglass-cli ") + m_command);
        m_out.write(help.toUtf8());
        return false;
    }
    const int required = int(
        std::count_if(positionalNames.cbegin(), positionalNames.cend(),
                      [](const QString &name) { return !name.startsWith(QLatin1Char('[')); }));
    const bool variadic
        = !positionalNames.isEmpty() && positionalNames.last().contains(QLatin1String("..."));
    const int given = parser.positionalArguments().size();
    if (given < required || (!variadic && given > positionalNames.size())) {
        usageError(tr("%1 takes %2").arg(m_command, positionalNames.join(QLatin1Char(' '))));
        return false;
    }
    if (parser.optionNames().contains(QStringLiteral("timeout"))) {
        bool ok = false;
        const double seconds = parser.value(QStringLiteral("timeout")).toDouble(&ok);
        if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > 3600) {
            usageError(tr("--timeout takes seconds, more than 0 and at most 3600"));
            return false;
        }
        m_timeoutMs = qMax(1, int(seconds * 1000));
    }
    m_json = parser.optionNames().contains(QStringLiteral("json"));
    m_quiet = parser.isSet(QStringLiteral("quiet"));
    return true;
}

int Cli::parseEnded(const QCommandLineParser &parser) const
{
    return parser.isSet(QStringLiteral("help")) ? Success : UsageError;
}

QString Cli::portArgument(const QString &given)
{
    const QFileInfo info(given);
    return info.isRelative() && info.exists() ? info.absoluteFilePath() : given;
}

// Opens the port and waits for the instrument; Success, or the status to end with.
int Cli::connectClient(InstrumentClient &client, const QString &portName)
{
    QString error;
    if (client.connectTo(portArgument(portName), &error))
        return Success;
    return fail(client.noAnswer() ? NoAnswer : PortError, error);
}

int Cli::connectToApplication(InstrumentClient &client, const QString &portName,
                              const QString &refusal)
{
    if (const int status = connectClient(client, portName))
        return status;
    if (client.session()->identity().bootLoader)
        return fail(RefusedInput, refusal);
    return Success;
}

int Cli::usageError(const QString &text)
{
    m_err << "rimeglass-cli: " << text << "\n"
          << "Try \"rimeglass-cli "
          << (m_command.isEmpty() || m_command.startsWith('-') ? QString() : m_command + ' ')
          << "--help\".\n";
    m_err.flush();
    return UsageError;
}

int Cli::fail(int status, const QString &text)
{
    m_err << "rimeglass-cli: " << text << "\n";
    m_err.flush();
    return status;
}

void Cli::warn(const QString &text)
{
    if (!m_quiet && !text.isEmpty())
        fail(Success, text);
}

void Cli::print(const QString &text)
{
    if (!m_quiet)
        m_out.write(text.toUtf8() + '\n');
}

// One record as a JSON object, or as "name=value" lines in the record's order.
void Cli::printRecord(const QList<Field> &record)
{
    if (m_quiet)
        return;
    if (m_json) {
        QJsonObject object;
        for (const Field &field : record)
            object.insert(field.name, field.json);
        m_out.write(QJsonDocument(object).toJson());
        return;
    }
    QByteArray lines;
    for (const Field &field : record)
        lines
            += (field.name + QLatin1Char('=') + printable(field.text) + QLatin1Char('\n')).toUtf8();
    m_out.write(lines);
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
        return parseEnded(parser);

    const SerialPortLinks links;
    QJsonArray list;
    QByteArray lines;
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts()) {
        const QList<QPair<QString, QString>> fields{
            {QStringLiteral("name"), port.portName()},
            {QStringLiteral("path"), port.systemLocation()},
            {QStringLiteral("description"), port.description()},
            {QStringLiteral("manufacturer"), port.manufacturer()},
            {QStringLiteral("serial-number"), port.serialNumber()},
            {QStringLiteral("by-id"), links.linkTo(port.systemLocation())}};
        QJsonObject entry;
        QString line = printable(port.systemLocation());
        for (const auto &field : fields) {
            entry.insert(field.first, field.second);
            if (field.first != QLatin1String("name") && field.first != QLatin1String("path")
                && !field.second.isEmpty())
                line
                    += QLatin1Char('\t') + field.first + QLatin1Char('=') + printable(field.second);
        }
        list.append(entry);
        lines += line.toUtf8() + '\n';
    }
    if (!m_quiet)
        m_out.write(m_json ? QJsonDocument(list).toJson() : lines);
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
        return parseEnded(parser);

    InstrumentClient client(m_timeoutMs);
    if (const int status = connectClient(client, parser.positionalArguments().at(0)))
        return status;
    printRecord(identityRecord(client.session()->identity()));
    return Success;
}

int Cli::settings()
{
    QCommandLineParser parser;
    parser.addOptions(
        {timeoutOption(), jsonOption(),
         QCommandLineOption(QStringLiteral("format"),
                            tr("text (default: NAME=VALUE lines), json, or assignments (a "
                               "backup that \"set PORT --from FILE\" restores)."),
                            QStringLiteral("format"), QStringLiteral("text"))});
    if (!parse(parser, tr("The instrument's settings, read back as the window reads them."),
               {QStringLiteral("PORT")}))
        return parseEnded(parser);
    const QString format = parser.value(QStringLiteral("format"));
    if (format != QLatin1String("text") && format != QLatin1String("json")
        && format != QLatin1String("assignments"))
        return usageError(tr("--format takes text, json or assignments"));
    if (m_json && format == QLatin1String("assignments"))
        return usageError(tr("--json and --format assignments exclude each other"));
    m_json = m_json || format == QLatin1String("json");

    InstrumentClient client(m_timeoutMs);
    if (const int status = connectToApplication(client, parser.positionalArguments().at(0),
                                                bootLoaderHasNoSettings()))
        return status;
    QString error;
    SettingsValues reports;
    if (!client.readBack(&reports, &error))
        return fail(NoAnswer, error);

    if (format == QLatin1String("assignments") && !m_quiet) {
        const InstrumentIdentity &identity = client.session()->identity();
        m_out.write(tr("# Settings of the %1 %2, serial number %3, firmware %4, read %5.\n"
                       "# Restore them with: rimeglass-cli set PORT --from FILE\n")
                        .arg(printable(identity.vendor), printable(identity.model),
                             printable(identity.serialNumber), printable(identity.version),
                             QDateTime::currentDateTimeUtc().toString(Qt::ISODate))
                        .toUtf8());
    }
    QList<Field> record;
    const QMap<QString, QString> values = SettingsProtocol::readBackValues(reports);
    for (const QString &name : SettingsTable::names()) {
        if (values.contains(name))
            record.append({name, values.value(name), typedSetting(name, values.value(name))});
    }
    printRecord(record);
    return Success;
}

int Cli::set()
{
    QCommandLineParser parser;
    parser.addOptions(
        {timeoutOption(),
         QCommandLineOption(QStringLiteral("from"),
                            tr("Read NAME=VALUE lines from this file first, as \"settings "
                               "--format assignments\" writes them."),
                            QStringLiteral("file")),
         QCommandLineOption(QStringLiteral("save"),
                            tr("Then store the settings in the instrument."))});
    if (!parse(parser,
               tr("Changes settings with the commands the window sends, each once. Every value "
                  "is checked against the window's range before anything is sent; what "
                  "\"settings\" prints is taken back as it is.\n\n")
                   + settingsHelp(),
               {QStringLiteral("PORT"), QStringLiteral("[NAME=VALUE...]")}))
        return parseEnded(parser);

    QStringList assignments;
    QString error;
    if (parser.isSet(QStringLiteral("from"))
        && !readAssignments(parser.value(QStringLiteral("from")), &assignments, &error))
        return fail(RefusedInput, error + tr(" Nothing was sent."));
    assignments += parser.positionalArguments().mid(1);
    if (assignments.isEmpty() && !parser.isSet(QStringLiteral("save")))
        return usageError(tr("set takes PORT NAME=VALUE... or --from FILE"));
    QList<SettingsProtocol::Change> changes;
    if (!SettingsProtocol::parseChanges(assignments, &changes, &error))
        return fail(RefusedInput, error + tr("; nothing was sent."));
    QStringList commands;
    QStringList confirmations;
    for (const SettingsProtocol::Change &change : qAsConst(changes)) {
        commands << change.command;
        confirmations << change.confirmation;
    }
    if (parser.isSet(QStringLiteral("save"))) {
        commands << QStringLiteral(":save\n");
        confirmations << tr("Settings saved in the instrument");
    }

    InstrumentClient client(m_timeoutMs);
    if (const int status = connectToApplication(client, parser.positionalArguments().at(0),
                                                bootLoaderHasNoSettings()))
        return status;
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
        return parseEnded(parser);

    InstrumentClient client(m_timeoutMs);
    if (const int status = connectToApplication(client, parser.positionalArguments().at(0),
                                                bootLoaderHasNoSettings()))
        return status;
    QString error;
    if (!client.send({QStringLiteral(":save\n")}, &error))
        return fail(PortError, error);
    print(tr("Settings saved in the instrument"));
    return Success;
}

int Cli::log()
{
    QCommandLineParser parser;
    parser.addOptions(ReadingLog::commandLineOptions());
    parser.addOption(timeoutOption());
    if (!parse(parser,
               tr("Logs every reading with its UTC time, until interrupted or --duration. The "
                  "port is opened again when it comes back after being lost, and the "
                  "instrument identified again."),
               {QStringLiteral("PORT")}))
        return parseEnded(parser);

    ReadingLog::Options options;
    QString error;
    if (!ReadingLog::readOptions(parser, &options, &error))
        return usageError(error);
    if (m_quiet && options.outputPath.isEmpty() && !options.post)
        return usageError(tr("--quiet would leave nothing of the log: give --output or "
                             "--influx-url"));
    options.portName = portArgument(parser.positionalArguments().at(0));
    options.timeoutMs = m_timeoutMs;
    options.target.requestTimeoutMs = m_timeoutMs;
    options.quiet = m_quiet;

    ReadingLog readingLog(options, m_out, m_err);
    return readingLog.run();
}
