#ifndef RIMEGLASS_DEVICE_SERIAL_H
#define RIMEGLASS_DEVICE_SERIAL_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

class QSerialPort;
class QTimer;

// The link to one instrument on one serial port: line framing, the parser of the
// instrument's lines, the commands the link sends by itself, and the two
// acknowledgement-driven transfers (calibration table, firmware image).
// Nothing here blocks; every step is taken from a received line.
class Device : public QObject
{
    Q_OBJECT

public:
    enum ResetMode { ResetNormal = 0, ResetManagement = 1 };
    Q_ENUM(ResetMode)

    enum class Transfer { Calibration, Firmware };
    Q_ENUM(Transfer)

    // Why a transfer ended before its last command.
    enum class TransferFailure {
        TimedOut, // a step waited longer than its time-out
        Interrupted, // the instrument announced a restart
        UnexpectedAcknowledgement, // the other transfer's acknowledgement arrived
        RevisionUnknown, // the boot loader did not report its hardware revision
        RevisionMismatch, // the boot loader reports another revision than the image's
        OutputBlocked, // the port stopped taking what the tool writes
        PortClosed,
        Cancelled,
        // the boot loader's identification stayed garbled however often it was asked
        IdentificationGarbled,
        InstrumentError, // the instrument answered "*ERROR ..."
    };
    Q_ENUM(TransferFailure)

    struct TransferFailureReport
    {
        Transfer transfer = Transfer::Calibration;
        TransferFailure failure = TransferFailure::TimedOut;
        int offset = 0; // bytes the instrument acknowledged as written
        int total = 0;
        bool erased = false; // the erase command had gone out
        QByteArray imageRevision; // firmware: the revision the image was chosen for
        QByteArray reportedRevision; // firmware: the revision the instrument reported last
        // The instrument's own line: its "*ERROR ..." or the garbled identification.
        QString instrumentLine;
    };

    // How long each step of a transfer waits for the instrument before the transfer
    // fails. The defaults leave a real boot loader time for a slow flash erase.
    struct TransferTimeouts
    {
        int restartMs = 15000; // from the reset to the boot loader's identification
        int eraseMs = 30000; // the erase of the flash or of the calibration store
        int writeMs = 5000; // one write
        // an answer to a query: the identification asked again, the hardware revision
        int answerMs = 5000;
    };

    explicit Device(QObject *parent);
    ~Device() override;

    bool openPort(const QString &name);
    bool close();
    // Whether the far end of the open port has hung up: the device is gone, or the other
    // side of a pseudo-terminal was closed. Such a port keeps reporting read errors.
    bool portHungUp() const;
    void serialSendCommand(const QString &command);
    // The receive path below the port: takes bytes as a read brings them.
    void serialReceive(const QByteArray &bytes);

    void reset(ResetMode mode);
    void provision();
    void measureRaw();
    void measureUncalibrated();
    void measureCalibrated();
    void sendADCCalibration(double offset, double slope);

    // Both return false, sending nothing, while the other kind of transfer runs:
    // the two share one buffer. Restarting the same kind starts it afresh.
    bool uploadCalibration(const QByteArray &payload);
    void uploadCalibrationStep();
    // The image is refused when empty. imageRevision is the hardware revision the image
    // was chosen for (the current compat when empty); nothing is erased unless the boot
    // loader reports that same revision.
    bool upgradeFirmware(const QByteArray &payload, const QByteArray &imageRevision = QByteArray());
    void upgradeFirmwareStep();

    bool transferInProgress() const;
    // Whether the last identified() completed an identification reply of a known model
    // (with its "*COMPAT = " answer from 1.4.0.0 on); false when it came from a
    // "*COMPAT = " line that no such reply had asked for.
    bool identificationAnswered() const { return answeredIdentification; }
    // Ends the running transfer as failed; a firmware upgrade leaves the boot loader
    // running, so a new upgrade starts at its erase.
    void cancelTransfer();
    // Also applies to the step waiting now, counted afresh.
    void setTransferTimeouts(const TransferTimeouts &timeouts);

