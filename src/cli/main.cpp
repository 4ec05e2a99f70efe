#include "cli.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <sodium.h>

int main(int argc, char *argv[])
{
    // Firmware signatures are checked with libsodium.
    if (sodium_init() != 0)
        return 1;

    QCoreApplication::setOrganizationName(QStringLiteral("MORVA"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("rimeglass.morva.example"));
    QCoreApplication::setApplicationName(QStringLiteral("rimeglass-cli"));
    QCoreApplication application(argc, argv);
    // The diagnostics of the link, the session and the files read ("serial read: ...")
    // stay out of a script's standard error, and cost nothing;
    // QT_LOGGING_RULES="rimeglass.*.debug=true" brings them back.
    QLoggingCategory::setFilterRules(
        QStringLiteral("default.debug=false\nrimeglass.*.debug=false"));
    Cli cli;
    return cli.run(QCoreApplication::arguments());
}
