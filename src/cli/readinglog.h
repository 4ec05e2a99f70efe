#ifndef RIMEGLASS_READINGLOG_H
#define RIMEGLASS_READINGLOG_H

#include "influxwriter.h"
#include "lineprotocol.h"
#include "reading.h"
#include "recordingfile.h"

#include <QDateTime>
#include <QEventLoop>
#include <QObject>
#include <QTextStream>

class InstrumentClient;
class QCommandLineParser;
class QTimer;

// `rimeglass-cli log`: every reading with the time the session stamped it with, as the
// window's recording CSV or as InfluxDB line protocol, on standard output, into a file
// or posted to a server. While the session waits for a lost port to come back, the
// output waits with it and goes on where it was.
class ReadingLog : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QString portName;
        int timeoutMs = 5000;
        bool influx = false;
        QString outputPath; // CSV into this file; empty: standard output
        bool post = false; // line protocol to target; otherwise standard output
        InfluxWriter::Target target;
        LineProtocol::Tags extraTags;
        int bufferLimit = 100000;
        int durationMs = 0; // 0: until interrupted
    };

    // Checks the options of the command line; false with the reason.
    static bool readOptions(const QCommandLineParser &parser, Options *options, QString *error);

    ReadingLog(const Options &options, QTextStream &messages, QObject *parent = nullptr);
    ~ReadingLog() override;

    // Runs until interrupted or the duration has passed; the command's exit status.
    int run();

private:
    int connectInstrument();
    bool openOutput();
    void readingArrived(const Reading &reading);
    void stop(int status);
    void message(const QString &text);

    Options m_options;
    QTextStream &m_messages;
    InstrumentClient *m_client;
    InfluxWriter *m_writer = nullptr;
    RecordingFile m_file;
    QTextStream m_out;
    QTimer *m_sync;
    QEventLoop m_loop;
    RecordingFile::Instrument m_instrument;
    QDateTime m_start; // the session's time when the log started
    QByteArray m_seriesKey; // the points' measurement and tags
};

#endif
