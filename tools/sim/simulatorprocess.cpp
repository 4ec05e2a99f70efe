#include "simulatorprocess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

namespace {

const int startTimeoutMs = 10000;
const int stopTimeoutMs = 10000;

} // namespace

SimulatorProcess::SimulatorProcess(const QStringList &arguments)
    : m_arguments(arguments)
{ }

SimulatorProcess::~SimulatorProcess()
{
    if (m_process.state() != QProcess::NotRunning)
        kill();
}

bool SimulatorProcess::start()
{
    m_process.start(QStringLiteral(RIMEGLASS_SIM_EXECUTABLE), m_arguments);
    if (!m_process.waitForStarted(startTimeoutMs))
        return false;
    const QDeadlineTimer deadline(startTimeoutMs);
    while (!m_process.canReadLine() && m_process.state() == QProcess::Running
           && !deadline.hasExpired())
        m_process.waitForReadyRead(50);
    if (!m_process.canReadLine()) {
        errors();
        return false;
    }
    m_portName = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    return !m_portName.isEmpty();
}

void SimulatorProcess::command(const QByteArray &line)
{
    m_process.write(line + '\n');
}

bool SimulatorProcess::waitForMessage(const QByteArray &text, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!errors().contains(text) && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return m_errors.contains(text);
}

QByteArray SimulatorProcess::errors()
{
    m_errors += m_process.readAllStandardError();
    return m_errors;
}

bool SimulatorProcess::stop()
{
    m_process.terminate();
    const bool finished = m_process.waitForFinished(stopTimeoutMs);
    errors();
    return finished && m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
}

bool SimulatorProcess::kill()
{
    m_process.kill();
    return m_process.waitForFinished(stopTimeoutMs);
}
