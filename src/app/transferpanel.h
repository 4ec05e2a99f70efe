#ifndef RIMEGLASS_TRANSFERPANEL_H
#define RIMEGLASS_TRANSFERPANEL_H

#include "device-serial.h"

#include <QObject>
#include <QString>

class QProgressBar;
class QPushButton;
class QWidget;

// How a transfer to the instrument (the calibration upload or the firmware upgrade)
// goes: the progress bar, Cancel, and what the operator is told when it ends, in the
// status bar and, for a failure, in a box.
class TransferPanel : public QObject
{
    Q_OBJECT

public:
    explicit TransferPanel(QWidget *form);

public slots:
    // `successText` is shown once the transfer completes.
    void showStarted(const QString &successText);
    // The calibration upload and the firmware upgrade share the link's transfer buffer;
    // one must finish (or the port be reopened) before the other may start.
    void showRefused();
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
    QWidget *m_form;
    QProgressBar *m_progressBar;
    QPushButton *m_cancelButton;
    QString m_successText;
};

#endif
