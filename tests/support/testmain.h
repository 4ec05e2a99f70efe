#ifndef RIMEGLASS_TESTS_TESTMAIN_H
#define RIMEGLASS_TESTS_TESTMAIN_H

#include <QTemporaryDir>
#include <QtTest>
#include <cstdlib>

// Every suite runs offscreen and with HOME and XDG_CONFIG_HOME in a fresh temporary
// directory, so that no test ever reads or writes a real user's settings store.
namespace rimeglass::test {

inline void isolateUserStore(const QString &home)
{
    qputenv("HOME", home.toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home + QStringLiteral("/.config")).toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

} // namespace rimeglass::test

#define RIMEGLASS_TEST_MAIN(AppClass, TestObject)                                                  \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        QTemporaryDir home;                                                                        \
        if (!home.isValid())                                                                       \
            return EXIT_FAILURE;                                                                   \
        rimeglass::test::isolateUserStore(home.path());                                            \
        AppClass app(argc, argv);                                                                  \
        QCoreApplication::setOrganizationName(QStringLiteral("MORVA"));                            \
        QCoreApplication::setApplicationName(QStringLiteral("rimeglass"));                         \
        TestObject tc;                                                                             \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }

#endif
