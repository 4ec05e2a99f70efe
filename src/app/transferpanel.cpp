#include "transferpanel.h"

#include "formchild.h"
#include "transferreport.h"
#include "windowgone.h"

#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

namespace {

const QString percentFormat = QStringLiteral("%p%");

} // namespace

TransferPanel::TransferPanel(QWidget *form)
    : QObject(form)
    , m_form(form)
    , m_progressBar(formChild<QProgressBar>(form, "progressBar"))
    , m_uploadProgressBar(formChild<QProgressBar>(form, "sensorUploadProgressBar"))
    , m_cancelButton(formChild<QPushButton>(form, "transferCancelButton"))
{
    setObjectName(QStringLiteral("transferPanel"));
    connect(m_cancelButton, &QPushButton::clicked, this, &TransferPanel::cancelRequested);
}

void TransferPanel::prepare(Device::Transfer transfer)
{
    if (m_running)
        return;
    m_transfer = transfer;
    m_uploadProgressBar->setVisible(transfer == Device::Transfer::Calibration);
    setBars(0, percentFormat);
}

void TransferPanel::showStarted(const QString &successText)
{
    m_successText = successText;
    m_running = true;
    m_cancelButton->setEnabled(true);
}

void TransferPanel::showRefused(const QString &reason)
{
    emit statusMessage(reason, 0);
}

void TransferPanel::showProgress(int state, int stateMax)
{
    // Widened so that a large transfer cannot overflow the percentage.
    int percent = 100;
    if (stateMax > 0)
        percent = int(qMin<qint64>((qint64(state) + 1) * 100 / stateMax, 100));
    setBars(percent, percentFormat);
}

void TransferPanel::showFinished()
{
    m_running = false;
    m_cancelButton->setEnabled(false);
    emit statusMessage(m_successText, 0);
}

void TransferPanel::showFailed(const Device::TransferFailureReport &report)
{
    const QString title = TransferReport::title(report.transfer);
    const QString text = TransferReport::failureText(report);
    m_running = false;
    m_cancelButton->setEnabled(false);
    // The bar keeps how far it got, marked as failed rather than left frozen.
    setBars(m_progressBar->value(), tr("Failed at %p%"));
    m_failureStatus = tr("%1 failed").arg(title);
    emit statusMessage(m_failureStatus, 0);
    if (m_closing) {
        m_closingFailureText = text;
        return;
    }
    // The failure is reported from inside the link's handling of a line or of its port
    // closing; the box's own event loop must not run there, where it could delete the
    // link.
    QTimer::singleShot(0, this, [this, title, text] {
        if (!windowHasGone(m_form))
            QMessageBox::critical(m_form, title, text, QMessageBox::Ok, QMessageBox::Ok);
    });
}

QString TransferPanel::cancelForClosing()
{
    m_closing = true;
    m_closingFailureText.clear();
    emit cancelRequested();
    m_closing = false;
    return m_closingFailureText;
}

void TransferPanel::setConnected(bool connected)
{
    if (!connected)
        m_cancelButton->setEnabled(false);
}

void TransferPanel::setBars(int percent, const QString &format)
{
    for (QProgressBar *bar : {m_progressBar, m_uploadProgressBar}) {
        bar->setFormat(format);
        bar->setValue(percent);
    }
}
