#include "batcheddebugoutput.h"
#include "buildinfo.h"
#include "mainwindow.h"
#include "rimeglass-version.h"
#include "terminationwatcher.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QLoggingCategory>
#include <cstdio>
#include <sodium.h>

namespace {

struct CommandLine
{
    bool answered = false; // --version or --help: nothing more to do
    bool verbose = false;
};

// Answers --version and --help before the window's application exists, so that they work
// without a display. Qt's own options (-platform, -style, ...) and anything else are left
// to QApplication.
CommandLine readCommandLine(int argc, char *argv[])
{
    CommandLine commandLine;
    if (argc < 2)
        return commandLine;
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Configures a temperature-monitor instrument on a serial port."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption verbose(
        QStringLiteral("verbose"),
        QStringLiteral("Write the debug lines (one for every line the instrument sends) to "
                       "standard error."));
    parser.addOption(verbose);
    // Qt's own options make the parse fail; the options found are still known.
    const bool parsed = parser.parse(QCoreApplication::arguments());
    commandLine.verbose = parser.isSet(verbose);
    if (parsed && parser.isSet(version)) {
        std::fputs(BuildInfo::versionReport(QStringLiteral("rimeglass")).toUtf8().constData(),
                   stdout);
        commandLine.answered = true;
    } else if (parsed && parser.isSet(help)) {
        std::fputs(parser.helpText().toUtf8().constData(), stdout);
        commandLine.answered = true;
    }
    return commandLine;
}

} // namespace

int main(int argc, char *argv[])
{
    // Firmware signatures are checked with libsodium; without it nothing may start.
    if (sodium_init() != 0)
        return 1;

    QCoreApplication::setOrganizationName(QStringLiteral("MORVA"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("rimeglass.morva.example"));
    QCoreApplication::setApplicationName(QStringLiteral("rimeglass"));
    QCoreApplication::setApplicationVersion(BuildInfo::version());
    const CommandLine commandLine = readCommandLine(argc, argv);
    if (commandLine.answered)
        return 0;

    auto *application = new QApplication(argc, argv);
    // Started from the desktop menu, standard error goes to the user's journal: an installed
    // program writes a line for every line the instrument sends only when asked. A
    // QT_LOGGING_RULES rule still overrides this either way.
    if (!commandLine.verbose && !rimeglass::debugOutputByDefault)
        QLoggingCategory::setFilterRules(QStringLiteral("rimeglass.*.debug=false"));
    // The device link's debug lines, one per line received, go out in batches when standard
    // error is not a terminal.
    BatchedDebugOutput::install("rimeglass.device");
    QGuiApplication::setDesktopFileName(QStringLiteral("rimeglass"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("rimeglass")));
    auto *window = new MainWindow;

    // Logging out or `kill` ends the tool without a question: a transfer under way is
    // cancelled (what it leaves behind is written to standard error), a recording is
    // saved, the port closed and the window too, and every event loop (an open dialog's
    // as well) ends.
    auto *termination = new TerminationWatcher(application);
    if (termination->install()) {
        QObject::connect(termination, &TerminationWatcher::terminationRequested, window,
                         &MainWindow::endWithoutAsking);
        QObject::connect(termination, &TerminationWatcher::terminationRequested, application,
                         &QCoreApplication::quit);
    }

    window->show();
    const int result = application->exec();

    delete window;
    delete application;
    return result;
}
