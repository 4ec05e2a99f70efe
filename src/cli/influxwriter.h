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
// Every request has a time-out; one that is not answered in time is abandoned and its
// batch sent again on a new connection. While the server cannot be reached the points
// wait in a buffer of bounded size; when it is full the oldest are dropped, and each such
// episode is reported once. A server that refuses the writer itself (authentication,
// no such database or bucket) ends the writing: refused() says why.
class InfluxWriter : public QObject
{
    Q_OBJECT

public:
    struct Target
    {
        QUrl url; // http://host:8086, with any query items of its own kept
        QString database; // InfluxDB 1.x: /write?db=
        QString retentionPolicy; // InfluxDB 1.x: &rp=
        QString username; // InfluxDB 1.x: basic authentication with the password
        QByteArray password;
        QString bucket; // InfluxDB 2.x: /api/v2/write?bucket=&org=
        QString organisation;
        QByteArray token; // InfluxDB 2.x: "Authorization: Token ..."
        int requestTimeoutMs = 5000; // a request not answered by then is abandoned
    };

    InfluxWriter(const Target &target, int bufferLimit, QObject *parent = nullptr);

    void add(const QByteArray &point);
    // Sends what waits, for at most timeoutMs; true when nothing is left.
    bool flush(int timeoutMs);

    qint64 written() const { return m_written; }
    // Dropped from a full buffer, or refused by the server.
    qint64 lost() const { return m_lost; }
    int waiting() const { return m_points.size(); }
    // Why the server will take nothing from this writer; empty while it may.
    QString refusal() const { return m_refusal; }

signals:
    // Something the operator should read: the server became unreachable or came back,
    // points were dropped, the server refused points.
    void message(const QString &text);
    // The server refuses the writer itself; nothing more is sent.
    void refused(const QString &reason);

private:
    void sendBatch();
    void batchFinished();
    void serverUnreachable(const QString &reason);
    QUrl writeUrl() const;

    Target m_target;
    int m_bufferLimit;
    QNetworkAccessManager *m_network;
    QTimer *m_timer;
    QList<QByteArray> m_points;
    QNetworkReply *m_reply = nullptr;
    int m_inFlight = 0; // points at the front of m_points that the request carries
    qint64 m_written = 0;
    qint64 m_lost = 0;
    qint64 m_droppedSinceReachable = 0;
    bool m_unreachable = false;
    bool m_dropping = false;
    QString m_refusal;
};

#endif
