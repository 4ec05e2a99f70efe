#include "batcheddebugoutput.h"
#include "buildinfo.h"
#include "mainwindow.h"
#include "terminationwatcher.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <cstdio>
#include <sodium.h>

namespace {

// Answers --version and --help before the window's application exists, so that they work
// without a display. False when the window is to start; Qt's own options (-platform,
// -style, ...) and anything else are left to QApplication.
bool answeredCommandLine(int argc, char *argv[])
{
    if (argc < 2)
        return false;
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Configures a temperature-monitor instrument on a serial port."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    if (!parser.parse(QCoreApplication::arguments()))
        return false;
    if (parser.isSet(version)) {
        std::fputs(BuildInfo::versionReport(QStringLiteral("rimeglass")).toUtf8().constData(),
                   stdout);
        return true;
    }
    if (parser.isSet(help)) {
        std::fputs(parser.helpText().toUtf8().constData(), stdout);
        return true;
    }
    return false;
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
    if (answeredCommandLine(argc, argv))
        return 0;

    auto *application = new QApplication(argc, argv);
    // The device link's debug lines, one per line received, go out in batches when standard
    // error is not a terminal.
    BatchedDebugOutput::install("rimeglass.device");
    QGuiApplication::setDesktopFileName(QStringLiteral("rimeglass"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("rimeglass")));
    auto *window = new MainWindow;

    // Logging out or `kill` ends the tool as Quit does: the port is closed, the window
    // too, and every event loop (an open dialog's as well) ends.
    auto *termination = new TerminationWatcher(application);
    if (termination->install()) {
        QObject::connect(termination, &TerminationWatcher::terminationRequested, window,
                         &MainWindow::quitTriggered);
        QObject::connect(termination, &TerminationWatcher::terminationRequested, application,
                         &QCoreApplication::quit);
    }

    window->show();
    const int result = application->exec();

    delete window;
    delete application;
    return result;
}
