#ifndef RIMEGLASS_SIM_PSEUDOTERMINAL_H
#define RIMEGLASS_SIM_PSEUDOTERMINAL_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>

class QIODevice;
class QSocketNotifier;
class QTimer;

// The instrument's end of a pseudo-terminal: the tool opens portName() as its serial port
// (a real QSerialPort), and every byte both ways can be seen here. A descriptor of the
// tool's side stays open too, so the port can be closed and opened again as often as the
// tool likes. The simulator puts its instrument behind one; the tests and the benchmarks
// use it directly, to record what the tool wrote and to play the instrument's lines back.
//
// A pseudo-terminal carries bytes at once; the instrument's serial line does not. What
// the tool writes reaches the responder and bytesReceived() no sooner than a 115200-baud
// line would have carried it, byte after byte, so that whatever answers it answers no
// sooner than a real instrument could. What the tool wrote is recorded at once.
class PseudoTerminal : public QObject
{
    Q_OBJECT

public:
    // Called for every complete token the tool writes: a line up to and including its
    // line feed, or a lone ETX byte (0x03), which the tool sends without a line feed.
    // The lines it returns are sent back at once, each with CR LF.
    using Responder = std::function<QList<QByteArray>(const QByteArray &token)>;

    // Opens the pair at once; isOpen() and errorString() tell whether that worked.
    explicit PseudoTerminal(QObject *parent = nullptr);
    ~PseudoTerminal() override;

    bool isOpen() const { return m_master >= 0; }
    QString errorString() const { return m_error; }
    QString portName() const { return m_path; }

    // Queues bytes for the tool; never blocks.
    void send(const QByteArray &bytes);
    // Text followed by CR LF, as the instrument ends its lines.
    void sendLine(const QByteArray &line);
    // Bytes sent that the tool has not read yet.
    int unreadByTool() const;
    // Above this many unread bytes, what is sent is dropped (with a note), as a real line
    // would lose it; 0 (the default) keeps everything.
    void setUnreadLimit(int bytes) { m_unreadLimit = bytes; }

    // Every byte the tool wrote is kept until taken, unless recording is switched off.
    void setRecording(bool recording) { m_recording = recording; }
    QByteArray received() const { return m_received; }
    QByteArray takeReceived();
    void setResponder(const Responder &responder) { m_respond = responder; }

    // Runs the event loop until the exchange with `tool` (the port the code under test
    // opened) has gone quiet: every byte sent to it read and handled, every byte it
    // wrote received, and every responder reply handled in turn.
    void settle(QIODevice *tool);
    // settle(), then everything received since the last take.
    QByteArray collect(QIODevice *tool);
    // Runs the event loop until at least `count` bytes, or `needle`, have arrived since
    // the last take, or the time-out passes; returns whether they did.
    bool waitForBytes(int count, int timeoutMs = 5000);
    bool waitFor(const QByteArray &needle, int timeoutMs = 5000);

    // Closes the instrument's side altogether (the cable is pulled).
    void hangUp();

signals:
    // The tool's bytes, once the line has carried them.
    void bytesReceived(const QByteArray &bytes);
    // Things worth telling whoever runs the simulator.
    void note(const QString &text);

private:
    void readAvailable();
    void writePending();
    void carry(const QByteArray &bytes);
    void deliverCarried();
    void dispatchTokens(const QByteArray &bytes);

    struct Carried
    {
        qint64 arrivalNs; // on clock
        QByteArray bytes;
    };

    int m_master = -1;
    int m_slave = -1;
    QString m_path;
    QString m_error;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QByteArray m_pending;
    int m_unreadLimit = 0;
    bool m_recording = true;
    QByteArray m_received;
    QByteArray m_partialToken;
    Responder m_respond;
    QElapsedTimer m_clock;
    qint64 m_lineFreeNs = 0; // when the line has carried everything written so far
    QList<Carried> m_carried; // read from the tool, still on the line
    QTimer *m_arrivalTimer = nullptr;
};

#endif
