#include "transferpanel.h"

#include "formchild.h"
#include "transferreport.h"

#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

namespace {

const int transferRefusedNoticeMs = 5000;

} // namespace

TransferPanel::TransferPanel(QWidget *form)
    : QObject(form)
    , m_form(form)
    , m_progressBar(formChild<QProgressBar>(form, "progressBar"))
    , m_cancelButton(formChild<QPushButton>(form, "transferCancelButton"))
{
    setObjectName(QStringLiteral("transferPanel"));
    connect(m_cancelButton, &QPushButton::clicked, this, &TransferPanel::cancelRequested);
}

void TransferPanel::showStarted(const QString &successText)
{
    m_successText = successText;
    m_cancelButton->setEnabled(true);
}

void TransferPanel::showRefused()
{
    emit statusMessage(tr("Another transfer is in progress"), transferRefusedNoticeMs);
}

void TransferPanel::showProgress(int state, int stateMax)
{
    // Widened so that a large transfer cannot overflow the percentage.
    int percent = 100;
    if (stateMax > 0)
        percent = int(qMin<qint64>((qint64(state) + 1) * 100 / stateMax, 100));
    m_progressBar->setFormat(QStringLiteral("%p%"));
    m_progressBar->setValue(percent);
}

void TransferPanel::showFinished()
{
    m_cancelButton->setEnabled(false);
    emit statusMessage(m_successText, 0);
}

void TransferPanel::showFailed(const Device::TransferFailureReport &report)
{
    const QString title = TransferReport::title(report.transfer);
    const QString text = TransferReport::failureText(report);
    m_cancelButton->setEnabled(false);
    // The bar keeps how far it got, marked as failed rather than left frozen.
    m_progressBar->setFormat(tr("Failed at %p%"));
    emit statusMessage(tr("%1 failed").arg(title), 0);
    // The failure is reported from inside the link's handling of a line or of its port
    // closing; the box's own event loop must not run there, where it could delete the
    // link.
    QTimer::singleShot(0, this, [this, title, text] {
        QMessageBox::critical(m_form, title, text, QMessageBox::Ok, QMessageBox::Ok);
    });
}

void TransferPanel::setConnected(bool connected)
{
    if (!connected)
        m_cancelButton->setEnabled(false);
}
