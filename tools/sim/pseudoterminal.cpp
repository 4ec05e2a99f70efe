#include "pseudoterminal.h"

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Output nobody reads is dropped beyond this, as a real line would lose it.
constexpr int maxPendingBytes = 256 * 1024;

} // namespace

PseudoTerminal::PseudoTerminal(QObject *parent)
    : QObject(parent)
{ }

PseudoTerminal::~PseudoTerminal()
{
    close();
}

bool PseudoTerminal::open(QString *error)
{
    char name[256] = {};
    if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        if (error)
            *error = QStringLiteral("cannot open a pseudo-terminal: %1")
                         .arg(QString::fromLocal8Bit(std::strerror(errno)));
        m_master = m_slave = -1;
        return false;
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
    return true;
}

void PseudoTerminal::close()
{
    delete m_readNotifier;
    delete m_writeNotifier;
    m_readNotifier = m_writeNotifier = nullptr;
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
    m_master = m_slave = -1;
}

void PseudoTerminal::write(const QByteArray &bytes)
{
    if (m_master < 0)
        return;
    if (m_pending.size() + bytes.size() > maxPendingBytes) {
        emit note(QStringLiteral("the tool is not reading: %1 bytes dropped")
                      .arg(m_pending.size() + bytes.size()));
        m_pending.clear();
        return;
    }
    m_pending.append(bytes);
    writePending();
}

void PseudoTerminal::writePending()
{
    while (!m_pending.isEmpty()) {
        const ssize_t n = ::write(m_master, m_pending.constData(), size_t(m_pending.size()));
        if (n > 0) {
            m_pending.remove(0, int(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break; // full for now; the write notifier calls again
        }
    }
    m_writeNotifier->setEnabled(!m_pending.isEmpty());
}

int PseudoTerminal::unreadByTool() const
{
    int unread = 0;
    if (m_slave >= 0)
        ::ioctl(m_slave, FIONREAD, &unread);
    return unread + m_pending.size();
}

void PseudoTerminal::readAvailable()
{
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
    if (!bytes.isEmpty())
        emit received(bytes);
}
