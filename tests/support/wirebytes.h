#ifndef RIMEGLASS_TESTS_WIREBYTES_H
#define RIMEGLASS_TESTS_WIREBYTES_H

// What the instrument ends up storing, worked out here independently of the tool:
// little-endian fields, 0xFF fill, and images put back together from write lines.

#include <QByteArray>
#include <QList>
#include <QRegularExpression>

namespace wirebytes {

inline QByteArray littleEndian32(qint32 value)
{
    const quint32 bits = quint32(value);
    QByteArray bytes;
    for (int shift = 0; shift < 32; shift += 8)
        bytes.append(char((bits >> shift) & 0xff));
    return bytes;
}

// What the tool wrote, cut into its commands: each line with its line feed, and each lone
// ETX byte.
inline QList<QByteArray> tokens(const QByteArray &bytes)
{
    QList<QByteArray> all;
    int start = 0;
    for (int i = 0; i < bytes.size(); ++i) {
        if (bytes.at(i) == '\n' || bytes.at(i) == '\x03') {
            all << bytes.mid(start, i + 1 - start);
            start = i + 1;
        }
    }
    return all;
}

// The instrument stores in blocks of 8 bytes; fill bytes follow the payload.
inline QByteArray paddedWithFill(const QByteArray &payload)
{
    return payload + QByteArray((8 - payload.size() % 8) % 8, char(0xff));
}

// The image put together from the flash writes among `commands` (either boot-loader
// dialect), each at its offset; a chunk that does not follow the one before it makes the
// result "chunk out of place".
inline QByteArray reassembleFlashWrites(const QList<QByteArray> &commands)
{
    static const QRegularExpression form(
        QStringLiteral("^(?:@03|flash write) ([0-9a-f]{6}) ([0-9a-f]*)\n$"));
    QByteArray stored;
    for (const QByteArray &command : commands) {
        const QRegularExpressionMatch match = form.match(QString::fromLatin1(command));
        if (!match.hasMatch())
            continue;
        if (match.captured(1).toInt(nullptr, 16) != stored.size())
            return QByteArray("chunk out of place");
        stored += QByteArray::fromHex(match.captured(2).toLatin1());
    }
    return stored;
}

} // namespace wirebytes

#endif
