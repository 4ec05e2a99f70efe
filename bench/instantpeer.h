#ifndef RIMEGLASS_BENCH_INSTANTPEER_H
#define RIMEGLASS_BENCH_INSTANTPEER_H

#include <QString>
#include <sys/types.h>

// An instrument that acknowledges at once, in a process of its own on the far end of a
// pseudo-terminal, so that none of its work counts as the tool's CPU time. It answers
// the identification query as a boot loader of 1.5.0.0 on hardware revision 1, and
// every erase, write and commit of either transfer with its acknowledgement line.
//
// Start it before the Qt application object exists: the process is forked.
class InstantPeer
{
public:
    InstantPeer() = default;
    ~InstantPeer();
    InstantPeer(const InstantPeer &) = delete;
    InstantPeer &operator=(const InstantPeer &) = delete;

    bool start();
    QString portName() const { return slavePath; }
    // Hangs up and waits for the peer's process to end.
    void stop();

private:
    int slave = -1;
    pid_t child = -1;
    QString slavePath;
};

#endif
