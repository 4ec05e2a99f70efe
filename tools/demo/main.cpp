// rimeglass-demo: the tool's own window and a simulated instrument in one process. The
// instrument's pseudo-terminal is listed after the system's ports and selected, so that
// pressing Open shows the whole tool at work without any hardware. A small second window
// sets the voltage at the instrument's input, for the voltage calibration.

#include "buildinfo.h"
#include "demoscreenshot.h"
#include "mainwindow.h"
#include "simulatedinstrument.h"
#include "simulator.h"
#include "tabscreenshots.h"
#include "terminationwatcher.h"
#include "uuids.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFormLayout>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sodium.h>

namespace {

void say(const QString &text)
{
    std::fprintf(stderr, "rimeglass-demo: %s\n", qPrintable(text));
}

struct DemoOptions
{
    QString screenshotPath;
    QString tabScreenshotsFolder;
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
    const QCommandLineOption tabScreenshots(
        QStringLiteral("tab-screenshots"),
        QStringLiteral("Open the port, switch the RS232 output off until the readout is stale, "
                       "start a calibration upload that the instrument holds up, save a picture "
                       "of every tab at 1024 x 600 with an 11 pt font (a desktop's usual size) "
                       "to <folder>/window-<tab>.png, and quit."),
        QStringLiteral("folder"));
    parser.addOption(screenshot);
    parser.addOption(readings);
    parser.addOption(tabScreenshots);
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
    options->tabScreenshotsFolder = parser.value(tabScreenshots);
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

// A table of 60 points for the pictures' upload, in the demo's temporary directory.
QString writeDemoTable(const QTemporaryDir &files)
{
    const QString path = files.filePath(QStringLiteral("demo-sensor.txt"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    for (int i = 0; i < 60; ++i)
        file.write(QByteArray::number(4.0 + i * 5.0, 'f', 3) + ' '
                   + QByteArray::number(1.7 - i * 0.025, 'f', 5) + '\n');
    return path;
}

// The voltage at the simulated instrument's input: two different ones measured make a
// voltage calibration.
QWidget *inputVoltageControl(SimulatedInstrument *instrument, double volts)
{
    auto *control = new QWidget;
    control->setWindowTitle(QStringLiteral("Simulated instrument"));
    auto *input = new QDoubleSpinBox(control);
    input->setRange(-10.0, 10.0);
    input->setDecimals(6);
    input->setSingleStep(0.1);
    input->setSuffix(QStringLiteral(" V"));
    input->setValue(volts);
    input->setKeyboardTracking(false);
    QObject::connect(input, QOverload<double>::of(&QDoubleSpinBox::valueChanged), instrument,
                     &SimulatedInstrument::setInputVoltage);
    auto *layout = new QFormLayout(control);
    layout->addRow(QStringLiteral("Input voltage"), input);
    return control;
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

    InstrumentConfig config = simulatedInstrument(files);
    // For the pictures the readings come ten times faster, and the upload waits where the
    // instrument leaves its sixth acknowledgement out. Without a desktop (offscreen) Qt
    // takes a 12 pt font; the pictures show the size desktops use.
    if (!options.tabScreenshotsFolder.isEmpty()) {
        config.speed = 10.0;
        config.faults.dropAcknowledgement = 6;
        QFont font = QApplication::font();
        font.setPointSize(11);
        QApplication::setFont(font);
    }
    Simulator simulator(config);
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
    const std::unique_ptr<QWidget> inputControl(
        inputVoltageControl(simulator.instrument(), config.inputVoltage));
    inputControl->move(window.frameGeometry().topRight());
    inputControl->show();
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
    TabScreenshots tabScreenshots(&window, options.tabScreenshotsFolder, writeDemoTable(files));
    if (!options.tabScreenshotsFolder.isEmpty()) {
        QObject::connect(&tabScreenshots, &TabScreenshots::finished, &app, [&](bool saved) {
            say(saved ? QStringLiteral("every tab saved to %1").arg(options.tabScreenshotsFolder)
                      : tabScreenshots.problem());
            QCoreApplication::exit(saved ? 0 : 1);
        });
        QTimer::singleShot(0, &tabScreenshots, &TabScreenshots::start);
    }
    return app.exec();
}
