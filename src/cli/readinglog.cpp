#include "readinglog.h"

#include "instrumentclient.h"
#include "settingsprotocol.h"
#include "terminationwatcher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTimer>
#include <cstdio>

namespace {

const int syncIntervalMs = 1000;

} // namespace

bool ReadingLog::readOptions(const QCommandLineParser &parser, Options *options, QString *error)
{
    const QString format = parser.value(QStringLiteral("format"));
    if (format != QLatin1String("csv") && format != QLatin1String("influx")) {
        *error = tr("--format takes csv or influx");
        return false;
    }
    options->influx = format == QLatin1String("influx");
    options->outputPath = parser.value(QStringLiteral("output"));
    if (options->influx && !options->outputPath.isEmpty()) {
        *error = tr("--output writes CSV; line protocol goes to standard output or --influx-url");
        return false;
    }

    const QString url = parser.value(QStringLiteral("influx-url"));
    options->post = !url.isEmpty();
    if (options->post) {
        options->influx = true;
        options->target.url = QUrl(url);
        if (!options->target.url.isValid() || options->target.url.scheme().isEmpty()) {
            *error = tr("--influx-url \"%1\" is not a URL such as http://localhost:8086").arg(url);
            return false;
        }
        options->target.database = parser.value(QStringLiteral("database"));
        options->target.bucket = parser.value(QStringLiteral("bucket"));
        options->target.organisation = parser.value(QStringLiteral("org"));
        if (options->target.database.isEmpty() == options->target.bucket.isEmpty()) {
            *error = tr("--influx-url needs either --database (InfluxDB 1.x) or --bucket and "
                        "--org (InfluxDB 2.x)");
            return false;
        }
        const QString tokenFile = parser.value(QStringLiteral("token-file"));
        if (!tokenFile.isEmpty()) {
            QFile file(tokenFile);
            if (!file.open(QIODevice::ReadOnly)) {
                *error = tr("cannot read the token file %1: %2").arg(tokenFile, file.errorString());
                return false;
            }
            options->target.token = file.readAll().trimmed();
        } else {
            options->target.token = qgetenv("INFLUX_TOKEN").trimmed();
        }
    }

    for (const QString &text : parser.values(QStringLiteral("tag"))) {
        QPair<QString, QString> tag;
        if (!LineProtocol::parseTag(text, &tag)) {
            *error = tr("--tag \"%1\" is not key=value").arg(text);
            return false;
        }
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
        if (!ok || seconds <= 0 || seconds > 1e6) {
            *error = tr("--duration takes seconds, more than 0");
            return false;
        }
        options->durationMs = int(seconds * 1000);
    }
    return true;
}

ReadingLog::ReadingLog(const Options &options, QTextStream &messages, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_messages(messages)
    , m_client(new InstrumentClient(options.timeoutMs, this))
    , m_out(stdout)
    , m_sync(new QTimer(this))
{
    connect(m_sync, &QTimer::timeout, this, [this] { m_file.sync(); });
}

ReadingLog::~ReadingLog() = default;

void ReadingLog::message(const QString &text)
{
    m_messages << "rimeglass-cli: " << text << "\n";
    m_messages.flush();
}

int ReadingLog::run()
{
    const int status = connectInstrument();
    if (status != 0)
        return status;
    if (!openOutput())
        return 1;

    TerminationWatcher watcher;
    watcher.install();
    connect(&watcher, &TerminationWatcher::terminationRequested, this, [this] { stop(0); });
    if (m_options.durationMs > 0)
        QTimer::singleShot(m_options.durationMs, this, [this] { stop(0); });

    const int result = m_loop.exec();
    // No more readings: what is buffered is all there is to send.
    m_client->session()->close();
    if (m_writer && !m_writer->flush(m_options.timeoutMs))
        message(tr("%1 readings could not be posted to InfluxDB before the end")
                    .arg(m_writer->waiting()));
    if (m_writer && m_writer->dropped() > 0)
        message(tr("%1 readings were dropped in all").arg(m_writer->dropped()));
    if (m_file.isOpen()) {
        m_file.sync();
        m_file.close();
    }
    return result;
}

// Opens the port, waits for the instrument and reads which sensor it uses, for the
// recording's header and the points' tags.
int ReadingLog::connectInstrument()
{
    QString error;
    if (!m_client->connectTo(m_options.portName, &error)) {
        message(error);
        return m_client->noAnswer() ? 4 : 3;
    }
    InstrumentSession *session = m_client->session();
    if (session->identity().bootLoader) {
        message(tr("The instrument runs its boot loader, which sends no readings: finish the "
                   "firmware upgrade first."));
        return 5;
    }
    SettingsValues reports;
    if (!m_client->readBack(&reports, &error)) {
        message(error);
        return 4;
    }
    m_instrument = RecordingFile::Instrument::of(
        session->identity(),
        SettingsProtocol::readBackValues(reports).value(QStringLiteral("sensor")));
    connect(session, &InstrumentSession::readingArrived, this, &ReadingLog::readingArrived);
    connect(session, &InstrumentSession::portLost, this, [this](const QString &portName) {
        message(tr("Port lost \u2014 waiting for %1 to come back").arg(portName));
    });
    connect(session, &InstrumentSession::portBack, this,
            [this](const QString &portName) { message(tr("%1 is back").arg(portName)); });
    return 0;
}

bool ReadingLog::openOutput()
{
    m_start = Reading::timeOf(m_client->session()->utcNanoseconds());
    if (m_options.influx) {
        m_seriesKey = LineProtocol::seriesKey(
            LineProtocol::Tags{{QStringLiteral("serial"), m_instrument.serialNumber},
                               {QStringLiteral("model"), m_instrument.model}}
            + m_options.extraTags);
        if (m_options.post) {
            m_writer = new InfluxWriter(m_options.target, m_options.bufferLimit, this);
            connect(m_writer, &InfluxWriter::message, this, &ReadingLog::message);
        }
        return true;
    }
    const QByteArray header = RecordingFile::header(m_instrument);
    if (m_options.outputPath.isEmpty()) {
        m_out << header;
        m_out.flush();
        return true;
    }
    if (!m_file.open(m_options.outputPath, header)) {
        message(m_file.errorText());
        return false;
    }
    m_sync->start(syncIntervalMs);
    return true;
}

void ReadingLog::readingArrived(const Reading &reading)
{
    if (m_options.influx) {
        const QByteArray point
            = LineProtocol::point(m_seriesKey, reading.kelvin, reading.utcNanoseconds);
        if (m_writer) {
            m_writer->add(point);
        } else {
            // Each point at once, for a collector that reads standard output.
            m_out << point << "\n";
            m_out.flush();
        }
        return;
    }
    const QDateTime time = reading.time();
    const QByteArray row = RecordingFile::row(time, m_start.msecsTo(time) / 1000.0, reading.kelvin);
    if (m_options.outputPath.isEmpty()) {
        m_out << row;
        m_out.flush();
    } else if (!m_file.append(row)) {
        message(m_file.errorText());
        stop(1);
    }
}

void ReadingLog::stop(int status)
{
    m_loop.exit(status);
}
