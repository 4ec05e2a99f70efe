#include "lineprotocol.h"

namespace {

QByteArray escaped(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    bytes.replace('\\', "\\\\");
    bytes.replace(',', "\\,");
    bytes.replace('=', "\\=");
    bytes.replace(' ', "\\ ");
    bytes.replace('\n', "\\n");
    return bytes;
}

} // namespace

QByteArray LineProtocol::seriesKey(const Tags &tags)
{
    QByteArray key("temperature");
    for (const auto &tag : tags) {
        // The protocol has no empty tag values.
        if (!tag.second.isEmpty())
            key += ',' + escaped(tag.first) + '=' + escaped(tag.second);
    }
    return key;
}

QByteArray LineProtocol::point(const QByteArray &seriesKey, double kelvin,
                               qint64 nanosecondsSinceEpoch)
{
    return seriesKey + " kelvin=" + QByteArray::number(kelvin, 'f', 3) + ' '
        + QByteArray::number(nanosecondsSinceEpoch);
}

bool LineProtocol::parseTag(const QString &text, QPair<QString, QString> *tag)
{
    const int equals = text.indexOf(QLatin1Char('='));
    if (equals < 1 || equals == text.size() - 1)
        return false;
    *tag = qMakePair(text.left(equals), text.mid(equals + 1));
    return true;
}
