#include "ptypeer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QIODevice>
#include <QSocketNotifier>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

PtyPeer::PtyPeer(QObject *parent)
    : QObject(parent)
{
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        master = slave = -1;
        return;
    }
    slavePath = QString::fromLocal8Bit(name);

    termios attributes{};
    tcgetattr(slave, &attributes);
    cfmakeraw(&attributes);
    tcsetattr(slave, TCSANOW, &attributes);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    notifier = new QSocketNotifier(master, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &PtyPeer::readAvailable);
}

PtyPeer::~PtyPeer()
{
    hangUp();
}

void PtyPeer::hangUp()
{
    if (notifier) {
        notifier->setEnabled(false);
        delete notifier;
        notifier = nullptr;
    }
    if (slave >= 0)
        ::close(slave);
    if (master >= 0)
        ::close(master);
    master = slave = -1;
}

void PtyPeer::send(const QByteArray &bytes)
{
    qint64 done = 0;
    while (master >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            // The tool has not read yet: let it, then go on.
            pollfd pending{master, POLLOUT, 0};
            ::poll(&pending, 1, 10);
            QCoreApplication::processEvents();
        } else {
            break;
        }
    }
}

void PtyPeer::sendLine(const QByteArray &line)
{
    send(line + "\r\n");
}

QByteArray PtyPeer::takeReceived()
{
    readAvailable();
    QByteArray all;
    all.swap(receivedBytes);
    return all;
}

int PtyPeer::pendingForTool() const
{
    int pending = 0;
    if (slave >= 0)
        ::ioctl(slave, FIONREAD, &pending);
    return pending;
}

void PtyPeer::settle(QIODevice *tool)
{
    // The kernel hands bytes between the two ends of a pty asynchronously, so one
    // quiet look proves nothing: the exchange counts as settled once it has stayed
    // quiet for a while.
    const int quietMs = 25;
    const auto quiet = [&] {
        pollfd ends[2] = {{master, POLLIN, 0}, {slave, POLLIN, 0}};
        const bool pending = master >= 0 && ::poll(ends, 2, 0) > 0;
        return !pending
            && (!tool || !tool->isOpen()
                || (tool->bytesAvailable() == 0 && tool->bytesToWrite() == 0));
    };
    const QDeadlineTimer deadline(10000);
    QElapsedTimer quietFor;
    quietFor.start();
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        readAvailable();
        if (!quiet())
            quietFor.restart();
        else if (quietFor.elapsed() >= quietMs)
            break;
        else
            ::usleep(500);
    }
}

QByteArray PtyPeer::collect(QIODevice *tool)
{
    settle(tool);
    return takeReceived();
}

bool PtyPeer::waitForBytes(int count, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (receivedBytes.size() < count && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        readAvailable();
    }
    return receivedBytes.size() >= count;
}

bool PtyPeer::waitFor(const QByteArray &needle, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!receivedBytes.contains(needle) && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        readAvailable();
    }
    return receivedBytes.contains(needle);
}

void PtyPeer::readAvailable()
{
    if (master < 0)
        return;
    char buffer[4096];
    bool any = false;
    for (;;) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        receivedBytes.append(buffer, int(n));
        pendingToken.append(buffer, int(n));
        any = true;
    }
    if (!any)
        return;
    dispatchTokens();
    emit bytesReceived();
}

void PtyPeer::dispatchTokens()
{
    int start = 0;
    for (int i = 0; i < pendingToken.size(); ++i) {
        const char byte = pendingToken.at(i);
        if (byte != '\n' && byte != '\x03')
            continue;
        const QByteArray token = pendingToken.mid(start, i + 1 - start);
        start = i + 1;
        if (respond) {
            const QList<QByteArray> replies = respond(token);
            for (const QByteArray &reply : replies)
                sendLine(reply);
        }
    }
    pendingToken.remove(0, start);
}
