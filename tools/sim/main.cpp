// rimeglass-sim: a simulated instrument on a pseudo-terminal, for trying the tool
// without the hardware.

#include "buildinfo.h"
#include "consolecontrol.h"
#include "simulatedinstrument.h"
#include "simulator.h"
#include "simulatoroptions.h"
#include "terminationwatcher.h"

#include <QCoreApplication>
#include <cstdio>

namespace {

void printError(const QString &text)
{
    std::fprintf(stderr, "rimeglass-sim: %s\n", qPrintable(text));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rimeglass-sim"));

    SimulatorOptions options;
    if (!options.parse(QCoreApplication::arguments())) {
        printError(options.errorText());
        std::fprintf(stderr, "Try 'rimeglass-sim --help'.\n");
        return 2;
    }
    if (options.helpRequested()) {
        std::fputs(qPrintable(SimulatorOptions::helpText()), stdout);
        return 0;
    }
    if (options.versionRequested()) {
        std::fputs(BuildInfo::versionReport(QStringLiteral("rimeglass-sim")).toUtf8().constData(),
                   stdout);
        return 0;
    }

    const InstrumentConfig config = options.config();
    Simulator simulator(config);
    QObject::connect(&simulator, &Simulator::log, &simulator,
                     [](const QString &text) { printError(text); });
    simulator.setTrafficLogged(options.verbose());

    QString error;
    if (!simulator.start(&error)) {
        printError(error);
        return 1;
    }
    if (!options.linkPath().isEmpty() && !simulator.createLink(options.linkPath(), &error)) {
        printError(error);
        return 1;
    }

    TerminationWatcher termination;
    if (!termination.install()) {
        printError(QStringLiteral("cannot watch for termination signals"));
        return 1;
    }
    QObject::connect(&termination, &TerminationWatcher::terminationRequested, &app,
                     &QCoreApplication::quit);

    ConsoleControl console(simulator.instrument());
    QObject::connect(&console, &ConsoleControl::reply, &console,
                     [](const QString &text) { printError(text); });

    std::printf("%s\n", qPrintable(simulator.portName()));
    std::fflush(stdout);
    if (options.verbose())
        printError(QStringLiteral("seed %1").arg(config.seed));

    simulator.setAutomaticOutputEnabled(true);
    return app.exec();
}
