#include "instrumentclient.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <limits>

InstrumentClient::InstrumentClient(int timeoutMs, QObject *parent)
    : QObject(parent)
    , m_session(new InstrumentSession(this))
    , m_timeoutMs(timeoutMs)
{
    m_session->setAnswerTimeout(timeoutMs);
}

bool InstrumentClient::connectTo(const QString &portName, QString *error)
{
    m_noAnswer = false;
    bool identified = false;
    QString failure;
    QObject context;
    connect(m_session, &InstrumentSession::openFailed, &context,
            [&](const QString &, const QString &reason) { failure = reason; });
    connect(m_session, &InstrumentSession::identified, &context, [&] { identified = true; });
    connect(m_session, &InstrumentSession::noAnswer, &context, [&](const QString &reason) {
        failure = reason;
        m_noAnswer = true;
    });
    if (m_session->open(portName)) {
        // The session's time-out ends the wait.
        waitUntil(
            [&] {
                return identified || m_noAnswer
                    || m_session->state() == InstrumentSession::State::WaitingForPort;
            },
            std::numeric_limits<int>::max());
    }
    if (m_session->state() == InstrumentSession::State::WaitingForPort) {
        m_session->close();
        failure = tr("%1 went away before the instrument identified itself.").arg(portName);
    }
    if (!identified)
        *error = failure;
    return identified;
}

bool InstrumentClient::readBack(SettingsValues *values, QString *error)
{
    bool finished = false;
    QObject context;
    connect(m_session, &InstrumentSession::readBackFinished, &context,
            [&](const SettingsValues &read) {
                *values = read;
                finished = true;
            });
    connect(m_session, &InstrumentSession::noAnswer, &context, [&](const QString &reason) {
        *error = reason;
        m_noAnswer = true;
    });
    m_noAnswer = false;
    m_session->readBack();
    waitUntil([&] { return finished || m_noAnswer || !m_session->isReadingBack(); },
              std::numeric_limits<int>::max());
    if (!finished && !m_noAnswer)
        *error = tr("The read-back ended before every setting was read.");
    return finished;
}

bool InstrumentClient::ask(const QString &query, const QString &key, QString *value, QString *error)
{
    bool answered = false;
    QObject context;
    connect(m_session, &InstrumentSession::parameterReceived, &context,
            [&](const QString &reportKey, const QString &reportValue) {
                if (reportKey != key || answered)
                    return;
                *value = reportValue;
                answered = true;
            });
    if (m_session->send(query + QLatin1Char('\n'))
        && waitUntil([&] { return answered || !m_session->device(); }, m_timeoutMs) && answered)
        return true;
    *error = tr("The instrument did not answer \"%1\" within %2 s.")
                 .arg(query)
                 .arg(m_timeoutMs / 1000.0);
    return false;
}

bool InstrumentClient::send(const QStringList &commands, QString *error)
{
    for (const QString &command : commands)
        m_session->send(command);
    const Device *device = m_session->device();
    const QSerialPort *port = device ? device->port : nullptr;
    if (port && waitUntil([port] { return port->bytesToWrite() == 0; }, m_timeoutMs))
        return true;
    *error = tr("The port did not take the commands within %1 s.").arg(m_timeoutMs / 1000.0);
    return false;
}

bool InstrumentClient::waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    // processEvents() with a time limit never sleeps; waiting for more events does, and
    // the tick wakes it to look at the deadline.
    QTimer tick;
    tick.start(50);
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}
