#include "readinglog.h"

#include "exitstatus.h"
#include "inputfile.h"
#include "instrumentclient.h"
#include "settingsprotocol.h"
#include "standardoutput.h"
#include "terminaltext.h"
#include "terminationwatcher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimer>
#include <cmath>

namespace {

const int syncIntervalMs = 1000;
const QByteArray columnLine("time_utc,seconds,kelvin\n");

bool readSecret(const QString &path, QByteArray *secret, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QCoreApplication::translate("ReadingLog", "cannot read %1: %2")
                     .arg(path, file.errorString());
        return false;
    }
    *secret = file.read(InputFile::maxSize).trimmed();
    return true;
}

// The InfluxDB options: 1.x with a database (and a user and password, a retention
// policy), or 2.x with a bucket, an organisation and a token.
bool readInfluxTarget(const QCommandLineParser &parser, InfluxWriter::Target *target,
                      QString *error)
{
    const auto tr = [](const char *text) {
        return QCoreApplication::translate("ReadingLog", text);
    };
    const QString url = parser.value(QStringLiteral("influx-url"));
    target->url = QUrl(url);
    if (!target->url.isValid() || target->url.scheme().isEmpty() || target->url.host().isEmpty()) {
        *error = tr("--influx-url \"%1\" is not a URL such as http://localhost:8086").arg(url);
        return false;
    }
    target->database = parser.value(QStringLiteral("database"));
    target->retentionPolicy = parser.value(QStringLiteral("retention-policy"));
    target->username = parser.value(QStringLiteral("username"));
    target->bucket = parser.value(QStringLiteral("bucket"));
    target->organisation = parser.value(QStringLiteral("org"));
    const bool version1 = !target->database.isEmpty();
    if (version1 == !target->bucket.isEmpty() || (!version1 && target->organisation.isEmpty())) {
        *error = tr("--influx-url needs either --database (InfluxDB 1.x) or --bucket and --org "
                    "(InfluxDB 2.x)");
        return false;
    }
    if (version1 ? parser.isSet(QStringLiteral("token-file"))
                 : !target->username.isEmpty() || parser.isSet(QStringLiteral("password-file"))
                || !target->retentionPolicy.isEmpty()) {
        *error = tr("InfluxDB 1.x (--database) takes --username with --password-file or "
                    "INFLUX_PASSWORD and --retention-policy; 2.x (--bucket) takes --token-file "
                    "or INFLUX_TOKEN");
        return false;
    }
    if (!version1) {
        if (parser.isSet(QStringLiteral("token-file")))
            return readSecret(parser.value(QStringLiteral("token-file")), &target->token, error);
        target->token = qgetenv("INFLUX_TOKEN").trimmed();
        return true;
    }
    if (parser.isSet(QStringLiteral("password-file")) && target->username.isEmpty()) {
        *error = tr("--password-file needs --username");
        return false;
    }
    if (target->username.isEmpty())
        return true;
    if (parser.isSet(QStringLiteral("password-file")))
        return readSecret(parser.value(QStringLiteral("password-file")), &target->password, error);
    if (!qEnvironmentVariableIsSet("INFLUX_PASSWORD")) {
        *error = tr("--username needs the password from --password-file or INFLUX_PASSWORD");
        return false;
    }
    target->password = qgetenv("INFLUX_PASSWORD");
    return true;
}

} // namespace

