#include "instantpeer.h"

#include <cstring>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

bool startsWith(const std::string &line, const char *prefix)
{
    return line.compare(0, std::strlen(prefix), prefix) == 0;
}

std::string replyTo(const std::string &line)
{
    if (line == "*idn?" || line == "*IDN?")
        return "MORVA,ZURKD550-BS,00042,1.5.0.0\r\n";
    if (line == "@00")
        return "*COMPAT = 3cc3a93f426145ff95bf653df2686cb0\r\n";
    if (line == "@02")
        return "*ERASE_OK\r\n";
    if (startsWith(line, "@03 "))
        return "*WRITE_OK\r\n";
    if (line == ":cal:erase")
        return "*cal-erase-done\r\n";
    if (startsWith(line, ":cal:write "))
        return "*cal-write-done\r\n";
    if (line == ":cal:commit")
        return "*cal-commit-done\r\n";
    return std::string();
}

void writeAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return;
        done += size_t(n);
    }
}

// The peer's process: reads lines until the tool's side is gone for good.
[[noreturn]] void serve(int master)
{
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0)
            _exit(0);
        pending.append(buffer, size_t(n));
        size_t lineFeed;
        while ((lineFeed = pending.find('\n')) != std::string::npos) {
            const std::string reply = replyTo(pending.substr(0, lineFeed));
            pending.erase(0, lineFeed + 1);
            if (!reply.empty())
                writeAll(master, reply);
        }
    }
}

} // namespace

InstantPeer::~InstantPeer()
{
    stop();
}

bool InstantPeer::start()
{
    int master = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return false;
    slavePath = QString::fromLocal8Bit(name);

    termios attributes{};
    tcgetattr(slave, &attributes);
    cfmakeraw(&attributes);
    tcsetattr(slave, TCSANOW, &attributes);

    child = fork();
    if (child < 0) {
        ::close(master);
        return false;
    }
    if (child == 0) {
        ::close(slave);
        serve(master);
    }
    // This side keeps a descriptor of the tool's end open, so that the peer sees the
    // pair end only when stop() closes it.
    ::close(master);
    return true;
}

void InstantPeer::stop()
{
    if (slave >= 0) {
        ::close(slave);
        slave = -1;
    }
    if (child > 0) {
        int status = 0;
        waitpid(child, &status, 0);
        child = -1;
    }
}
