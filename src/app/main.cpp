#include "mainwindow.h"

#include <QApplication>
#include <sodium.h>

int main(int argc, char *argv[])
{
    // Firmware signatures are checked with libsodium; without it nothing may start.
    if (sodium_init() != 0)
        return 1;

    QCoreApplication::setOrganizationName(QStringLiteral("MORVA"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("rimeglass.morva.example"));
    QCoreApplication::setApplicationName(QStringLiteral("rimeglass"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.7"));

    auto *application = new QApplication(argc, argv);
    auto *window = new MainWindow;
    window->show();
    const int result = application->exec();

    delete window;
    delete application;
    return result;
}
