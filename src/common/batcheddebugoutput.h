#ifndef RIMEGLASS_BATCHEDDEBUGOUTPUT_H
#define RIMEGLASS_BATCHEDDEBUGOUTPUT_H

#include <QByteArray>

// Qt writes every message to standard error with a write of its own. The device link's
// debug lines come one for every line the instrument sends, and when standard error goes
// to a file or /dev/null those writes cost more than handling the lines themselves. This
// output keeps them, in order, and writes them in batches: once 64 KiB are waiting or the
// oldest has waited 100 ms, before any message of another kind or category, and at exit.
// Lines from other threads than the main one go out at once. On a terminal nothing
// changes: every line shows at once.
class BatchedDebugOutput
{
public:
    // Takes over Qt's message output for the debug lines of `category` when standard
    // error is not a terminal; returns whether it did.
    static bool install(const char *category);
    // Writes what is waiting (also done at exit).
    static void flush();
};

#endif
