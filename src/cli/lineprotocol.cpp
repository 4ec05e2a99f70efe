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

QByteArray LineProtocol::point(const Tags &tags, double kelvin, const QDateTime &time)
{
    QByteArray line("temperature");
    for (const auto &tag : tags) {
        // The protocol has no empty tag values.
        if (!tag.second.isEmpty())
            line += ',' + escaped(tag.first) + '=' + escaped(tag.second);
    }
    line += " kelvin=" + QByteArray::number(kelvin, 'f', 3) + ' '
        + QByteArray::number(time.toMSecsSinceEpoch() * Q_INT64_C(1000000));
    return line;
}

bool LineProtocol::parseTag(const QString &text, QPair<QString, QString> *tag)
{
    const int equals = text.indexOf(QLatin1Char('='));
    if (equals < 1 || equals == text.size() - 1)
        return false;
    *tag = qMakePair(text.left(equals), text.mid(equals + 1));
    return true;
}
