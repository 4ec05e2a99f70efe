#ifndef RIMEGLASS_READINGLOG_H
#define RIMEGLASS_READINGLOG_H

#include "influxwriter.h"
#include "instrumentsession.h"
#include "lineprotocol.h"
#include "reading.h"
#include "recordingfile.h"

#include <QCommandLineOption>
#include <QDateTime>
#include <QEventLoop>
#include <QObject>
#include <QTextStream>

class InstrumentClient;
class QCommandLineParser;
class QTimer;
class StandardOutput;

// `rimeglass-cli log`: every reading with the time the session stamped it with, as the
// window's recording CSV or as InfluxDB line protocol, on standard output, into a file
// or posted to a server. While the session waits for a lost port, or for the instrument
// to identify itself again after a restart, the readings wait with it; once it has, they
// go out under the instrument that sent them: the same one goes on where it was, another
// one (another serial number) gets a file of its own or its own tags. Every reading is
// counted as written or lost, and the exit status says which.
class ReadingLog : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QString portName;
        int timeoutMs = 5000;
        bool quiet = false; // only errors on standard error
        bool influx = false;
        QString outputPath; // CSV into this file; empty: standard output
        bool append = false; // to an existing output file, after a new header comment
        bool overwrite = false;
        bool post = false; // line protocol to target; otherwise standard output
        InfluxWriter::Target target;
        QString measurement = QStringLiteral("temperature");
        LineProtocol::Tags extraTags;
        int bufferLimit = 100000;
        int durationMs = 0; // 0: until interrupted
    };

    static QList<QCommandLineOption> commandLineOptions();
    // Checks the options of the command line; false with the reason.
    static bool readOptions(const QCommandLineParser &parser, Options *options, QString *error);

    ReadingLog(const Options &options, StandardOutput &out, QTextStream &messages,
               QObject *parent = nullptr);
    ~ReadingLog() override;

    // Runs until interrupted, the duration has passed or the output fails; the command's
    // exit status.
    int run();

private:
    int connectInstrument();
    bool openOutput();
    bool openFile(const QString &path, bool append);
    void followSession();
    void readingArrived(const Reading &reading);
    void write(const Reading &reading);
    bool writeOut(const QByteArray &bytes);

    void sessionStateChanged(InstrumentSession::State state);
    void instrumentIdentified(const InstrumentIdentity &identity);
    void readBackFinished(const SettingsValues &values);
    void identificationMissing(const QString &reason);
    void askAgain();
    void adopt(const InstrumentIdentity &identity, const SettingsValues &values);
    void startInstrument(const RecordingFile::Instrument &instrument);
    QString fileForInstrument(const QString &serialNumber) const;
    void checkSerialOutput(const SettingsValues &values);

    int finish();
    void stop(int status);
    void message(const QString &text);
    void note(const QString &text);

    Options m_options;
    StandardOutput &m_out;
    QTextStream &m_messages;
    InstrumentClient *m_client;
    InfluxWriter *m_writer = nullptr;
    RecordingFile m_file;
    QTimer *m_sync;
    QTimer *m_askAgain;
    QTimer *m_noReading;
    QEventLoop m_loop;
    int m_status = 0;
    bool m_stopping = false;
    SettingsValues m_settings; // as read back when the log started
    RecordingFile::Instrument m_instrument;
    QDateTime m_start; // the session's time when the output started
    QByteArray m_seriesKey; // the points' measurement and tags
    bool m_holding = false; // readings wait until the instrument has identified itself
    QList<Reading> m_held;
    bool m_anyReading = false;
    qint64 m_written = 0; // to standard output or the file
    qint64 m_lost = 0;
};

#endif