QList<QCommandLineOption> ReadingLog::commandLineOptions()
{
    const auto option = [](const char *name, const char *description, const char *value = "",
                           const char *defaultValue = "") {
        return QCommandLineOption(QLatin1String(name), tr(description), QLatin1String(value),
                                  QLatin1String(defaultValue));
    };
    return {
        option("format", "csv (default) or influx (InfluxDB line protocol).", "format", "csv"),
        option("output", "Write the CSV to this file instead of standard output.", "file"),
        option("append", "Add to an existing --output file, after a new header comment."),
        option("overwrite", "Replace an existing --output file."),
        option("influx-url",
               "Post the points to this InfluxDB server instead of standard output. A request "
               "not answered within --timeout is sent again on a new connection.",
               "url"),
        option("database", "InfluxDB 1.x database.", "name"),
        option("retention-policy", "InfluxDB 1.x retention policy (default: the database's).",
               "name"),
        option("username",
               "InfluxDB 1.x user; the password comes from --password-file or the "
               "INFLUX_PASSWORD variable.",
               "name"),
        option("password-file", "Read the InfluxDB 1.x password from this file.", "file"),
        option("bucket", "InfluxDB 2.x bucket.", "name"),
        option("org", "InfluxDB 2.x organisation.", "name"),
        option("token-file",
               "Read the InfluxDB 2.x token from this file (default: the INFLUX_TOKEN variable).",
               "file"),
        option("measurement", "The points' measurement (default temperature).", "name",
               "temperature"),
        option("tag",
               "An extra tag key=value on every point (repeatable); serial, model and sensor are "
               "set by the log itself.",
               "key=value"),
        option("buffer", "Readings kept while the server cannot be reached (default 100000).",
               "count", "100000"),
        option("duration", "Stop after this many seconds (default: run until interrupted).",
               "seconds"),
    };
}

bool ReadingLog::readOptions(const QCommandLineParser &parser, Options *options, QString *error)
{
    const QString format = parser.value(QStringLiteral("format"));
    if (format != QLatin1String("csv") && format != QLatin1String("influx")) {
        *error = tr("--format takes csv or influx");
        return false;
    }
    options->influx = format == QLatin1String("influx");
    options->outputPath = parser.value(QStringLiteral("output"));
    options->append = parser.isSet(QStringLiteral("append"));
    options->overwrite = parser.isSet(QStringLiteral("overwrite"));
    if ((options->append || options->overwrite) && options->outputPath.isEmpty()) {
        *error = tr("--append and --overwrite apply to --output");
        return false;
    }
    if (options->append && options->overwrite) {
        *error = tr("--append and --overwrite exclude each other");
        return false;
    }

    options->post = parser.isSet(QStringLiteral("influx-url"));
    if (options->post) {
        options->influx = true;
        if (!readInfluxTarget(parser, &options->target, error))
            return false;
    } else {
        for (const char *name : {"database", "retention-policy", "username", "password-file",
                                 "bucket", "org", "token-file"}) {
            if (parser.isSet(QLatin1String(name))) {
                *error = tr("--%1 needs --influx-url").arg(QLatin1String(name));
                return false;
            }
        }
    }
    if (options->influx && !options->outputPath.isEmpty()) {
        *error = tr("--output writes CSV; line protocol goes to standard output or --influx-url");
        return false;
    }

    options->measurement = parser.value(QStringLiteral("measurement"));
    const bool pointOptions
        = parser.isSet(QStringLiteral("measurement")) || parser.isSet(QStringLiteral("tag"));
    if (pointOptions && !options->influx) {
        *error = tr("--measurement and --tag apply to line protocol (--format influx or "
                    "--influx-url)");
        return false;
    }
    if (options->measurement.isEmpty()) {
        *error = tr("--measurement takes a name");
        return false;
    }
    QStringList keys = LineProtocol::ownTagKeys();
    for (const QString &text : parser.values(QStringLiteral("tag"))) {
        QPair<QString, QString> tag;
        if (!LineProtocol::parseTag(text, &tag)) {
            *error = tr("--tag \"%1\" is not key=value").arg(text);
            return false;
        }
        if (keys.contains(tag.first)) {
            *error = LineProtocol::ownTagKeys().contains(tag.first)
                ? tr("--tag %1: the log sets the tags %2 itself")
                      .arg(tag.first, LineProtocol::ownTagKeys().join(QStringLiteral(", ")))
                : tr("--tag %1 is given twice").arg(tag.first);
            return false;
        }
        keys << tag.first;
        options->extraTags.append(tag);
    }

    bool ok = false;
    options->bufferLimit = parser.value(QStringLiteral("buffer")).toInt(&ok);
    if (!ok || options->bufferLimit < 1) {
        *error = tr("--buffer takes a count of readings, at least 1");
        return false;
    }
    if (parser.isSet(QStringLiteral("duration"))) {
        const double seconds = parser.value(QStringLiteral("duration")).toDouble(&ok);
        if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > 1e6) {
            *error = tr("--duration takes seconds, more than 0");
            return false;
        }
        options->durationMs = qMax(1, int(seconds * 1000));
    }
    return true;
}

