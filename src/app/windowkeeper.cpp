#include "windowkeeper.h"

#include "instrumentsession.h"
#include "recordingpanel.h"
#include "settingstable.h"
#include "storedvalue.h"
#include "transferpanel.h"
#include "transferreport.h"

#include <QCloseEvent>
#include <QDataStream>
#include <QGuiApplication>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTabWidget>
#include <algorithm>

namespace {

// The form's own size: the window never opens larger, so that it fits small screens.
const QSize largestOpeningSize(1024, 600);

// Where the window stood, as QWidget::saveGeometry() writes it: a magic number and the
// format's version, then the frame's rectangle. Null for anything else.
QRect savedFrame(const QByteArray &geometry)
{
    QDataStream stream(geometry);
    stream.setVersion(QDataStream::Qt_4_0);
    quint32 magic = 0;
    quint16 majorVersion = 0;
    quint16 minorVersion = 0;
    QRect frame;
    stream >> magic >> majorVersion >> minorVersion >> frame;
    if (stream.status() != QDataStream::Ok || magic != 0x1D9D0CB || majorVersion < 1)
        return QRect();
    return frame;
}

bool isOnSomeScreen(const QRect &frame)
{
    const QList<QScreen *> screens = QGuiApplication::screens();
    return std::any_of(screens.cbegin(), screens.cend(), [&frame](const QScreen *screen) {
        return screen->availableGeometry().intersects(frame);
    });
}

// What the operator is asked when closing while a transfer runs.
QString closingQuestion(Device::Transfer transfer)
{
    return transfer == Device::Transfer::Firmware
        ? WindowKeeper::tr("The firmware upgrade is still running. Quitting cancels it; the "
                           "instrument is then left in its boot loader until the upgrade is "
                           "run again.")
        : WindowKeeper::tr("The calibration upload is still running. Quitting cancels it; the "
                           "instrument's custom table is then left erased until it is uploaded "
                           "again.");
}

} // namespace

WindowKeeper::WindowKeeper(QMainWindow *window, QTabWidget *tabs, QSettings *store,
                           InstrumentSession *session, TransferPanel *transfer,
                           RecordingPanel *recording)
    : QObject(window)
    , m_window(window)
    , m_tabs(tabs)
    , m_store(store)
    , m_session(session)
    , m_transfer(transfer)
    , m_recording(recording)
{
    window->installEventFilter(this);
}

bool WindowKeeper::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_window || event->type() != QEvent::Close)
        return false;
    if (!mayClose()) {
        event->ignore();
        return true;
    }
    // The port stays open until the window is destroyed; the file is complete now.
    m_recording->setRecording(false);
    if (m_window->isVisible())
        remember();
    return false;
}

bool WindowKeeper::mayClose()
{
    if (m_session->state() != InstrumentSession::State::Transferring)
        return true;
    const QString title = TransferReport::title(m_transfer->transfer());
    QMessageBox question(QMessageBox::Warning, title, closingQuestion(m_transfer->transfer()),
                         QMessageBox::NoButton, m_window);
    QPushButton *quit = question.addButton(tr("Quit anyway"), QMessageBox::DestructiveRole);
    QPushButton *keepWorking = question.addButton(tr("Keep working"), QMessageBox::RejectRole);
    question.setDefaultButton(keepWorking);
    question.setEscapeButton(keepWorking);
    question.exec();
    if (question.clickedButton() != quit)
        return false;
    const QString outcome = m_transfer->cancelForClosing();
    if (!outcome.isEmpty())
        QMessageBox::warning(m_window, title, outcome);
    return true;
}

void WindowKeeper::restore()
{
    m_window->resize(m_window->size().boundedTo(largestOpeningSize));
    const QByteArray geometry = QByteArray::fromBase64(
        storedValue(*m_store, StoreKey::windowGeometry).toString().toLatin1());
    if (isOnSomeScreen(savedFrame(geometry)))
        m_window->restoreGeometry(geometry);
    const int tab = storedValue(*m_store, StoreKey::currentTab).toInt();
    if (tab >= 0 && tab < m_tabs->count())
        m_tabs->setCurrentIndex(tab);
}

void WindowKeeper::remember()
{
    m_store->setValue(StoreKey::windowGeometry,
                      QString::fromLatin1(m_window->saveGeometry().toBase64()));
    m_store->setValue(StoreKey::currentTab, m_tabs->currentIndex());
}
