#ifndef RIMEGLASS_INSTRUMENTSESSION_H
#define RIMEGLASS_INSTRUMENTSESSION_H

#include "device-serial.h"
#include "instrumentidentity.h"
#include "reading.h"
#include "settingstable.h"

#include <QObject>
#include <QSerialPort>
#include <QString>
#include <functional>

class QTimer;

// One instrument on one port, for the window and the command-line tool alike. The
// session owns the Device across Open, Close, a lost port and its return, and decides
// what is true about the instrument:
//
// - who it is: identified() only after a recognised, well-formed identification reply
//   (completed by its "*COMPAT = " answer from 1.4.0.0 on). A lone "*COMPAT = " line
//   never makes an identity; an unreadable reply is asked again ("*IDN?\n") up to three
//   times, then noAnswer() says so. What waited in the port before Open is discarded.
// - its readings: each stamped once, here, with the session's clock (UTC), at least a
//   nanosecond after the one before; every consumer takes that time.
// - its settings: the read-back asks SettingsTable's queries one after the other, each
//   once any parameter report has answered the one before, and ends with
//   readBackFinished(). A restart of the instrument during a read-back starts it again
//   after the new identification; the boot loader's identification ends it.
// - the port: a port that goes away (an adapter unplugged, the far end hung up) is
//   looked for once a second and opened again as Open does when it is back.
//
// States: Closed -> open() -> Identifying -> identified() -> Ready (the application)
// or BootLoader. A restart announced by the instrument goes back to Identifying; a
// transfer is Transferring until it ends; a lost port is WaitingForPort until it is
// back (Identifying) or close() is called. Nothing blocks: every step is taken from a
// line the instrument sends, or from a time-out.
class InstrumentSession : public QObject
{
    Q_OBJECT

public:
    enum class State { Closed, Identifying, Ready, BootLoader, WaitingForPort, Transferring };
    Q_ENUM(State)

    // Nanoseconds since the epoch, UTC.
    using Clock = std::function<qint64()>;

    explicit InstrumentSession(QObject *parent = nullptr);
    ~InstrumentSession() override;

    // Opens the port (closing what was open or awaited), discards what waited in it and
    // asks who is there. False, with openFailed() emitted, when the port does not open.
    bool open(const QString &portName);
    // Closes the port, or ends the wait for a lost one. A transfer under way fails.
    void close();

    State state() const { return m_state; }
    // The port opened or waited for; empty while Closed.
    QString portName() const { return m_portName; }
    // The last identification accepted since the port was opened; invalid before the
    // first and after close() or a lost port. Kept while the instrument restarts.
    const InstrumentIdentity &identity() const { return m_identity; }
    // The link while a port is open, else null. Its signals are the raw ones; the
    // session's signals are what the instrument is taken to have said.
    Device *device() const { return m_device; }

    // Writes a command line; false when no port is open.
    bool send(const QString &command);

    // Whether every identification of the application starts a read-back (the window);
    // off by default, where the caller asks with readBack() (the command-line tool).
    void setReadBackOnIdentification(bool readBack);
    // Reads the settings back now, or after the identification still awaited. Nothing
    // is asked of the boot loader.
    void readBack();
    // Whether a read-back runs, or waits for the identification to start.
    bool isReadingBack() const { return m_readBackStage >= 0 || m_readBackWanted; }

    // Both false, sending nothing, without a port or while the other kind of transfer
    // runs, with the reason in the operator's words in `refusal`; a calibration table is
    // also refused while the boot loader runs (it has no calibration store). The state
    // is Transferring until transferFinished() or transferFailed().
    bool uploadCalibration(const QByteArray &payload, QString *refusal = nullptr);
    // `imageRevision`: the hardware revision the image was chosen for.
    bool upgradeFirmware(const QByteArray &image, const QByteArray &imageRevision,
                         QString *refusal = nullptr);
    void cancelTransfer();
    void setTransferTimeouts(const Device::TransferTimeouts &timeouts);

    // How long the identification and each read-back query wait for their answer before
    // noAnswer(); 0 (the default) waits for ever.
    void setAnswerTimeout(int milliseconds);
    int answerTimeout() const { return m_answerTimeoutMs; }

    // The clock readings are stamped with; the system's UTC clock unless set (tests, the
    // soak run).
    void setClock(Clock clock);
    // The session's clock now (for "seconds since the log started").
    qint64 utcNanoseconds() const { return m_clock(); }

public slots:
    // A temperature the instrument reported: stamped with the session's clock and
    // announced as readingArrived(). Every "*T = " line of the link comes this way.
    void takeReading(double kelvin);
    // The voltage input's operations on the open port's link; nothing without one.
    void measureUncalibratedVoltage();
    void measureCalibratedVoltage();
    void sendVoltageCalibration(double offset, double slope);

signals:
    void stateChanged(InstrumentSession::State state);
    // The port opened: after open() and after a lost port was opened again.
    void opened(const QString &portName);
    // The port did not open; `reason` in the operator's words (PortOpenFailure).
    void openFailed(const QString &portName, const QString &reason);
    void identified(const InstrumentIdentity &identity);
    // The instrument announced a reset ("*RESET ").
    void instrumentReset();
    void readingArrived(const Reading &reading);
    // Every parameter report, read-back or not ("Vunc" and "Vcor" included).
    void parameterReceived(const QString &key, const QString &value);
    void readBackFinished(const SettingsValues &values);
    // An awaited answer did not come in time, or the identification could not be read;
    // `reason` in the operator's words.
    void noAnswer(const QString &reason);
    void portLost(const QString &portName);
    void portBack(const QString &portName);
    void transferProgress(int done, int total);
    void transferFinished(Device::Transfer transfer);
    void transferFailed(const Device::TransferFailureReport &report);

private:
    enum class Awaited { Nothing, Identification, ReadBackAnswer };

    bool openDevice(const QString &portName, QString *reason);
    void connectDevice();
    void discardDevice();
    void setState(State state);
    State settledState() const;

    void startIdentifying();
    void deviceIdentified();
    void identificationUnreadable();
    void acceptIdentity(const InstrumentIdentity &identity);
    void instrumentRestarting();

    void sendReadBackQuery();
    void deviceParameterReceived(const QString &key, const QString &value);
    void interruptReadBack();

    bool startTransfer(const std::function<bool()> &start, QString *refusal);
    void transferEnded();

    void portErrorOccurred(QSerialPort::SerialPortError error);
    void lookForLostPort();

    void await(Awaited awaited);
    void answerTimedOut();

    Device *m_device = nullptr;
    State m_state = State::Closed;
    QString m_portName;
    InstrumentIdentity m_identity;
    bool m_identityCurrent = false; // no restart since the identity was accepted
    int m_unreadableReplies = 0;

    bool m_readBackOnIdentification = false;
    bool m_readBackWanted = false; // to start (again) at the next identification
    int m_readBackStage = -1;
    SettingsValues m_readBackValues;

    Awaited m_awaited = Awaited::Nothing;
    int m_answerTimeoutMs = 0;
    QTimer *m_answerTimer;
    QTimer *m_portPoll;
    Device::TransferTimeouts m_transferTimeouts;

    Clock m_clock;
    qint64 m_lastReadingNanoseconds = 0;
};

#endif
