#include "inputfile.h"

#include <QDebug>
#include <QFile>

QByteArray InputFile::read(const QString &path, qint64 limit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();

    const qint64 pieceSize = 1024 * 1024;
    QByteArray contents;
    while (file.size() <= limit && contents.size() <= limit) {
        const QByteArray piece = file.read(qMin(pieceSize, limit + 1 - contents.size()));
        if (piece.isEmpty())
            break;
        contents += piece;
    }
    if (file.size() > limit || contents.size() > limit) {
        qDebug().noquote() << QStringLiteral("refused %1: more than %2 bytes").arg(path).arg(limit);
        return QByteArray();
    }
    if (file.error() != QFileDevice::NoError)
        return QByteArray();
    return contents;
}
