#ifndef RIMEGLASS_INFLUXWRITER_H
#define RIMEGLASS_INFLUXWRITER_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Posts points of line protocol to an InfluxDB server in batches, about once a second.
// While the server cannot be reached the points wait in a buffer of bounded size; when it
// is full the oldest are dropped, and each such episode is reported once.
class InfluxWriter : public QObject
{
    Q_OBJECT

public:
    struct Target
    {
        QUrl url; // http://host:8086
        QString database; // InfluxDB 1.x: /write?db=
        QString bucket; // InfluxDB 2.x: /api/v2/write?bucket=&org=
        QString organisation;
        QByteArray token; // sent as "Authorization: Token ..." when not empty
    };

    InfluxWriter(const Target &target, int bufferLimit, QObject *parent = nullptr);

    void add(const QByteArray &point);
    // Sends what waits, for at most timeoutMs; true when nothing is left.
    bool flush(int timeoutMs);

    int dropped() const { return m_dropped; }
    int waiting() const { return m_points.size(); }

signals:
    // Something the operator should read: the server became unreachable or came back,
    // points were dropped, the server refused points.
    void message(const QString &text);

private:
    void sendBatch();
    void batchFinished();
    QUrl writeUrl() const;

    Target m_target;
    int m_bufferLimit;
    QNetworkAccessManager *m_network;
    QTimer *m_timer;
    QList<QByteArray> m_points;
    QNetworkReply *m_reply = nullptr;
    int m_inFlight = 0; // points at the front of m_points that the request carries
    int m_dropped = 0;
    bool m_unreachable = false;
    bool m_dropping = false;
};

#endif
