#include "influxserver.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStandardPaths>
#include <QTcpServer>
#include <QUrl>
#include <QUrlQuery>

namespace {

// The unpacked program first: it is the one scripts/install-deps provides.
QString influxdProgram()
{
    const QString unpacked = QStringLiteral(RIMEGLASS_INFLUXD_UNPACKED);
    if (QFileInfo(unpacked).isExecutable())
        return unpacked;
    return QStandardPaths::findExecutable(QStringLiteral("influxd"));
}

int freeLoopbackPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

InfluxServer::InfluxServer(Authentication authentication)
    : m_httpPort(freeLoopbackPort())
    , m_rpcPort(freeLoopbackPort())
{
    const QString dir = m_dir.path();
    QFile config(dir + QStringLiteral("/influxdb.conf"));
    if (!config.open(QIODevice::WriteOnly))
        return;
    config.write(QStringLiteral("reporting-disabled = true\n"
                                "bind-address = \"127.0.0.1:%1\"\n"
                                "[meta]\n  dir = \"%3/meta\"\n"
                                "[data]\n  dir = \"%3/data\"\n  wal-dir = \"%3/wal\"\n"
                                "  query-log-enabled = false\n"
                                "[http]\n  bind-address = \"127.0.0.1:%2\"\n"
                                "  log-enabled = false\n  auth-enabled = %4\n"
                                "[monitor]\n  store-enabled = false\n"
                                "[subscriber]\n  enabled = false\n"
                                "[continuous_queries]\n  enabled = false\n"
                                "[logging]\n  level = \"warn\"\n")
                     .arg(m_rpcPort)
                     .arg(m_httpPort)
                     .arg(dir)
                     .arg(authentication == Authentication::On ? "true" : "false")
                     .toUtf8());
}

InfluxServer::~InfluxServer()
{
    stop();
}

bool InfluxServer::available() const
{
    return !influxdProgram().isEmpty();
}

bool InfluxServer::start()
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(influxdProgram(),
                    {QStringLiteral("-config"), m_dir.path() + QStringLiteral("/influxdb.conf")});
    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired() && m_process.state() != QProcess::NotRunning) {
        if (request("GET", QStringLiteral("/ping")) == "pong")
            return true;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    }
    m_log += QString::fromLocal8Bit(m_process.readAll());
    return false;
}

void InfluxServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000))
        m_process.kill();
    m_process.waitForFinished();
    m_log += QString::fromLocal8Bit(m_process.readAll());
}

QString InfluxServer::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_httpPort);
}

void InfluxServer::setCredentials(const QString &user, const QString &password)
{
    m_authorization = "Basic " + (user + QLatin1Char(':') + password).toUtf8().toBase64();
}

QString InfluxServer::log() const
{
    return m_log;
}

QByteArray InfluxServer::query(const QString &statement, const QString &database)
{
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("q"), statement);
    query.addQueryItem(QStringLiteral("epoch"), QStringLiteral("ns"));
    if (!database.isEmpty())
        query.addQueryItem(QStringLiteral("db"), database);
    return request("POST", QStringLiteral("/query?") + query.toString(QUrl::FullyEncoded));
}

QJsonArray InfluxServer::values(const QString &select, const QString &database)
{
    const QJsonObject answer = QJsonDocument::fromJson(query(select, database)).object();
    return answer.value(QStringLiteral("results"))
        .toArray()
        .at(0)
        .toObject()
        .value(QStringLiteral("series"))
        .toArray()
        .at(0)
        .toObject()
        .value(QStringLiteral("values"))
        .toArray();
}

// "pong" stands for the empty answer of /ping.
QByteArray InfluxServer::request(const QByteArray &method, const QString &pathAndQuery,
                                 const QByteArray &body)
{
    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(url() + pathAndQuery));
    if (!m_authorization.isEmpty())
        request.setRawHeader("Authorization", m_authorization);
    QNetworkReply *reply = network.sendCustomRequest(request, method, body);
    const QDeadlineTimer deadline(10000);
    while (!reply->isFinished() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray answer = status == 204 ? QByteArray("pong") : reply->readAll();
    delete reply;
    return answer;
}
