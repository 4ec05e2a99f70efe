#ifndef RIMEGLASS_SIM_CONSOLECONTROL_H
#define RIMEGLASS_SIM_CONSOLECONTROL_H

#include <QByteArray>
#include <QObject>
#include <QString>

class SimulatedInstrument;
class QSocketNotifier;

// Lines typed on standard input that change the world around the instrument:
// "input <volts>" puts a voltage on its voltage input, "set <key> <value>" changes a
// setting at the instrument's own keys ("set rs232:period 0" stops the readings), and
// "count" tells how many temperature lines it has sent. Standard input ending (or being
// /dev/null) changes nothing.
class ConsoleControl : public QObject
{
    Q_OBJECT

public:
    ConsoleControl(SimulatedInstrument *instrument, QObject *parent = nullptr);

signals:
    void reply(const QString &text);

private:
    void readInput();
    void handleCommand(const QByteArray &line);

    SimulatedInstrument *m_instrument;
    QSocketNotifier *m_notifier;
    QByteArray m_buffer;
};

#endif
