#ifndef RIMEGLASS_FUZZ_FUZZSUPPORT_H
#define RIMEGLASS_FUZZ_FUZZSUPPORT_H

// What the harnesses share: a quiet debug log and a check that stops the run.

#include <QtGlobal>
#include <cstdlib>

namespace fuzzsupport {

// The tool logs every line it reads; millions of runs would only fill the terminal.
inline void silenceDebugLog()
{
    static const bool silenced
        = (qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {}),
           true);
    (void)silenced;
}

// A broken invariant is a finding, like a crash.
inline void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace fuzzsupport

#endif
