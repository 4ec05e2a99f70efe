// rimeglass-demo: the tool's own window and a simulated instrument in one process. The
// instrument's pseudo-terminal is listed after the system's ports and selected, so that
// pressing Open shows the whole tool at work without any hardware.

#include "buildinfo.h"
#include "demoscreenshot.h"
#include "mainwindow.h"
#include "simulator.h"
#include "terminationwatcher.h"
#include "uuids.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <sodium.h>

namespace {

void say(const QString &text)
{
    std::fprintf(stderr, "rimeglass-demo: %s\n", qPrintable(text));
}

struct DemoOptions
{
    QString screenshotPath;
    int readings = 30;
};

// False, with the reason said, for a command line the demo cannot use.
bool parseOptions(const QStringList &arguments, DemoOptions *options)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The rimeglass window with a simulated instrument on a pseudo-terminal.\n"
                       "The simulated port is selected in the port list: press Open."));
    parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption screenshot(
        QStringLiteral("screenshot"),
        QStringLiteral("Open the port at once, save a picture of the window to <file> (PNG) "
                       "once it has shown the temperatures, and quit."),
        QStringLiteral("file"));
    const QCommandLineOption readings(
        QStringLiteral("readings"),
        QStringLiteral("How many temperatures to wait for with --screenshot (default 30, one "
                       "a second)."),
        QStringLiteral("n"), QString::number(options->readings));
    parser.addOption(screenshot);
    parser.addOption(readings);
    // --version tells the firmware key as well, which Qt's own answer would leave out.
    if (parser.parse(arguments) && parser.isSet(version)) {
        std::fputs(BuildInfo::versionReport(QStringLiteral("rimeglass-demo")).toUtf8().constData(),
                   stdout);
        std::exit(0);
    }
    parser.process(arguments); // --help and unknown options end the program here

    bool ok = false;
    options->readings = parser.value(readings).toInt(&ok, 10);
    if (!ok || options->readings < 1) {
        say(QStringLiteral("invalid value \"%1\" for --readings").arg(parser.value(readings)));
        return false;
    }
    options->screenshotPath = parser.value(screenshot);
    return true;
}

// The instrument keeps its saved settings, sensor table and firmware image in files of
// the demo's own, gone when the demo ends.
InstrumentConfig simulatedInstrument(const QTemporaryDir &files)
{
    InstrumentConfig config;
    config.compat = rimeglass::uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1);
    config.statePath = files.filePath(QStringLiteral("instrument-state.json"));
    config.calibrationDumpPath = files.filePath(QStringLiteral("calibration-table.bin"));
    config.flashDumpPath = files.filePath(QStringLiteral("flash-image.bin"));
    config.seed = QRandomGenerator::global()->generate();
    return config;
}

} // namespace

int main(int argc, char *argv[])
{
    // Firmware signatures are checked with libsodium; without it nothing may start.
    if (sodium_init() != 0)
        return 1;

    QCoreApplication::setOrganizationName(QStringLiteral("MORVA"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("rimeglass.morva.example"));
    // A settings store of its own: the demo never changes what the tool remembers.
    QCoreApplication::setApplicationName(QStringLiteral("rimeglass-demo"));
    QCoreApplication::setApplicationVersion(BuildInfo::version());
    QApplication app(argc, argv);

    DemoOptions options;
    if (!parseOptions(QCoreApplication::arguments(), &options))
        return 2;

    QTemporaryDir files(QDir::tempPath() + QStringLiteral("/rimeglass-demo-XXXXXX"));
    if (!files.isValid()) {
        say(QStringLiteral("cannot make a temporary directory: %1").arg(files.errorString()));
        return 1;
    }

    Simulator simulator(simulatedInstrument(files));
    QObject::connect(&simulator, &Simulator::log, &simulator,
                     [](const QString &text) { say(QStringLiteral("instrument: ") + text); });
    QString error;
    if (!simulator.start(&error)) {
        say(error);
        return 1;
    }
    simulator.setAutomaticOutputEnabled(true);

    // Ctrl-C ends the event loop, so the temporary files go too.
    TerminationWatcher termination;
    if (termination.install())
        QObject::connect(&termination, &TerminationWatcher::terminationRequested, &app,
                         &QCoreApplication::quit);

    MainWindow window;
    window.addExtraPort(simulator.portName(), QStringLiteral("simulated instrument"));
    window.show();
    say(QStringLiteral("simulated instrument on %1, selected in the port list: press Open")
            .arg(simulator.portName()));
    say(QStringLiteral("its saved state, sensor table and firmware image go to %1")
            .arg(files.path()));

    DemoScreenshot screenshot(&window, options.screenshotPath, options.readings);
    if (!options.screenshotPath.isEmpty()) {
        QObject::connect(&screenshot, &DemoScreenshot::finished, &app, [&](bool saved) {
            if (saved)
                say(QStringLiteral("window saved to %1").arg(options.screenshotPath));
            else
                say(screenshot.problem());
            QCoreApplication::exit(saved ? 0 : 1);
        });
        QTimer::singleShot(0, &screenshot, &DemoScreenshot::start);
    }
    return app.exec();
}
