#ifndef RIMEGLASS_INSTRUMENTCLIENT_H
#define RIMEGLASS_INSTRUMENTCLIENT_H

#include "device-serial.h"

#include <QMap>
#include <QObject>
#include <QString>
#include <functional>

// One instrument on one port for a command run from a script: the link of the window,
// with every answer awaited for at most the given time instead of for ever.
class InstrumentClient : public QObject
{
    Q_OBJECT

public:
    explicit InstrumentClient(int timeoutMs, QObject *parent = nullptr);

    // Opens the port and waits for the instrument's identification. False with the reason
    // in the operator's words; noAnswer() tells whether the port opened and then stayed
    // silent.
    bool connectTo(const QString &portName, QString *error);
    bool noAnswer() const { return m_noAnswer; }
    Device *device() const { return m_device; }

    // The ten settings, as the window reads them back.
    bool readBack(QMap<QString, QString> *values, QString *error);

    // Writes the commands and waits until they have left the port.
    bool send(const QStringList &commands, QString *error);

    // Runs the event loop until done() or the time given; false on time-out.
    bool waitUntil(const std::function<bool()> &done, int timeoutMs);
    int timeoutMs() const { return m_timeoutMs; }

private:
    bool waitForOutput(QString *error);

    Device *m_device = nullptr;
    int m_timeoutMs;
    bool m_noAnswer = false;
};

#endif
