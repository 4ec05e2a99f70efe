// The tool's own start-up, instrumented: main as the tool has it, plus a note of the
// monotonic clock on entry and once the window's first frame has been painted and
// flushed. bench_startup starts it and reads the two notes from standard output.

#include "batcheddebugoutput.h"
#include "benchsupport.h"
#include "buildinfo.h"
#include "mainwindow.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <cstdio>
#include <sodium.h>

namespace {

// Reports once the first paint of the window has gone through: the flush follows the
// paint within the same pass of the event loop, the zero timer after it.
class FirstFrameReporter : public QObject
{
public:
    FirstFrameReporter(QWidget *window, double entered)
        : QObject(window)
        , enteredAt(entered)
    {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!seen && watched == parent() && event->type() == QEvent::Paint) {
            seen = true;
            QTimer::singleShot(0, this, [this] { report(); });
        }
        return false;
    }

private:
    void report()
    {
        std::printf("main %.9f\nshown %.9f\n", enteredAt, bench::monotonicSeconds());
        std::fflush(stdout);
        QCoreApplication::quit();
    }

    double enteredAt;
    bool seen = false;
};

} // namespace

int main(int argc, char *argv[])
{
    const double entered = bench::monotonicSeconds();

    if (sodium_init() != 0)
        return 1;

    QCoreApplication::setOrganizationName(QStringLiteral("MORVA"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("rimeglass.morva.example"));
    QCoreApplication::setApplicationName(QStringLiteral("rimeglass"));
    QCoreApplication::setApplicationVersion(BuildInfo::version());

    auto *application = new QApplication(argc, argv);
    // The device link's debug lines, one per line received, go out in batches when standard
    // error is not a terminal.
    BatchedDebugOutput::install("rimeglass.device");
    auto *window = new MainWindow;
    new FirstFrameReporter(window, entered);
    window->show();
    const int result = application->exec();

    delete window;
    delete application;
    return result;
}
