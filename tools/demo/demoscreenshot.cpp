#include "demoscreenshot.h"

#include "device-serial.h"
#include "mainwindow.h"

#include <QAbstractButton>
#include <QPixmap>
#include <QTimer>

namespace {

// The simulated instrument reports a temperature every second unless told otherwise;
// this leaves room for a slow machine.
constexpr int secondsPerReadingAllowed = 5;
constexpr int startAllowanceSeconds = 10;
constexpr int drawingAllowanceMs = 100;

} // namespace

DemoScreenshot::DemoScreenshot(MainWindow *window, const QString &path, int readings,
                               QObject *parent)
    : QObject(parent)
    , m_window(window)
    , m_path(path)
    , m_readings(readings)
    , m_deadline(new QTimer(this))
{
    m_deadline->setSingleShot(true);
    connect(m_deadline, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("%1 of %2 temperatures shown in time").arg(m_seen).arg(m_readings));
    });
}

void DemoScreenshot::start()
{
    auto *open = m_window->findChild<QAbstractButton *>(QStringLiteral("serialPortOpenButton"));
    if (open)
        open->click();
    auto *device = m_window->findChild<Device *>();
    if (!device) {
        fail(QStringLiteral("the port did not open"));
        return;
    }
    // Connected after the window's own slot, so a reading is on screen when it counts.
    connect(device, &Device::temperatureChanged, this, &DemoScreenshot::countReading);
    m_deadline->start((startAllowanceSeconds + secondsPerReadingAllowed * m_readings) * 1000);
}

void DemoScreenshot::countReading()
{
    if (++m_seen == m_readings) {
        m_deadline->stop();
        // Once the window has drawn what the last reading changed: it draws the live
        // plot at most once a display frame, so the picture waits a few frames.
        QTimer::singleShot(drawingAllowanceMs, this, &DemoScreenshot::save);
    }
}

void DemoScreenshot::save()
{
    if (!m_window->grab().save(m_path, "PNG")) {
        fail(QStringLiteral("cannot write %1").arg(m_path));
        return;
    }
    emit finished(true);
}

void DemoScreenshot::fail(const QString &problem)
{
    m_problem = problem;
    emit finished(false);
}
