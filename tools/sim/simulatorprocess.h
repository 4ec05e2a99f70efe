#ifndef RIMEGLASS_SIM_SIMULATORPROCESS_H
#define RIMEGLASS_SIM_SIMULATORPROCESS_H

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// The rimeglass-sim program as an instrument in a process of its own, for the journeys and
// the benchmarks: started with the given options, its port taken from the first line it
// prints, its messages collected from standard error. A process still running is killed
// with the object.
class SimulatorProcess
{
public:
    explicit SimulatorProcess(const QStringList &arguments);
    ~SimulatorProcess();

    // Starts the program and waits for its port; false, with the program's messages in
    // errors(), when it does not come up.
    bool start();
    QString portName() const { return m_portName; }

    // A command on the program's standard input ("input 0.25").
    void command(const QByteArray &line);
    // Runs the event loop until `text` has appeared on standard error.
    bool waitForMessage(const QByteArray &text, int timeoutMs = 10000);
    QByteArray errors();

    // SIGTERM, then the wait for a clean exit (exit code 0).
    bool stop();
    // SIGKILL: the instrument dies without closing anything itself.
    bool kill();

private:
    QProcess m_process;
    QStringList m_arguments;
    QString m_portName;
    QByteArray m_errors;
};

#endif
