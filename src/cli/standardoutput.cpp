#include "standardoutput.h"

#include <QCoreApplication>
#include <cerrno>
#include <cstring>
#include <unistd.h>

bool StandardOutput::write(const QByteArray &bytes)
{
    if (failed())
        return false;
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            m_error = QCoreApplication::translate("Cli", "Cannot write to standard output: %1")
                          .arg(QString::fromLocal8Bit(std::strerror(written < 0 ? errno : EIO)));
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}
