#include "progressreporter.h"

#include <QtGlobal>
#include <unistd.h>

ProgressReporter::ProgressReporter(std::FILE *stream)
    : m_stream(stream)
    , m_terminal(::isatty(::fileno(stream)) == 1)
{ }

void ProgressReporter::show(int state, int total)
{
    // After a short last chunk the count passes the total.
    const int done = qBound(0, state, total);
    const int percent = total > 0 ? int(qint64(done) * 100 / total) : 100;
    if (percent == m_lastPercent)
        return;
    m_lastPercent = percent;
    if (!m_terminal) {
        std::fprintf(m_stream, "progress %d %%\n", percent);
        return;
    }
    const int width = 40;
    const int filled = percent * width / 100;
    std::fprintf(m_stream, "\r[%.*s%*s] %3d %% (%d of %d bytes)", filled,
                 "########################################", width - filled, "", percent, done,
                 total);
    std::fflush(m_stream);
}

void ProgressReporter::finish()
{
    if (m_terminal && m_lastPercent >= 0)
        std::fputc('\n', m_stream);
    m_lastPercent = -1;
}
