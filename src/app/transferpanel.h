#ifndef RIMEGLASS_TRANSFERPANEL_H
#define RIMEGLASS_TRANSFERPANEL_H

#include "device-serial.h"

#include <QObject>
#include <QString>

class QProgressBar;
class QPushButton;
class QWidget;

// How a transfer to the instrument (the calibration upload or the firmware upgrade)
// goes: the progress bar (on the Upgrade tab; a calibration upload's also on the Custom
// sensor tab), Cancel, and what the operator is told when it ends, in the status bar and,
// for a failure, in a box.
class TransferPanel : public QObject
{
    Q_OBJECT

public:
    explicit TransferPanel(QWidget *form);

    bool isRunning() const { return m_running; }
    // The kind of the transfer running or last asked for.
    Device::Transfer transfer() const { return m_transfer; }
    // The status bar's words for the last transfer that failed; empty when none has.
    QString failureStatus() const { return m_failureStatus; }
    // Cancels the transfer under way without the box that would tell its end, and
    // returns what the box would have said (empty when no transfer ran): the window is
    // about to close and says it itself.
    QString cancelForClosing();

public slots:
    // A new transfer is asked for: the bars start again from 0 unless one still runs.
    void prepare(Device::Transfer transfer);
    // `successText` is shown once the transfer completes.
    void showStarted(const QString &successText);
    // The transfer could not start; `reason` says why.
    void showRefused(const QString &reason);
    // How far the transfer has got, `state` of `stateMax`; a total of zero or less counts
    // as done.
    void showProgress(int state, int stateMax);
    void showFinished();
    void showFailed(const Device::TransferFailureReport &report);
    void setConnected(bool connected);

signals:
    void cancelRequested();
    void statusMessage(const QString &text, int timeoutMs);

private:
    void setBars(int percent, const QString &format);

    QWidget *m_form;
    QProgressBar *m_progressBar;
    QProgressBar *m_uploadProgressBar; // the Custom sensor tab's, for calibration uploads
    QPushButton *m_cancelButton;
    Device::Transfer m_transfer = Device::Transfer::Firmware;
    QString m_successText;
    QString m_failureStatus;
    QString m_closingFailureText;
    bool m_running = false;
    bool m_closing = false;
};

#endif
