#ifndef RIMEGLASS_PROGRESSREPORTER_H
#define RIMEGLASS_PROGRESSREPORTER_H

#include <cstdio>

// The progress of a transfer on standard error: a bar redrawn in place on a terminal,
// otherwise one line per percent reached, for logs.
class ProgressReporter
{
public:
    explicit ProgressReporter(std::FILE *stream);

    void show(int state, int total);
    // Ends the bar's line.
    void finish();

private:
    std::FILE *m_stream;
    bool m_terminal;
    int m_lastPercent = -1;
};

#endif
