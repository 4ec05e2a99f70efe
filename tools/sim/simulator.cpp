#include "simulator.h"

#include "pseudoterminal.h"
#include "simulatedinstrument.h"

#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <algorithm>
#include <utility>

namespace {

// Automatic output waits while the tool lags this far behind (or nobody has the port
// open): a temperature missed is harmless, a pile of stale ones is not.
constexpr int maxUnreadForOutput = 64;
// What the tool leaves unread beyond this is dropped, as a real line would lose it.
constexpr int maxUnreadBytes = 256 * 1024;

QString printable(const QByteArray &bytes)
{
    QString text;
    for (const char byte : bytes) {
        const uchar c = uchar(byte);
        if (c >= 0x20 && c < 0x7f)
            text += QLatin1Char(byte);
        else if (c == '\n')
            text += QLatin1String("\\n");
        else if (c == '\r')
            text += QLatin1String("\\r");
        else
            text += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    return text;
}

} // namespace

Simulator::Simulator(const InstrumentConfig &config, QObject *parent)
    : QObject(parent)
    , m_instrument(new SimulatedInstrument(config, this))
    , m_terminal(new PseudoTerminal(this))
    , m_outputTimer(new QTimer(this))
    , m_speed(config.speed)
{
    m_outputTimer->setTimerType(Qt::PreciseTimer);
    m_terminal->setRecording(false);
    m_terminal->setUnreadLimit(maxUnreadBytes);
    connect(m_terminal, &PseudoTerminal::bytesReceived, this, &Simulator::logReceived);
    connect(m_terminal, &PseudoTerminal::bytesReceived, m_instrument,
            &SimulatedInstrument::handleBytes);
    connect(m_instrument, &SimulatedInstrument::transmit, this, &Simulator::logSent);
    if (config.packetMs > 0) {
        m_packetTimer = new QTimer(this);
        connect(m_instrument, &SimulatedInstrument::transmit, this,
                [this](const QByteArray &bytes) { m_packet += bytes; });
        connect(m_packetTimer, &QTimer::timeout, this, [this] {
            m_lastPacketBytes = m_packet.size();
            if (!m_packet.isEmpty())
                m_terminal->send(std::exchange(m_packet, QByteArray()));
        });
        m_packetTimer->start(config.packetMs);
    } else {
        connect(m_instrument, &SimulatedInstrument::transmit, m_terminal, &PseudoTerminal::send);
    }
    connect(m_instrument, &SimulatedInstrument::note, this, &Simulator::log);
    connect(m_terminal, &PseudoTerminal::note, this, &Simulator::log);
    connect(m_instrument, &SimulatedInstrument::automaticOutputPeriodChanged, this,
            &Simulator::updateOutputTimer);
    connect(m_outputTimer, &QTimer::timeout, this, &Simulator::sendAutomaticOutput);
}

Simulator::~Simulator()
{
    if (!m_linkPath.isEmpty() && QFileInfo(m_linkPath).symLinkTarget() == portName())
        QFile::remove(m_linkPath);
}

bool Simulator::start(QString *error)
{
    if (!m_instrument->powerUp(error))
        return false;
    if (!m_terminal->isOpen()) {
        if (error)
            *error = m_terminal->errorString();
        return false;
    }
    return true;
}

bool Simulator::createLink(const QString &path, QString *error)
{
    const QFileInfo existing(path);
    if (existing.isSymLink()) {
        QFile::remove(path);
    } else if (existing.exists()) {
        if (error)
            *error = QStringLiteral("%1 exists and is not a symbolic link; not replacing it")
                         .arg(path);
        return false;
    }
    if (!QFile::link(portName(), path)) {
        if (error)
            *error = QStringLiteral("cannot create the link %1").arg(path);
        return false;
    }
    m_linkPath = path;
    return true;
}

QString Simulator::portName() const
{
    return m_terminal->portName();
}

void Simulator::setAutomaticOutputEnabled(bool enabled)
{
    m_automaticOutput = enabled;
    updateOutputTimer(m_instrument->automaticOutputPeriod());
}

void Simulator::updateOutputTimer(int milliseconds)
{
    if (!m_automaticOutput || milliseconds <= 0) {
        m_outputTimer->stop();
        return;
    }
    // Faster than real time, at most one reading a millisecond. The timer ticks in whole
    // milliseconds; 10 ms at 7.2 times the speed is still 720 readings a second.
    m_outputIntervalMs = std::max(1.0, milliseconds / m_speed);
    m_outputClock.start();
    m_outputsDue = 0;
    m_outputTimer->start(int(m_outputIntervalMs));
}

void Simulator::sendAutomaticOutput()
{
    // Half an interval early still counts, so that a tick a little early does not slip a
    // whole interval.
    const qint64 due = qint64(m_outputClock.nsecsElapsed() / 1e6 / m_outputIntervalMs + 0.5);
    for (; m_outputsDue < due; ++m_outputsDue) {
        // A packet just handed over and not read yet is no lag.
        if (m_terminal->unreadByTool() <= maxUnreadForOutput + m_lastPacketBytes)
            m_instrument->sendTemperature();
    }
}

void Simulator::logReceived(const QByteArray &bytes)
{
    if (m_trafficLogged)
        emit log(QStringLiteral("<- ") + printable(bytes));
}

void Simulator::logSent(const QByteArray &bytes)
{
    if (m_trafficLogged)
        emit log(QStringLiteral("-> ") + printable(bytes));
}
