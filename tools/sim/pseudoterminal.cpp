#include "pseudoterminal.h"

#include "instrumentlimits.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QIODevice>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

PseudoTerminal::PseudoTerminal(QObject *parent)
    : QObject(parent)
    , m_arrivalTimer(new QTimer(this))
{
    m_clock.start();
    // A coarse timer may fire early; the arrival is checked against the clock anyway.
    m_arrivalTimer->setTimerType(Qt::PreciseTimer);
    m_arrivalTimer->setSingleShot(true);
    connect(m_arrivalTimer, &QTimer::timeout, this, &PseudoTerminal::deliverCarried);

    char name[256] = {};
    if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_error = QStringLiteral("cannot open a pseudo-terminal: %1")
                      .arg(QString::fromLocal8Bit(std::strerror(errno)));
        m_master = m_slave = -1;
        return;
    }
    m_path = QString::fromLocal8Bit(name);

    // Raw bytes both ways: no echo, no line editing, no CR/LF translation.
    termios attributes{};
    tcgetattr(m_slave, &attributes);
    cfmakeraw(&attributes);
    cfsetispeed(&attributes, B115200);
    cfsetospeed(&attributes, B115200);
    tcsetattr(m_slave, TCSANOW, &attributes);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    fcntl(m_master, F_SETFD, FD_CLOEXEC);
    fcntl(m_slave, F_SETFD, FD_CLOEXEC);

    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &PseudoTerminal::readAvailable);
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &PseudoTerminal::writePending);
}

PseudoTerminal::~PseudoTerminal()
{
    hangUp();
}

void PseudoTerminal::hangUp()
{
    delete m_readNotifier;
    delete m_writeNotifier;
    m_readNotifier = m_writeNotifier = nullptr;
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
    m_master = m_slave = -1;
    m_pending.clear();
    m_carried.clear();
}

void PseudoTerminal::send(const QByteArray &bytes)
{
    if (m_master < 0)
        return;
    if (m_unreadLimit > 0 && unreadByTool() + bytes.size() > m_unreadLimit) {
        emit note(QStringLiteral("the tool is not reading: %1 bytes dropped")
                      .arg(m_pending.size() + bytes.size()));
        m_pending.clear();
        return;
    }
    m_pending.append(bytes);
    writePending();
}

void PseudoTerminal::sendLine(const QByteArray &line)
{
    send(line + "\r\n");
}

void PseudoTerminal::writePending()
{
    while (!m_pending.isEmpty() && m_master >= 0) {
        const ssize_t n = ::write(m_master, m_pending.constData(), size_t(m_pending.size()));
        if (n > 0)
            m_pending.remove(0, int(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break; // full for now; the write notifier calls again
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(!m_pending.isEmpty());
}

int PseudoTerminal::unreadByTool() const
{
    int unread = 0;
    if (m_slave >= 0)
        ::ioctl(m_slave, FIONREAD, &unread);
    return unread + m_pending.size();
}

QByteArray PseudoTerminal::takeReceived()
{
    readAvailable();
    QByteArray all;
    all.swap(m_received);
    return all;
}

void PseudoTerminal::settle(QIODevice *tool)
{
    // The kernel hands bytes between the two ends asynchronously, so one quiet look
    // proves nothing: the exchange counts as settled once it has stayed quiet a while.
    const int quietMs = 25;
    // Bytes sent to a tool that is not reading stay unread for good: they do not count.
    const auto quiet = [&] {
        const bool toolReads = tool && tool->isOpen();
        pollfd ends[2] = {{m_master, POLLIN, 0}, {m_slave, POLLIN, 0}};
        const bool pending = m_master >= 0
            && (!m_pending.isEmpty() || !m_carried.isEmpty()
                || ::poll(ends, toolReads ? 2 : 1, 0) > 0);
        return !pending
            && (!toolReads || (tool->bytesAvailable() == 0 && tool->bytesToWrite() == 0));
    };
    const QDeadlineTimer deadline(10000);
    QElapsedTimer quietFor;
    quietFor.start();
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        readAvailable();
        deliverCarried();
        writePending();
        if (!quiet())
            quietFor.restart();
        else if (quietFor.elapsed() >= quietMs)
            break;
        else
            ::usleep(500);
    }
}

QByteArray PseudoTerminal::collect(QIODevice *tool)
{
    settle(tool);
    return takeReceived();
}

bool PseudoTerminal::waitForBytes(int count, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (m_received.size() < count && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        readAvailable();
    }
    return m_received.size() >= count;
}

bool PseudoTerminal::waitFor(const QByteArray &needle, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!m_received.contains(needle) && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        readAvailable();
    }
    return m_received.contains(needle);
}

void PseudoTerminal::readAvailable()
{
    if (m_master < 0)
        return;
    char buffer[4096];
    QByteArray bytes;
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0)
            bytes.append(buffer, int(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    if (bytes.isEmpty())
        return;
    if (m_recording)
        m_received.append(bytes);
    carry(bytes);
}

// The bytes were written no later than now; the line then needs ten bits a byte to
// carry them, after whatever it still carries.
void PseudoTerminal::carry(const QByteArray &bytes)
{
    m_lineFreeNs = qMax(m_clock.nsecsElapsed(), m_lineFreeNs)
        + rimeglass::InstrumentLimits::lineNanosecondsCeil(bytes.size());
    m_carried.append({m_lineFreeNs, bytes});
    if (!m_arrivalTimer->isActive())
        deliverCarried();
}

void PseudoTerminal::deliverCarried()
{
    while (!m_carried.isEmpty() && m_carried.first().arrivalNs <= m_clock.nsecsElapsed()) {
        const QByteArray bytes = m_carried.takeFirst().bytes;
        if (m_respond)
            dispatchTokens(bytes);
        emit bytesReceived(bytes);
    }
    if (m_carried.isEmpty()) {
        m_arrivalTimer->stop();
        return;
    }
    const qint64 waitNs = m_carried.first().arrivalNs - m_clock.nsecsElapsed();
    m_arrivalTimer->start(int((qMax<qint64>(waitNs, 0) + 999999) / 1000000));
}

void PseudoTerminal::dispatchTokens(const QByteArray &bytes)
{
    m_partialToken.append(bytes);
    int start = 0;
    for (int i = 0; i < m_partialToken.size(); ++i) {
        const char byte = m_partialToken.at(i);
        if (byte != '\n' && byte != '\x03')
            continue;
        const QByteArray token = m_partialToken.mid(start, i + 1 - start);
        start = i + 1;
        for (const QByteArray &reply : m_respond(token))
            sendLine(reply);
    }
    m_partialToken.remove(0, start);
}
