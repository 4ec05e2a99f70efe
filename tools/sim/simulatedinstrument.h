#ifndef RIMEGLASS_SIM_SIMULATEDINSTRUMENT_H
#define RIMEGLASS_SIM_SIMULATEDINSTRUMENT_H

#include "faultinjector.h"
#include "instrumentconfig.h"
#include "instrumentsettings.h"
#include "temperaturecurve.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QTimer;

// The simulated temperature monitor, both its application firmware and its boot loader:
// it takes the bytes the tool writes and sends back, through transmit(), the lines the
// real instrument would send (each ending in CR LF). It knows nothing of the transport,
// so tests can feed it bytes directly or put it behind a pseudo-terminal.
class SimulatedInstrument : public QObject
{
    Q_OBJECT

public:
    enum class Mode {
        Application, // the application firmware runs
        BootWindow, // just reset: the boot loader waits for ETX before it starts the application
        Management, // the boot loader was kept and takes firmware commands
    };
    Q_ENUM(Mode)

    // Flash left to the application next to the boot loader: the microcontroller of either
    // hardware revision (STM32G071KB, STM32G070KB) has 128 KiB, of which the boot loader
    // keeps 8 KiB. A firmware image is at most this size; writes beyond it are refused.
    static constexpr int applicationFlashBytes = 120 * 1024;

    explicit SimulatedInstrument(const InstrumentConfig &config, QObject *parent = nullptr);

    // Loads the state file, when there is one. False, with the reason, when it is
    // unreadable or holds what the instrument would not accept.
    bool powerUp(QString *error);

    // Bytes as they come off the line: commands end in LF or CR; ETX (0x03) drops the
    // line begun so far and, in the boot window, keeps the boot loader.
    void handleBytes(const QByteArray &bytes);
    // One command line without its terminator.
    void handleLine(const QByteArray &line);

    // One automatic temperature line; sends nothing unless the application runs.
    void sendTemperature();
    // Automatic temperature lines sent since power-up.
    qint64 temperaturesSent() const { return m_temperaturesSent; }
    void setInputVoltage(double volts) { m_config.inputVoltage = volts; }
    // A setting changed at the instrument's own keys, as a set command changes it but
    // without a reply on the line.
    InstrumentSettings::Result setAtKeys(const QByteArray &key, const QByteArray &value);

    Mode mode() const { return m_mode; }
    QString firmwareVersion() const { return m_firmwareVersion; }
    const InstrumentSettings &settings() const { return m_settings; }
    const InstrumentSettings &savedSettings() const { return m_saved; }
    QByteArray calibrationTable() const { return m_calibrationTable; }
    QByteArray flash() const { return m_flash; }
    // The RS232 automatic output period while the application runs; 0 otherwise.
    int automaticOutputPeriod() const;

public slots:
    // The boot window ran out without ETX: start the application if there is one.
    void endBootWindow();

signals:
    void transmit(const QByteArray &bytes);
    void automaticOutputPeriodChanged(int milliseconds);
    // Things worth telling whoever runs the simulator (files written, faults applied).
    void note(const QString &text);

private:
    void handleApplicationLine(const QByteArray &line);
    void handleBootLoaderLine(const QByteArray &line);
    void handleSettingCommand(const QByteArray &line);
    void handleVoltageCommand(const QByteArray &line);

    void sendLine(const QByteArray &line);
    void sendAcknowledgement(const QByteArray &line);
    void sendError(const QByteArray &reason);
    void sendIdentification();
    void sendCompat();

    void reset();
    void startApplication();
    void enterManagementMode();
    void announceOutputPeriod();

    void save();
    void eraseCalibrationStore();
    void writeCalibrationStore(const QByteArray &argument);
    void commitCalibrationStore();
    void eraseFlash();
    void writeFlash(const QByteArray &argument);
    void boot();
    bool hasApplication() const;
    void adoptWrittenImage();

    qint32 measuredMicrovolts() const;
    bool writeState();
    void writeDump(const QString &path, const QByteArray &bytes, const QString &what);

    InstrumentConfig m_config;
    Mode m_mode = Mode::Application;
    QString m_firmwareVersion;
    InstrumentSettings m_settings;
    InstrumentSettings m_saved;
    QByteArray m_calibrationTable;
    QByteArray m_calibrationPending;
    bool m_calibrationErased = false;
    QByteArray m_flash;
    bool m_flashErased = false;
    QByteArray m_lineBuffer;
    bool m_lineTooLong = false;
    int m_announcedPeriod = -1;
    double m_seconds = 0.0;
    qint64 m_temperaturesSent = 0;
    TemperatureCurve m_curve;
    FaultInjector m_faults;
    QTimer *m_bootWindow;
};

#endif
