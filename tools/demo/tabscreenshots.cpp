#include "tabscreenshots.h"

#include "instrumentsession.h"
#include "mainwindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>

namespace {

const QSize pictureSize(1024, 600);
constexpr int pollMs = 50;
// Each step (the read-back, the readings, the readout going stale, ...) may take this long.
constexpr int stepAllowanceMs = 30000;
constexpr int readingsPlotted = 40;
constexpr int tabDrawingMs = 250;
const char *const tabNames[]
    = {"status", "settings", "custom-sensor", "upgrade", "calibration", "history"};

template<typename T>
T *child(const MainWindow *window, const char *name)
{
    return window->findChild<T *>(QLatin1String(name));
}

} // namespace

TabScreenshots::TabScreenshots(MainWindow *window, const QString &folder, const QString &table,
                               QObject *parent)
    : QObject(parent)
    , m_window(window)
    , m_folder(folder)
    , m_table(table)
    , m_poll(new QTimer(this))
{
    m_poll->setInterval(pollMs);
    connect(m_poll, &QTimer::timeout, this, [this] {
        if (m_reached()) {
            m_poll->stop();
            m_next();
        } else if (--m_pollsLeft <= 0) {
            m_poll->stop();
            fail(m_awaited + QStringLiteral(" did not come in time"));
        }
    });
}

void TabScreenshots::start()
{
    m_window->resize(pictureSize);
    connect(m_window->findChild<InstrumentSession *>(), &InstrumentSession::readingArrived, this,
            [this] { ++m_readings; });
    child<QAbstractButton>(m_window, "serialPortOpenButton")->click();
    when(
        QStringLiteral("the read-back"),
        [this] {
            return m_window->statusBar()->currentMessage()
                == QLatin1String("Settings read from the instrument");
        },
        [this] {
            when(
                QStringLiteral("the readings"), [this] { return m_readings >= readingsPlotted; },
                [this] { switchOutputOff(); });
        });
}

void TabScreenshots::switchOutputOff()
{
    child<QComboBox>(m_window, "rs232AutomaticOutputCombo")->setCurrentIndex(0);
    when(
        QStringLiteral("a stale readout"),
        [this] { return !child<QLabel>(m_window, "temperatureAgeLabel")->text().isEmpty(); },
        [this] { startUpload(); });
}

void TabScreenshots::startUpload()
{
    // The file dialog is answered as soon as it shows, as the operator would.
    auto *answer = new QTimer(this);
    connect(answer, &QTimer::timeout, this, [this, answer] {
        if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
            answer->deleteLater();
            dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(m_table);
            static_cast<QDialog *>(dialog)->accept();
        }
    });
    answer->start(pollMs);
    child<QAbstractButton>(m_window, "sensorFileChooseButton")->click();
    child<QAbstractButton>(m_window, "sensorUploadButton")->click();
    // Held up where the instrument leaves an acknowledgement out.
    when(
        QStringLiteral("the upload"),
        [this] { return child<QProgressBar>(m_window, "progressBar")->value() >= 30; },
        [this] { save(0); });
}

// Tab by tab, each given time to lay itself out and draw (History redraws on a timer).
void TabScreenshots::save(int tab)
{
    auto *tabs = child<QTabWidget>(m_window, "tabWidget");
    if (tab == tabs->count()) {
        emit finished(true);
        return;
    }
    tabs->setCurrentIndex(tab);
    QTimer::singleShot(tabDrawingMs, this, [this, tab] {
        const QString name
            = tab < int(std::size(tabNames)) ? QLatin1String(tabNames[tab]) : QString::number(tab);
        const QString path = QDir(m_folder).filePath(QStringLiteral("window-%1.png").arg(name));
        if (m_window->grab().save(path, "PNG"))
            save(tab + 1);
        else
            fail(QStringLiteral("cannot write %1").arg(path));
    });
}

void TabScreenshots::when(const QString &awaited, const std::function<bool()> &reached,
                          const std::function<void()> &next)
{
    m_awaited = awaited;
    m_reached = reached;
    m_next = next;
    m_pollsLeft = stepAllowanceMs / pollMs;
    m_poll->start();
}

void TabScreenshots::fail(const QString &problem)
{
    m_problem = problem;
    emit finished(false);
}
