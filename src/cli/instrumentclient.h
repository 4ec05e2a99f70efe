#ifndef RIMEGLASS_INSTRUMENTCLIENT_H
#define RIMEGLASS_INSTRUMENTCLIENT_H

#include "instrumentsession.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

// The instrument session for a command run from a script: each step waited for in turn,
// every answer for at most the given time.
class InstrumentClient : public QObject
{
    Q_OBJECT

public:
    explicit InstrumentClient(int timeoutMs, QObject *parent = nullptr);

    InstrumentSession *session() const { return m_session; }

    // Opens the port and waits until the instrument has identified itself. False with the
    // reason in the operator's words; noAnswer() tells whether the port opened and then
    // gave no usable answer.
    bool connectTo(const QString &portName, QString *error);
    bool noAnswer() const { return m_noAnswer; }

    // Reads the settings back as the window does.
    bool readBack(SettingsValues *values, QString *error);

    // Sends `query` (":volt:unc?") and waits for the report `key` ("Vunc") that answers it.
    bool ask(const QString &query, const QString &key, QString *value, QString *error);

    // Writes the commands and waits until they have left the port.
    bool send(const QStringList &commands, QString *error);

    // Runs the event loop until done() or the time given; false on time-out.
    bool waitUntil(const std::function<bool()> &done, int timeoutMs);

private:
    InstrumentSession *m_session;
    int m_timeoutMs;
    bool m_noAnswer = false;
};

#endif
