#include "lineprotocol.h"

#include <algorithm>

namespace {

QByteArray escaped(const QString &text, bool measurement = false)
{
    QByteArray bytes = text.toUtf8();
    bytes.replace('\\', "\\\\");
    bytes.replace(',', "\\,");
    if (!measurement)
        bytes.replace('=', "\\=");
    bytes.replace(' ', "\\ ");
    bytes.replace('\n', "\\n");
    return bytes;
}

} // namespace

QStringList LineProtocol::ownTagKeys()
{
    return {QStringLiteral("serial"), QStringLiteral("model"), QStringLiteral("sensor")};
}

QByteArray LineProtocol::seriesKey(const QString &measurement, Tags tags)
{
    std::sort(tags.begin(), tags.end(),
              [](const auto &a, const auto &b) { return a.first.toUtf8() < b.first.toUtf8(); });
    QByteArray key = escaped(measurement, true);
    for (const auto &tag : qAsConst(tags)) {
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
