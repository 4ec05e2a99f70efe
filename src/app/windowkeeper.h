#ifndef RIMEGLASS_WINDOWKEEPER_H
#define RIMEGLASS_WINDOWKEEPER_H

#include <QObject>

class InstrumentSession;
class QMainWindow;
class QSettings;
class QTabWidget;
class RecordingPanel;
class TransferPanel;

// Keeps the window and the operator's work: its size, place and tab from one run to the
// next, and closing that loses nothing. It watches the window's close events, so the
// title bar's close button and Quit ask the same question.
class WindowKeeper : public QObject
{
    Q_OBJECT

public:
    WindowKeeper(QMainWindow *window, QTabWidget *tabs, QSettings *store,
                 InstrumentSession *session, TransferPanel *transfer, RecordingPanel *recording);

    // The size (never larger than the form's own), place and tab of the last window
    // closed; a place off every screen (one no longer connected) is ignored, and the window
    // opens where the system puts it.
    void restore();
    // True when the window may close: nothing runs, or the operator quits anyway, in which
    // case the transfer has been cancelled and what it leaves the instrument in was said.
    bool mayClose();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void remember();

    QMainWindow *m_window;
    QTabWidget *m_tabs;
    QSettings *m_store;
    InstrumentSession *m_session;
    TransferPanel *m_transfer;
    RecordingPanel *m_recording;
};

#endif
