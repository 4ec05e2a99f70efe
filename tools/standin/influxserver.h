#ifndef RIMEGLASS_STANDIN_INFLUXSERVER_H
#define RIMEGLASS_STANDIN_INFLUXSERVER_H

#include <QJsonArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A throwaway InfluxDB 1.x server (Debian's influxd) on loopback ports, with its data in
// a temporary directory. Stopping and starting it again keeps the data, as a server that
// goes away for a while does. With authentication on, the first user is made with
// query() ("CREATE USER ... WITH ALL PRIVILEGES"), and setCredentials() then signs every
// request after it.
class InfluxServer
{
public:
    enum class Authentication { Off, On };

    explicit InfluxServer(Authentication authentication = Authentication::Off);
    ~InfluxServer();

    bool available() const;
    // Starts the server and waits until it answers.
    bool start();
    void stop();

    QString url() const;
    void setCredentials(const QString &user, const QString &password);
    // Runs one statement; the server's JSON answer.
    QByteArray query(const QString &statement, const QString &database = QString());
    // The rows of the first series a SELECT on the database gives, times in nanoseconds.
    QJsonArray values(const QString &select, const QString &database);
    QString log() const;

private:
    QByteArray request(const QByteArray &method, const QString &pathAndQuery,
                       const QByteArray &body = QByteArray());

    QTemporaryDir m_dir;
    QProcess m_process;
    int m_httpPort = 0;
    int m_rpcPort = 0;
    QString m_log;
    QByteArray m_authorization;
};

#endif
