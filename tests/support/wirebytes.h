#ifndef RIMEGLASS_TESTS_WIREBYTES_H
#define RIMEGLASS_TESTS_WIREBYTES_H

// Bytes on the wire worked out here independently of the tool: little-endian fields, 0xFF
// fill, and the tool's output cut into its commands.

#include <QByteArray>
#include <QList>

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

} // namespace wirebytes

#endif
