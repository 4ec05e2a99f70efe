#ifndef RIMEGLASS_CLI_H
#define RIMEGLASS_CLI_H

#include "exitstatus.h"
#include "standardoutput.h"
#include "terminaltext.h"

#include <QJsonValue>
#include <QStringList>
#include <QTextStream>
#include <functional>

class InstrumentClient;
class QCommandLineOption;
class QCommandLineParser;

// rimeglass-cli: every instrument operation of the window from a script. Each subcommand
// checks its input before it writes anything to the instrument; the exit status says
// whether everything it was asked to do, and to write, was done.
class Cli
{
public:
    // `arguments` includes the program name.
    int run(const QStringList &arguments);

    // One value of a record: its text ("enabled", "80.000") and its JSON value (true, 80).
    struct Field
    {
        QString name;
        QString text;
        QJsonValue json;
    };

private:
    int runCommand();
    int ports();
    int identify();
    int settings();
    int set();
    int save();
    int uploadTable();
    int upgrade();
    int voltage();
    int calibrateVoltage();
    int resetVoltageCalibration();
    int log();

    // Starts a transfer and follows it to its end, with a progress bar on standard error.
    // SIGINT, SIGTERM and SIGHUP cancel it as the window's Cancel does.
    int runTransfer(InstrumentClient &client, const std::function<bool(QString *)> &start,
                    const QString &successText);

    static QCommandLineOption timeoutOption();
    bool parse(QCommandLineParser &parser, const QString &description,
               const QStringList &positionalNames);
    // Help printed: Success; otherwise the usage error parse() reported.
    int parseEnded(const QCommandLineParser &parser) const;
    // PORT as given: a relative path to something that exists is made absolute.
    static QString portArgument(const QString &given);
    int connectClient(InstrumentClient &client, const QString &portName);
    // connectClient(), refused for a boot loader, which `refusal` says what it cannot do.
    int connectToApplication(InstrumentClient &client, const QString &portName,
                             const QString &refusal);
    // connectToApplication() for an instrument that measures its voltage input.
    int connectToVoltageInput(InstrumentClient &client, const QString &portName);
    int usageError(const QString &text);
    int fail(int status, const QString &text);
    void warn(const QString &text);
    bool confirm(const QString &question);
    void print(const QString &text);
    void printRecord(const QList<Field> &record);

    QStringList m_arguments; // from the subcommand's name on
    QString m_command;
    int m_timeoutMs = 5000;
    bool m_json = false;
    bool m_quiet = false;
    StandardOutput m_out;
    QTextStream m_err{stderr};
};

#endif
