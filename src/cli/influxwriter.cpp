#include "influxwriter.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrlQuery>

namespace {

const int batchPoints = 5000;
const int batchIntervalMs = 1000;

} // namespace

InfluxWriter::InfluxWriter(const Target &target, int bufferLimit, QObject *parent)
    : QObject(parent)
    , m_target(target)
    , m_bufferLimit(bufferLimit)
    , m_network(new QNetworkAccessManager(this))
    , m_timer(new QTimer(this))
{
    connect(m_timer, &QTimer::timeout, this, &InfluxWriter::sendBatch);
    m_timer->start(batchIntervalMs);
}

void InfluxWriter::add(const QByteArray &point)
{
    m_points.append(point);
    if (m_points.size() > m_bufferLimit) {
        // The oldest point not already on its way goes.
        m_points.removeAt(m_inFlight);
        ++m_dropped;
        if (!m_dropping) {
            m_dropping = true;
            emit message(tr("InfluxDB buffer full (%1 readings): dropping the oldest readings "
                            "until the server takes them again")
                             .arg(m_bufferLimit));
        }
    }
    if (m_points.size() - m_inFlight >= batchPoints)
        sendBatch();
}

bool InfluxWriter::flush(int timeoutMs)
{
    QTimer tick; // wakes the wait below to look at the deadline
    tick.start(50);
    const QDeadlineTimer deadline(timeoutMs);
    while (!m_points.isEmpty() && !deadline.hasExpired()) {
        sendBatch();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return m_points.isEmpty();
}

QUrl InfluxWriter::writeUrl() const
{
    QUrl url = m_target.url;
    QUrlQuery query;
    if (!m_target.bucket.isEmpty()) {
        url.setPath(url.path().chopped(url.path().endsWith(QLatin1Char('/')) ? 1 : 0)
                    + QStringLiteral("/api/v2/write"));
        query.addQueryItem(QStringLiteral("bucket"), m_target.bucket);
        query.addQueryItem(QStringLiteral("org"), m_target.organisation);
    } else {
        url.setPath(url.path().chopped(url.path().endsWith(QLatin1Char('/')) ? 1 : 0)
                    + QStringLiteral("/write"));
        query.addQueryItem(QStringLiteral("db"), m_target.database);
    }
    query.addQueryItem(QStringLiteral("precision"), QStringLiteral("ns"));
    url.setQuery(query);
    return url;
}

void InfluxWriter::sendBatch()
{
    if (m_reply || m_points.isEmpty())
        return;
    m_inFlight = qMin(m_points.size(), batchPoints);
    QByteArray body;
    for (int i = 0; i < m_inFlight; ++i)
        body += m_points.at(i) + '\n';

    QNetworkRequest request(writeUrl());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("text/plain; charset=utf-8"));
    if (!m_target.token.isEmpty())
        request.setRawHeader("Authorization", "Token " + m_target.token);
    m_reply = m_network->post(request, body);
    connect(m_reply, &QNetworkReply::finished, this, &InfluxWriter::batchFinished);
}

void InfluxWriter::batchFinished()
{
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const int sent = m_inFlight;
    m_inFlight = 0;

    if (status >= 200 && status < 300) {
        m_points.erase(m_points.begin(), m_points.begin() + sent);
        if (m_unreachable || m_dropping)
            emit message(m_dropped == 0 ? tr("InfluxDB takes readings again; none was lost")
                                        : tr("InfluxDB takes readings again; %1 readings were "
                                             "dropped so far")
                                              .arg(m_dropped));
        m_unreachable = false;
        m_dropping = false;
        return;
    }
    if (status >= 400 && status < 500 && status != 429) {
        // The server will not take these points, however often they are sent.
        m_points.erase(m_points.begin(), m_points.begin() + sent);
        m_dropped += sent;
        emit message(tr("InfluxDB refused %1 readings: HTTP %2 %3")
                         .arg(sent)
                         .arg(status)
                         .arg(QString::fromUtf8(reply->readAll()).trimmed()));
        return;
    }
    if (!m_unreachable) {
        m_unreachable = true;
        emit message(tr("InfluxDB at %1 cannot be reached (%2); keeping up to %3 readings "
                        "until it can")
                         .arg(m_target.url.toString(), reply->errorString())
                         .arg(m_bufferLimit));
    }
}
