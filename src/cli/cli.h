#ifndef RIMEGLASS_CLI_H
#define RIMEGLASS_CLI_H

#include <QStringList>
#include <QTextStream>
#include <functional>

class InstrumentClient;
class QCommandLineParser;
class QJsonObject;

// rimeglass-cli: every instrument operation of the window from a script. Each subcommand
// checks its input before it writes anything to the instrument.
class Cli
{
public:
    // Exit statuses, documented in the manual page.
    enum ExitStatus {
        Success = 0,
        Failure = 1, // an output file or the database could not be written
        UsageError = 2,
        PortError = 3, // the port could not be opened
        NoAnswer = 4, // the instrument did not answer in time
        RefusedInput = 5, // a value, file or container was refused; nothing was sent
        TransferFailed = 6,
    };

    // `arguments` includes the program name.
    int run(const QStringList &arguments);

private:
    int ports();
    int identify();
    int settings();
    int set();
    int save();
    int uploadTable();
    int upgrade();
    int log();

    // Starts a transfer and follows it to its end, with a progress bar on standard error.
    int runTransfer(InstrumentClient &client, const std::function<bool()> &start,
                    const QString &successText);

    bool parse(QCommandLineParser &parser, const QString &description,
               const QStringList &positionalNames);
    int connectClient(InstrumentClient &client, const QString &portName);
    // connectClient(), refused for a boot loader, which has no settings.
    int connectToSettings(InstrumentClient &client, const QString &portName);
    int usageError(const QString &text);
    int fail(int status, const QString &text);
    bool confirm(const QString &question);
    void print(const QString &text);
    void printRecord(const QJsonObject &record, const QStringList &order);

    QStringList m_arguments; // from the subcommand's name on
    QString m_command;
    int m_timeoutMs = 5000;
    bool m_json = false;
    QTextStream m_out{stdout};
    QTextStream m_err{stderr};
};

#endif
