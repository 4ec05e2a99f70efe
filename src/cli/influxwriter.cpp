#include "influxwriter.h"

#include "rimeglass-version.h"

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

enum class Outcome { Written, PointsRefused, WriterRefused, Unreachable };

// What a finished request means for its points. 4xx but 401, 403, 404 and 429: the
// server will never take these points; 401, 403, 404: it takes nothing from this writer
// (authentication, no such database or bucket); anything else may pass later.
Outcome outcomeOf(int status)
{
    if (status >= 200 && status < 300)
        return Outcome::Written;
    if (status == 401 || status == 403 || status == 404)
        return Outcome::WriterRefused;
    if (status >= 400 && status < 500 && status != 408 && status != 429)
        return Outcome::PointsRefused;
    return Outcome::Unreachable;
}

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
    if (!m_refusal.isEmpty()) {
        ++m_lost;
        return;
    }
    m_points.append(point);
    if (m_points.size() > m_bufferLimit) {
        // The oldest point not already on its way goes.
        m_points.removeAt(m_inFlight);
        ++m_lost;
        ++m_droppedSinceReachable;
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
    while (!m_points.isEmpty() && m_refusal.isEmpty() && !deadline.hasExpired()) {
        sendBatch();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return m_points.isEmpty();
}

// The server's own query items of the given URL (u=, p=, ...) stay; the write's are set.
QUrl InfluxWriter::writeUrl() const
{
    QUrl url = m_target.url;
    QUrlQuery query(url);
    const auto set = [&query](const QString &key, const QString &value) {
        query.removeAllQueryItems(key);
        if (!value.isEmpty())
            query.addQueryItem(key, value);
    };
    QString path = url.path();
    if (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    if (!m_target.bucket.isEmpty()) {
        url.setPath(path + QStringLiteral("/api/v2/write"));
        set(QStringLiteral("bucket"), m_target.bucket);
        set(QStringLiteral("org"), m_target.organisation);
    } else {
        url.setPath(path + QStringLiteral("/write"));
        set(QStringLiteral("db"), m_target.database);
        set(QStringLiteral("rp"), m_target.retentionPolicy);
    }
    set(QStringLiteral("precision"), QStringLiteral("ns"));
    url.setQuery(query);
    return url;
}

void InfluxWriter::sendBatch()
{
    if (m_reply || m_points.isEmpty() || !m_refusal.isEmpty())
        return;
    m_inFlight = qMin(m_points.size(), batchPoints);
    QByteArray body;
    for (int i = 0; i < m_inFlight; ++i)
        body += m_points.at(i) + '\n';

    QNetworkRequest request(writeUrl());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("text/plain; charset=utf-8"));
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QByteArray("rimeglass-cli/") + rimeglass::versionText);
    request.setTransferTimeout(m_target.requestTimeoutMs);
    if (!m_target.token.isEmpty())
        request.setRawHeader("Authorization", "Token " + m_target.token);
    else if (!m_target.username.isEmpty())
        request.setRawHeader(
            "Authorization",
            "Basic " + (m_target.username.toUtf8() + ':' + m_target.password).toBase64());
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
    const QString answer
        = reply->isOpen() ? QString::fromUtf8(reply->readAll()).trimmed() : QString();

    switch (outcomeOf(status)) {
    case Outcome::Written:
        m_points.erase(m_points.begin(), m_points.begin() + sent);
        m_written += sent;
        if (m_unreachable || m_dropping)
            emit message(m_droppedSinceReachable == 0
                             ? tr("InfluxDB takes readings again; none was lost")
                             : tr("InfluxDB takes readings again; %1 readings were dropped")
                                   .arg(m_droppedSinceReachable));
        m_unreachable = false;
        m_dropping = false;
        m_droppedSinceReachable = 0;
        return;
    case Outcome::PointsRefused:
        m_points.erase(m_points.begin(), m_points.begin() + sent);
        m_lost += sent;
        emit message(
            tr("InfluxDB refused %1 readings: HTTP %2 %3").arg(sent).arg(status).arg(answer));
        return;
    case Outcome::WriterRefused:
        m_refusal = tr("InfluxDB at %1 refused the readings: HTTP %2 %3")
                        .arg(m_target.url.toDisplayString(QUrl::RemoveUserInfo | QUrl::RemoveQuery))
                        .arg(status)
                        .arg(answer);
        m_timer->stop();
        emit refused(m_refusal);
        return;
    case Outcome::Unreachable:
        serverUnreachable(reply->error() == QNetworkReply::OperationCanceledError
                              ? tr("no answer within %1 s").arg(m_target.requestTimeoutMs / 1000.0)
                              : reply->errorString());
        return;
    }
}

// The request is abandoned with its connection: the next batch goes out on a new one.
void InfluxWriter::serverUnreachable(const QString &reason)
{
    m_network->clearConnectionCache();
    if (m_unreachable)
        return;
    m_unreachable = true;
    emit message(
        tr("InfluxDB at %1 cannot be reached (%2); keeping up to %3 readings until it "
           "can")
            .arg(m_target.url.toDisplayString(QUrl::RemoveUserInfo | QUrl::RemoveQuery), reason)
            .arg(m_bufferLimit));
}