ReadingLog::ReadingLog(const Options &options, StandardOutput &out, QTextStream &messages,
                       QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_out(out)
    , m_messages(messages)
    , m_client(new InstrumentClient(options.timeoutMs, this))
    , m_sync(new QTimer(this))
    , m_askAgain(new QTimer(this))
    , m_noReading(new QTimer(this))
{
    connect(m_sync, &QTimer::timeout, this, [this] {
        if (!m_file.sync())
            stop(OutputFailed);
    });
    m_askAgain->setInterval(options.timeoutMs);
    connect(m_askAgain, &QTimer::timeout, this, &ReadingLog::askAgain);
    m_noReading->setSingleShot(true);
    connect(m_noReading, &QTimer::timeout, this, [this] {
        message(tr("No reading arrived within %1 s.").arg(m_options.timeoutMs / 1000.0));
        stop(NoAnswer);
    });
}

ReadingLog::~ReadingLog() = default;

void ReadingLog::message(const QString &text)
{
    m_messages << "rimeglass-cli: " << text << "\n";
    m_messages.flush();
}

void ReadingLog::note(const QString &text)
{
    if (!m_options.quiet)
        message(text);
}

int ReadingLog::run()
{
    if (!m_options.outputPath.isEmpty() && QFileInfo::exists(m_options.outputPath)
        && !m_options.append && !m_options.overwrite) {
        message(tr("%1 exists: give --append to add to it or --overwrite to replace it. Nothing "
                   "was logged.")
                    .arg(m_options.outputPath));
        return RefusedInput;
    }
    const int status = connectInstrument();
    if (status != Success)
        return status;
    if (!openOutput())
        return OutputFailed;
    followSession();
    checkSerialOutput(m_settings);

    TerminationWatcher watcher;
    watcher.install();
    connect(&watcher, &TerminationWatcher::terminationRequested, this, [this] { stop(Success); });
    if (m_options.durationMs > 0)
        QTimer::singleShot(m_options.durationMs, this, [this] { stop(Success); });
    m_loop.exec();
    return finish();
}

// No more readings: what is buffered is all there is to send.
int ReadingLog::finish()
{
    int status = m_status;
    m_client->session()->close();
    qint64 written = m_written;
    qint64 lost = m_lost + m_held.size();
    if (m_writer) {
        if (m_writer->refusal().isEmpty() && !m_writer->flush(m_options.timeoutMs)) {
            message(tr("InfluxDB did not take the last %1 readings before the end")
                        .arg(m_writer->waiting()));
            status = status == Success ? int(OutputFailed) : status;
        }
        written += m_writer->written();
        lost += m_writer->lost() + m_writer->waiting();
    }
    if (m_file.isOpen()) {
        if (!m_file.sync()) {
            message(m_file.errorText());
            status = status == Success ? int(OutputFailed) : status;
        }
        m_file.close();
    }
    if (status == Success && lost > 0)
        status = ReadingsLost;
    const QString summary = tr("Readings written: %1, lost: %2").arg(written).arg(lost);
    if (lost > 0)
        message(summary);
    else
        note(summary);
    return status;
}

// Opens the port, waits for the instrument and reads which sensor it uses, for the
// recording's header and the points' tags.
int ReadingLog::connectInstrument()
{
    QString error;
    if (!m_client->connectTo(m_options.portName, &error)) {
        message(error);
        return m_client->noAnswer() ? NoAnswer : PortError;
    }
    InstrumentSession *session = m_client->session();
    if (session->identity().bootLoader) {
        message(tr("The instrument runs its boot loader, which sends no readings: finish the "
                   "firmware upgrade first."));
        return RefusedInput;
    }
    if (!m_client->readBack(&m_settings, &error)) {
        message(error);
        return NoAnswer;
    }
    m_instrument = RecordingFile::Instrument::of(
        session->identity(),
        SettingsProtocol::readBackValues(m_settings).value(QStringLiteral("sensor")));
    return Success;
}

void ReadingLog::followSession()
{
    InstrumentSession *session = m_client->session();
    connect(session, &InstrumentSession::readingArrived, this, &ReadingLog::readingArrived);
    connect(session, &InstrumentSession::stateChanged, this, &ReadingLog::sessionStateChanged);
    connect(session, &InstrumentSession::identified, this, &ReadingLog::instrumentIdentified);
    connect(session, &InstrumentSession::readBackFinished, this, &ReadingLog::readBackFinished);
    connect(session, &InstrumentSession::noAnswer, this, &ReadingLog::identificationMissing);
    connect(session, &InstrumentSession::portLost, this, [this](const QString &portName) {
        note(tr("Port lost \u2014 waiting for %1 to come back").arg(portName));
    });
    connect(session, &InstrumentSession::portBack, this,
            [this](const QString &portName) { note(tr("%1 is back").arg(portName)); });
}

bool ReadingLog::openOutput()
{
    m_start = Reading::timeOf(m_client->session()->utcNanoseconds());
    if (m_options.influx) {
        startInstrument(m_instrument);
        if (m_options.post) {
            m_writer = new InfluxWriter(m_options.target, m_options.bufferLimit, this);
            connect(m_writer, &InfluxWriter::message, this, &ReadingLog::message);
            connect(m_writer, &InfluxWriter::refused, this, [this](const QString &reason) {
                message(reason);
                stop(OutputFailed);
            });
        }
        return true;
    }
    if (m_options.outputPath.isEmpty())
        return writeOut(RecordingFile::header(m_instrument));
    if (!openFile(m_options.outputPath, m_options.append))
        return false;
    m_sync->start(syncIntervalMs);
    return true;
}

// A file appended to gets the header's comment lines; its column line is there already.
bool ReadingLog::openFile(const QString &path, bool append)
{
    QByteArray header = RecordingFile::header(m_instrument);
    const bool continued = append && QFileInfo(path).size() > 0;
    if (continued && header.endsWith(columnLine))
        header.chop(columnLine.size());
    if (m_file.open(path, header, continued))
        return true;
    message(m_file.errorText());
    return false;
}

void ReadingLog::readingArrived(const Reading &reading)
{
    m_anyReading = true;
    m_noReading->stop();
    if (!m_holding) {
        write(reading);
        return;
    }
    m_held.append(reading);
    if (m_held.size() > m_options.bufferLimit) {
        m_held.removeFirst();
        ++m_lost;
    }
}

void ReadingLog::write(const Reading &reading)
{
    if (m_stopping) {
        ++m_lost;
        return;
    }
    if (m_options.influx) {
        const QByteArray point
            = LineProtocol::point(m_seriesKey, reading.kelvin, reading.utcNanoseconds);
        if (m_writer)
            m_writer->add(point);
        else if (writeOut(point + '\n'))
            ++m_written;
        return;
    }
    const QDateTime time = reading.time();
    if (writeOut(RecordingFile::row(time, m_start.msecsTo(time) / 1000.0, reading.kelvin)))
        ++m_written;
}

// To the file or standard output; a write that fails ends the log, and the bytes are lost.
bool ReadingLog::writeOut(const QByteArray &bytes)
{
    const bool written = m_file.isOpen() ? m_file.append(bytes) : m_out.write(bytes);
    if (written)
        return true;
    if (!m_stopping)
        message(m_options.outputPath.isEmpty() ? m_out.error() : m_file.errorText());
    ++m_lost;
    stop(OutputFailed);
    return false;
}

// --- The instrument after a lost port or a restart ---

// Until the instrument has said who it is, nobody knows whose readings arrive.
void ReadingLog::sessionStateChanged(InstrumentSession::State state)
{
    if (state == InstrumentSession::State::Identifying
        || state == InstrumentSession::State::WaitingForPort)
        m_holding = true;
}

void ReadingLog::instrumentIdentified(const InstrumentIdentity &identity)
{
    if (!m_holding)
        return;
    if (identity.bootLoader) {
        note(tr("The instrument on %1 runs its boot loader; the log goes on when the "
                "application runs again.")
                 .arg(m_options.portName));
        return;
    }
    if (!m_client->session()->isReadingBack())
        m_client->session()->readBack();
}

void ReadingLog::readBackFinished(const SettingsValues &values)
{
    if (!m_holding || m_client->session()->state() != InstrumentSession::State::Ready)
        return;
    m_askAgain->stop();
    adopt(m_client->session()->identity(), values);
    m_holding = false;
    const QList<Reading> held = m_held;
    m_held.clear();
    for (const Reading &reading : held)
        write(reading);
}

void ReadingLog::identificationMissing(const QString &reason)
{
    if (!m_holding || m_askAgain->isActive())
        return;
    message(reason + QLatin1Char(' ')
            + tr("Its readings wait until it has identified itself again."));
    m_askAgain->start();
}

void ReadingLog::askAgain()
{
    InstrumentSession *session = m_client->session();
    if (session->state() == InstrumentSession::State::Identifying)
        session->send(QStringLiteral("*IDN?\n"));
    else if (session->state() == InstrumentSession::State::Ready && !session->isReadingBack())
        session->readBack();
}

void ReadingLog::adopt(const InstrumentIdentity &identity, const SettingsValues &values)
{
    const RecordingFile::Instrument instrument = RecordingFile::Instrument::of(
        identity, SettingsProtocol::readBackValues(values).value(QStringLiteral("sensor")));
    if (instrument.serialNumber != m_instrument.serialNumber
        || instrument.model != m_instrument.model) {
        message(tr("Another instrument answers on %1: %2, serial number %3 (before: %4).")
                    .arg(m_options.portName, printable(instrument.model),
                         printable(instrument.serialNumber), printable(m_instrument.serialNumber)));
        m_instrument = instrument;
        startInstrument(instrument);
    } else if (instrument.sensor != m_instrument.sensor) {
        m_instrument = instrument;
        if (m_options.influx)
            startInstrument(instrument);
        else
            writeOut(RecordingFile::sensorLine(instrument.sensor));
    }
    checkSerialOutput(values);
}

// The points' tags, or the CSV's header: in a file of its own next to --output, or as
// comment lines on standard output.
void ReadingLog::startInstrument(const RecordingFile::Instrument &instrument)
{
    if (m_options.influx) {
        m_seriesKey = LineProtocol::seriesKey(
            m_options.measurement,
            LineProtocol::Tags{{QStringLiteral("serial"), instrument.serialNumber},
                               {QStringLiteral("model"), instrument.model},
                               {QStringLiteral("sensor"), instrument.sensor}}
                + m_options.extraTags);
        return;
    }
    if (!m_file.isOpen()) {
        QByteArray header = RecordingFile::header(instrument);
        header.chop(columnLine.size());
        writeOut(header);
        return;
    }
    m_file.close();
    const QString path = fileForInstrument(instrument.serialNumber);
    m_start = Reading::timeOf(m_client->session()->utcNanoseconds());
    note(tr("Its readings go to %1").arg(path));
    if (!openFile(path, false))
        stop(OutputFailed);
}

// cooldown.csv -> cooldown_SN0002.csv, or cooldown_SN0002-2.csv when that exists.
QString ReadingLog::fileForInstrument(const QString &serialNumber) const
{
    const QFileInfo given(m_options.outputPath);
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9._-]"));
    const QString stem = given.completeBaseName() + QLatin1Char('_')
        + QString(serialNumber).replace(unsafe, QStringLiteral("_"));
    const QString suffix = given.suffix().isEmpty() ? QString() : QLatin1Char('.') + given.suffix();
    QString path = given.dir().filePath(stem + suffix);
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = given.dir().filePath(stem + QStringLiteral("-%1").arg(n) + suffix);
    return path;
}

// An instrument whose serial output is off sends no reading of its own accord.
void ReadingLog::checkSerialOutput(const SettingsValues &values)
{
    bool ok = false;
    if (values.value(QStringLiteral("rs232:period")).toInt(&ok) != 0 || !ok)
        return;
    message(tr("The instrument's serial output is off: enable it with rimeglass-cli set %1 "
               "rs232-period=1000")
                .arg(m_options.portName));
    if (!m_anyReading)
        m_noReading->start(m_options.timeoutMs);
}

void ReadingLog::stop(int status)
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_status = status;
    m_loop.exit(status);
}
