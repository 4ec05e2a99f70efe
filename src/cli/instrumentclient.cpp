#include "instrumentclient.h"

#include "portopenfailure.h"
#include "settingsprotocol.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSerialPort>
#include <QTimer>

InstrumentClient::InstrumentClient(int timeoutMs, QObject *parent)
    : QObject(parent)
    , m_timeoutMs(timeoutMs)
{ }

bool InstrumentClient::connectTo(const QString &portName, QString *error)
{
    m_noAnswer = false;
    // A fresh link each time, as the window makes one at every Open.
    delete m_device;
    m_device = new Device(this);
    if (!m_device->openPort(portName)) {
        *error = PortOpenFailure::operatorText(m_device->port->error(),
                                               m_device->port->errorString(), portName);
        return false;
    }
    bool identified = false;
    connect(m_device, &Device::identified, this, [&identified] { identified = true; });
    const bool answered = waitUntil([&] { return identified; }, m_timeoutMs);
    disconnect(m_device, &Device::identified, this, nullptr);
    if (!answered) {
        m_noAnswer = true;
        *error = tr("No instrument answered on %1 within %2 s: check the cable, the port and "
                    "that the instrument is switched on.")
                     .arg(portName)
                     .arg(m_timeoutMs / 1000.0);
    }
    return answered;
}

bool InstrumentClient::readBack(QMap<QString, QString> *values, QString *error)
{
    for (int stage = 0; stage < SettingsProtocol::readBackStageCount(); ++stage) {
        // Like the window, any parameter report answers the query in flight.
        bool answered = false;
        const auto connection
            = connect(m_device, &Device::parameterReceived, this,
                      [&](const QString &key, const QString &value) {
                          values->insert(SettingsProtocol::readBackValues(key, value));
                          answered = true;
                      });
        m_device->serialSendCommand(SettingsProtocol::readBackQuery(stage));
        const bool ok = waitUntil([&] { return answered; }, m_timeoutMs);
        disconnect(connection);
        if (!ok) {
            m_noAnswer = true;
            *error = tr("The instrument did not answer \"%1\" within %2 s.")
                         .arg(SettingsProtocol::readBackQuery(stage).trimmed())
                         .arg(m_timeoutMs / 1000.0);
            return false;
        }
    }
    return true;
}

bool InstrumentClient::send(const QStringList &commands, QString *error)
{
    for (const QString &command : commands)
        m_device->serialSendCommand(command);
    return waitForOutput(error);
}

bool InstrumentClient::waitForOutput(QString *error)
{
    QSerialPort *port = m_device->port;
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
