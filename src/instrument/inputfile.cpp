#include "inputfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

Q_LOGGING_CATEGORY(instrumentLog, "rimeglass.instrument")

QString sizeText(qint64 bytes)
{
    const qint64 mebibyte = 1024 * 1024;
    return bytes % mebibyte == 0 ? InputFile::tr("%1 MiB").arg(bytes / mebibyte)
                                 : InputFile::tr("%1 bytes").arg(bytes);
}

QString notRegularFile(const QString &shown)
{
    return InputFile::tr("%1 is not a regular file (it is a pipe, a device or a socket); only "
                         "regular files are read.")
        .arg(shown);
}

// Why `path` is not a regular file that can be opened, checked before it is; empty when
// it is one.
QString pathProblem(const QString &path, const QString &shown)
{
    const QFileInfo info(path);
    if (!info.exists())
        return InputFile::tr("%1 does not exist.").arg(shown);
    if (info.isDir())
        return InputFile::tr("%1 is a folder, not a file.").arg(shown);
    if (!info.isFile())
        return notRegularFile(shown);
    return QString();
}

// Opens a regular file for reading without ever waiting: what the path names may have
// changed since it was checked. Unix opens it non-blocking and checks what was opened.
bool openRegularFile(const QString &path, QFile &file, QString *problem)
{
#ifdef Q_OS_UNIX
    const int descriptor
        = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (descriptor < 0) {
        *problem = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct stat status = {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        *problem = QString();
        return false;
    }
    return file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
#else
    file.setFileName(path);
    if (file.open(QIODevice::ReadOnly))
        return true;
    *problem = file.errorString();
    return false;
#endif
}

} // namespace

QByteArray InputFile::read(const QString &path, QString *failure, qint64 limit)
{
    const QString shown = QDir::toNativeSeparators(path);
    const auto refuse = [&](const QString &text) {
        qCDebug(instrumentLog).noquote() << QStringLiteral("refused %1:").arg(path) << text;
        if (failure)
            *failure = text;
        return QByteArray();
    };
    if (failure)
        failure->clear();

    const QString problem = pathProblem(path, shown);
    if (!problem.isEmpty())
        return refuse(problem);
    QFile file;
    QString openError;
    if (!openRegularFile(path, file, &openError))
        return refuse(openError.isEmpty() ? notRegularFile(shown)
                                          : tr("%1 cannot be read: %2.").arg(shown, openError));

    const QString tooLarge
        = tr("%1 is larger than %2; no calibration table or firmware container is that large.")
              .arg(shown, sizeText(limit));
    if (file.size() > limit)
        return refuse(tooLarge);
    const qint64 pieceSize = 1024 * 1024;
    QByteArray contents;
    while (contents.size() <= limit) {
        const QByteArray piece = file.read(qMin(pieceSize, limit + 1 - contents.size()));
        if (piece.isEmpty())
            break;
        contents += piece;
    }
    if (contents.size() > limit)
        return refuse(tooLarge);
    if (file.error() != QFileDevice::NoError)
        return refuse(tr("%1 cannot be read: %2.").arg(shown, file.errorString()));
    return contents;
}