    QSerialPort *port = nullptr;
    QByteArray rxBuffer;
    QString vendor;
    QString model;
    QString version;
    QString serialNumber;
    quint32 versionCode = 0;
    QByteArray compat;
    bool bootstrap = false;
    bool resetPending = false;
    QByteArray transferData;
    qint32 transferOffset = 0;
    qint32 transferChunkSize = 0;
    qint32 calibrationState = -1;
    qint32 upgradeState = -1;

signals:
    void identified();
    // An identification reply ("MORVA,...") that is not four fields or names no model this
    // link knows, or during an upgrade one that is not well-formed (a version other than
    // one to four decimal numbers of 0 to 255); identified() does not follow it.
    void identificationUnrecognised();
    void deviceReset();
    void deviceRestarted();
    void deviceManagementMode();
    void temperatureChanged(double value);
    void progress(int state, int maxState);
    void parameterReceived(const QString &key, const QString &value);
    // Every transfer ends with exactly one of these two.
    void transferFinished(Device::Transfer transfer);
    void transferFailed(const Device::TransferFailureReport &report);

public slots:
    void serialRead();
    void serialParse();
    void serialParseLine(const QByteArray &line);

private:
    // Set while the rest of an overlong line, whose beginning was dropped, still arrives.
    bool discardingLongLine = false;

    QTimer *transferTimer = nullptr;
    TransferTimeouts timeouts;
    int TransferTimeouts::*runningTimeout = &TransferTimeouts::writeMs;
    QByteArray upgradeImageRevision;
    // "@00" went out and its "*COMPAT = " answer has not come yet.
    bool compatPending = false;
    bool answeredIdentification = false;
    // The running boot loader has reported its hardware revision since the last reset.
    bool bootLoaderRevisionKnown = false;
    // An upgrade that started in a boot loader whose identification on record is garbled
    // asked it again and waits for the answer.
    bool identificationAwaited = false;
    // How often the running upgrade asked again for a garbled identification.
    int identificationRequests = 0;
    // A transfer command went out and its acknowledgement has not come yet.
    bool acknowledgementAwaited = false;
    // Reads so far, whether one is being handled, and the read during which the awaited
    // command went out: an acknowledgement in that same read cannot answer it.
    quint64 readCount = 0;
    bool handlingRead = false;
    quint64 commandRead = 0;
    // Since the awaited command was handed to the port, and how long the line needs to
    // carry it: an acknowledgement sooner than that cannot answer it either.
    QElapsedTimer commandClock;
    qint64 commandLineNs = 0;
    // Bytes of the running transfer that the instrument acknowledged as written.
    int acknowledgedBytes = 0;

    void handleResetAnnouncement(const QString &text);
    void handleBootstrapAnnouncement(const QString &text);
    void handleManagementAnnouncement(const QString &text);
    void handleApplicationAnnouncement(const QString &text);
    void handleTemperature(const QString &text);
    void handleIdentification(const QString &text);
    void handleGarbledIdentification(const QString &text);
    bool bootLoaderIdentityOnRecord() const;
    bool identifyRecognisedModel();
    void handleCompat(const QString &text);
    void handleCalibrationAcknowledgement(const QString &text);
    void handleFirmwareAcknowledgement(const QString &text);
    void handleParameter(const QString &text);

    void sendMeasurementQuery(const QString &query);
    bool writeCommand(const QString &command);

    bool sendTransferCommand(const QString &command, int TransferTimeouts::*timeout);
    void startTransferTimer(int TransferTimeouts::*timeout);
    bool takesAcknowledgement();
    void interruptTransfer();
    void failTransfer(TransferFailure failure, const QString &instrumentLine = QString());
    void askForIdentificationAgain();
    void eraseFlash();
    void startTransfer(const QByteArray &payload, int chunkSize);
    QByteArray nextChunkAsHex() const;
    void advanceTransfer();
    void finishTransfer();
    void completeTransfer(Transfer transfer);
};

Q_DECLARE_METATYPE(Device::TransferFailureReport)

#endif
