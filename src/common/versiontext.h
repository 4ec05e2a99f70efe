#ifndef RIMEGLASS_VERSIONTEXT_H
#define RIMEGLASS_VERSIONTEXT_H

// Firmware version texts as the instrument reports them and the containers carry them:
// dot-separated decimal numbers ("1.5.2.0"). The one place they are read.

#include <QString>
#include <QStringList>
#include <QVector>

namespace rimeglass::VersionText {

// From 1.4.0.0 the instrument reports its hardware revision ("@00") and its boot loader
// takes short codes; from 1.5.0.0 the application measures its voltage input.
inline constexpr quint32 compatCode = 0x1040000;
inline constexpr quint32 voltageCode = 0x1050000;

// Every dot-separated part as a number, empty parts kept; a part that is no decimal
// number counts as 0.
inline QVector<qulonglong> parts(const QString &text)
{
    QVector<qulonglong> numbers;
    for (const QString &part : text.split(QLatin1Char('.'), Qt::KeepEmptyParts))
        numbers.append(part.toULongLong(nullptr, 10));
    return numbers;
}

// a.b.c.d packed as a<<24 | b<<16 | c<<8 | d; missing parts count as 0, parts after the
// fourth are ignored. Parts are not masked: one above 255 spills into the next higher
// one, as the instrument's own comparison does.
inline quint32 code(const QString &text)
{
    const QStringList split = text.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    quint32 packed = 0;
    for (int i = 0; i < 4 && i < split.size(); ++i)
        packed |= split.at(i).toUInt(nullptr, 10) << (8 * (3 - i));
    return packed;
}

// From one to `maximumParts` decimal numbers of 0 to 255, and nothing else.
inline bool isWellFormed(const QString &text, int maximumParts = 4)
{
    const QStringList split = text.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (split.size() > maximumParts)
        return false;
    for (const QString &part : split) {
        if (part.isEmpty() || part.size() > 3)
            return false;
        for (const QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        }
        if (part.toInt() > 255)
            return false;
    }
    return true;
}

// What an instrument reports: exactly four numbers. A version of any other form is a
// garbled line, and must not choose an image, a boot-loader dialect or a revision.
inline bool isInstrumentVersion(const QString &text)
{
    return text.count(QLatin1Char('.')) == 3 && isWellFormed(text);
}

// Part by part as numbers, the shorter padded with zeros. Negative when `installed` is
// older than `offered`, positive when newer, 0 when equal.
inline int compare(const QString &installed, const QString &offered)
{
    QVector<qulonglong> a = parts(installed);
    QVector<qulonglong> b = parts(offered);
    while (a.size() < b.size())
        a.append(0);
    while (b.size() < a.size())
        b.append(0);
    for (int i = 0; i < a.size(); ++i) {
        if (a.at(i) != b.at(i))
            return a.at(i) < b.at(i) ? -1 : 1;
    }
    return 0;
}

} // namespace rimeglass::VersionText

#endif
