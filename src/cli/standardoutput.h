#ifndef RIMEGLASS_STANDARDOUTPUT_H
#define RIMEGLASS_STANDARDOUTPUT_H

#include <QByteArray>
#include <QString>

// Standard output, written straight to its file descriptor, so that a write that fails
// (a full disk, a closed pipe) is noticed at once and named with the system's reason.
class StandardOutput
{
public:
    // Writes all of `bytes`; false, with error() set, when the system refuses them. After a
    // failure nothing more is written.
    bool write(const QByteArray &bytes);
    bool failed() const { return !m_error.isEmpty(); }
    // "Cannot write to standard output: No space left on device"
    QString error() const { return m_error; }

private:
    QString m_error;
};

#endif
