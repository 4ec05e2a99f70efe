#ifndef RIMEGLASS_LINEPROTOCOL_H
#define RIMEGLASS_LINEPROTOCOL_H

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// One reading as a point of InfluxDB's line protocol:
//     temperature,model=ZURKD550,sensor=DT-670,serial=SN0001,site=lab2 kelvin=77.350
//     1796652201125000000
// Tags sorted by key, as the protocol's guidance asks, with commas, blanks and equals
// signs escaped; the timestamp in nanoseconds since the epoch.
class LineProtocol
{
public:
    using Tags = QList<QPair<QString, QString>>;

    // The tags every point carries of its own: the instrument's serial number and model,
    // and the sensor it measures with. --tag may not set them.
    static QStringList ownTagKeys();

    // The measurement and its tags, the same for every point of one instrument.
    static QByteArray seriesKey(const QString &measurement, Tags tags);
    static QByteArray point(const QByteArray &seriesKey, double kelvin,
                            qint64 nanosecondsSinceEpoch);
    // "key=value" from the command line; false when it is not of that form.
    static bool parseTag(const QString &text, QPair<QString, QString> *tag);
};

#endif
