#ifndef RIMEGLASS_TESTS_PTYPEER_H
#define RIMEGLASS_TESTS_PTYPEER_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>

class QIODevice;
class QSocketNotifier;

// The instrument's end of a pseudo-terminal pair. The code under test opens
// portName() with a real QSerialPort; the peer records every byte written to it and
// plays the instrument's lines back. It keeps a slave descriptor of its own open, so
// the pair survives the tool closing and reopening its side.
//
// Received bytes are also cut into tokens for the responder: a line up to and
// including its line feed, or a lone ETX byte (0x03), which the tool sends without
// a line feed.
class PtyPeer : public QObject
{
    Q_OBJECT

public:
    using Responder = std::function<QList<QByteArray>(const QByteArray &token)>;

    explicit PtyPeer(QObject *parent = nullptr);
    ~PtyPeer() override;

    bool isOpen() const { return master >= 0; }
    QString portName() const { return slavePath; }

    // Writes raw bytes to the tool, as the instrument would.
    void send(const QByteArray &bytes);
    // Writes text followed by CR LF, as the instrument ends its lines.
    void sendLine(const QByteArray &line);

    // Everything received since the last take, without waiting.
    QByteArray received() const { return receivedBytes; }
    QByteArray takeReceived();

    // Runs the event loop until the exchange with `tool` (the port the code under test
    // opened) has gone quiet: every byte sent to it read and handled, every byte it
    // wrote received, and every responder reply handled in turn. Exact, with no sleep.
    void settle(QIODevice *tool);
    // settle(), then everything received since the last take.
    QByteArray collect(QIODevice *tool);

    // Bytes written to the tool that its side has not read yet.
    int pendingForTool() const;

    // Runs the event loop until at least `count` bytes have arrived in total since
    // the last take (or the time-out passes); returns whether they did.
    bool waitForBytes(int count, int timeoutMs = 5000);
    // Runs the event loop until `needle` occurs in what was received.
    bool waitFor(const QByteArray &needle, int timeoutMs = 5000);

    // Called for every complete token; the lines it returns are sent back at once.
    void setResponder(const Responder &responder) { respond = responder; }

    // Closes the instrument's side altogether (the cable is pulled).
    void hangUp();

signals:
    void bytesReceived();

private:
    void readAvailable();
    void dispatchTokens();

    int master = -1;
    int slave = -1;
    QString slavePath;
    QSocketNotifier *notifier = nullptr;
    QByteArray receivedBytes;
    QByteArray pendingToken;
    Responder respond;
};

#endif
