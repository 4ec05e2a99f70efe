#ifndef RIMEGLASS_SIM_SIMULATOR_H
#define RIMEGLASS_SIM_SIMULATOR_H

#include "instrumentconfig.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

class SimulatedInstrument;
class PseudoTerminal;
class QTimer;

// One simulated instrument behind a pseudo-terminal: the bytes the tool writes go to the
// instrument, its lines come back, and a timer paces its automatic temperature output.
class Simulator : public QObject
{
    Q_OBJECT

public:
    explicit Simulator(const InstrumentConfig &config, QObject *parent = nullptr);
    ~Simulator() override;

    // Powers the instrument up (reading its state file) and opens the pseudo-terminal.
    bool start(QString *error);
    // A symbolic link at `path` to the port, removed again with the simulator. An earlier
    // link there is replaced; any other file is left alone and refused.
    bool createLink(const QString &path, QString *error);

    QString portName() const;
    SimulatedInstrument *instrument() const { return m_instrument; }

    // Temperature lines at the instrument's RS232 output period (off by default).
    void setAutomaticOutputEnabled(bool enabled);
    // Every byte received and every line sent, to log().
    void setTrafficLogged(bool logged) { m_trafficLogged = logged; }

signals:
    void log(const QString &text);

private:
    void updateOutputTimer(int milliseconds);
    void sendAutomaticOutput();
    void logReceived(const QByteArray &bytes);
    void logSent(const QByteArray &bytes);

    SimulatedInstrument *m_instrument;
    PseudoTerminal *m_terminal;
    QTimer *m_outputTimer;
    double m_speed;
    // The output's interval in milliseconds, not always a whole number of them, kept on
    // average by counting the readings due since the output started.
    double m_outputIntervalMs = 0.0;
    QElapsedTimer m_outputClock;
    qint64 m_outputsDue = 0;
    QTimer *m_packetTimer = nullptr;
    QByteArray m_packet;
    int m_lastPacketBytes = 0;
    bool m_automaticOutput = false;
    bool m_trafficLogged = false;
    QString m_linkPath;
};

#endif
