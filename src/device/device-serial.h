#ifndef RIMEGLASS_DEVICE_SERIAL_H
#define RIMEGLASS_DEVICE_SERIAL_H

#include <QByteArray>
#include <QObject>
#include <QString>

class QSerialPort;

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
    bool upgradeFirmware(const QByteArray &payload);
    void upgradeFirmwareStep();

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
    void deviceReset();
    void deviceRestarted();
    void deviceManagementMode();
    void temperatureChanged(double value);
    void progress(int state, int maxState);
    void parameterReceived(const QString &key, const QString &value);

public slots:
    void serialRead();
    void serialParse();
    void serialParseLine(const QByteArray &line);

private:
    // Set while the rest of an overlong line, whose beginning was dropped, still arrives.
    bool discardingLongLine = false;

    void handleResetAnnouncement(const QString &text);
    void handleBootstrapAnnouncement(const QString &text);
    void handleManagementAnnouncement(const QString &text);
    void handleApplicationAnnouncement(const QString &text);
    void handleTemperature(const QString &text);
    void handleIdentification(const QString &text);
    void identifyRecognisedModel();
    void handleCompat(const QString &text);
    void handleCalibrationAcknowledgement(const QString &text);
    void handleFirmwareAcknowledgement(const QString &text);
    void handleParameter(const QString &text);

    void sendMeasurementQuery(const QString &query);

    void startTransfer(const QByteArray &payload, int chunkSize);
    QByteArray nextChunkAsHex() const;
    void advanceTransfer();
    void finishTransfer();
};

#endif
