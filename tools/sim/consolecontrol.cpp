#include "consolecontrol.h"

#include "simulatedinstrument.h"

#include <QSocketNotifier>
#include <cerrno>
#include <cmath>
#include <unistd.h>

ConsoleControl::ConsoleControl(SimulatedInstrument *instrument, QObject *parent)
    : QObject(parent)
    , m_instrument(instrument)
    , m_notifier(new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this))
{
    connect(m_notifier, &QSocketNotifier::activated, this, &ConsoleControl::readInput);
}

void ConsoleControl::readInput()
{
    char buffer[1024];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
        return;
    if (n <= 0) {
        m_notifier->setEnabled(false); // end of input: nothing more will come
        return;
    }
    m_buffer.append(buffer, int(n));
    int lineFeed;
    while ((lineFeed = m_buffer.indexOf('\n')) >= 0) {
        handleCommand(m_buffer.left(lineFeed).trimmed());
        m_buffer.remove(0, lineFeed + 1);
    }
    if (m_buffer.size() > 4096)
        m_buffer.clear();
}

void ConsoleControl::handleCommand(const QByteArray &line)
{
    if (line.isEmpty())
        return;
    const QList<QByteArray> words = line.simplified().split(' ');
    if (words.size() == 2 && words.at(0) == "input") {
        bool ok = false;
        const double volts = words.at(1).toDouble(&ok);
        if (ok && std::isfinite(volts) && std::fabs(volts) <= 10.0) {
            m_instrument->setInputVoltage(volts);
            emit reply(QStringLiteral("input voltage %1 V").arg(volts, 0, 'f', 6));
            return;
        }
    }
    if (words.size() == 3 && words.at(0) == "set"
        && m_instrument->setAtKeys(words.at(1), words.at(2))
            == InstrumentSettings::Result::Accepted) {
        emit reply(QStringLiteral("%1 = %2").arg(
            QString::fromLatin1(words.at(1)),
            QString::fromLatin1(m_instrument->settings().value(words.at(1)))));
        return;
    }
    if (words.size() == 1 && words.at(0) == "count") {
        emit reply(
            QStringLiteral("%1 temperature lines sent").arg(m_instrument->temperaturesSent()));
        return;
    }
    emit reply(QStringLiteral("unknown control \"%1\"; try \"input <volts>\" (-10 to 10), "
                              "\"set <key> <value>\" or \"count\"")
                   .arg(QString::fromLocal8Bit(line)));
}
