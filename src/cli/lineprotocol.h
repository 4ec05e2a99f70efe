#ifndef RIMEGLASS_LINEPROTOCOL_H
#define RIMEGLASS_LINEPROTOCOL_H

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// One reading as a point of InfluxDB's line protocol:
//     temperature,model=ZURKD550,serial=SN0001,site=lab2 kelvin=77.35 1796652201125000000
// Tags in the order given, with commas, blanks and equals signs escaped as the protocol
// asks; the timestamp in nanoseconds since the epoch.
class LineProtocol
{
public:
    using Tags = QList<QPair<QString, QString>>;

    // The measurement and its tags, the same for every point of one instrument.
    static QByteArray seriesKey(const Tags &tags);
    static QByteArray point(const QByteArray &seriesKey, double kelvin,
                            qint64 nanosecondsSinceEpoch);
    // "key=value" from the command line; false when it is not of that form.
    static bool parseTag(const QString &text, QPair<QString, QString> *tag);
};

#endif
