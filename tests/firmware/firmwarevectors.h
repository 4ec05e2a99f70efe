#ifndef RIMEGLASS_TESTS_FIRMWAREVECTORS_H
#define RIMEGLASS_TESTS_FIRMWAREVECTORS_H

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtGlobal>

// The known-answer containers that vectors/make-vectors.py wrote with an independent
// Ed25519 implementation, and its expected.json describing them.
namespace rimeglass::test {

inline QString vectorPath(const QString &name)
{
    return QStringLiteral(RIMEGLASS_FIRMWARE_VECTORS "/") + name;
}

inline QByteArray readVector(const QString &name)
{
    QFile file(vectorPath(name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read test vector %s", qPrintable(file.fileName()));
    return file.readAll();
}

inline QJsonObject expectedVectors()
{
    return QJsonDocument::fromJson(readVector(QStringLiteral("expected.json"))).object();
}

inline QByteArray sha256Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

} // namespace rimeglass::test

#endif
