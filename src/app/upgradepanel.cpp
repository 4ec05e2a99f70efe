#include "upgradepanel.h"

#include "buildinfo.h"
#include "filedialogs.h"
#include "firmware.h"
#include "firmwareversion.h"
#include "formchild.h"
#include "inputfile.h"
#include "settingstable.h"
#include "transferreport.h"
#include "windowlog.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <memory>

namespace {

const char noInstrumentTip[] = "No instrument has identified itself on this port yet.";

} // namespace

UpgradePanel::UpgradePanel(QWidget *form, QSettings *store)
    : QObject(form)
    , m_store(store)
    , m_form(form)
    , m_upgradeButton(formChild<QPushButton>(form, "upgradeButton"))
    , m_modelValue(formChild<QLineEdit>(form, "modelValue"))
    , m_versionValue(formChild<QLineEdit>(form, "versionValue"))
    , m_serialNumberValue(formChild<QLineEdit>(form, "serialNumberValue"))
{
    setObjectName(QStringLiteral("upgradePanel"));
    connect(m_upgradeButton, &QPushButton::clicked, this, &UpgradePanel::upgrade);
    setConnected(false);
}

void UpgradePanel::showIdentity(const InstrumentIdentity &identity)
{
    m_modelValue->setText(identity.model);
    m_serialNumberValue->setText(identity.serialNumber);
    m_versionValue->setText(identity.version);
    m_version = identity.version;
    m_revision = identity.revision;
    m_identified = true;
    m_upgradeButton->setToolTip(QString());
}

void UpgradePanel::forgetIdentity()
{
    for (QLineEdit *field : {m_modelValue, m_versionValue, m_serialNumberValue})
        field->setText(QStringLiteral("-"));
    m_version.clear();
    m_revision.clear();
    m_identified = false;
    m_upgradeButton->setToolTip(tr(noInstrumentTip));
}

void UpgradePanel::setConnected(bool connected)
{
    m_connected = connected;
    m_upgradeButton->setEnabled(connected);
    if (!connected)
        forgetIdentity();
}

void UpgradePanel::upgrade()
{
    if (!m_connected)
        return;
    if (!m_identified) {
        QMessageBox::information(m_form, tr("Firmware upgrade"),
                                 tr("No instrument has identified itself on this port yet. The "
                                    "upgrade needs its model and hardware revision: check the "
                                    "cable and the port, then open it again."));
        return;
    }
    emit upgradeAsked();
    const QString path = FileDialogs::chooseFileToOpen(
        m_form, m_store, StoreKey::firmwareUpgradeLastPath, tr("Firmware files (*.crp)"));
    // The port may have gone away while the dialog was open.
    if (path.isEmpty() || !m_connected)
        return;

    const QByteArray revision = m_revision;
    QString unreadable;
    const std::unique_ptr<Firmware> firmware(
        Firmware::fromFileData(InputFile::read(path, &unreadable), revision));
    if (!firmware->valid()) {
        QMessageBox::critical(m_form, tr("Firmware upgrade"),
                              unreadable.isEmpty() ? tr("Invalid or unsupported firmware file")
                                                   : unreadable,
                              QMessageBox::Ok, QMessageBox::Ok);
        return;
    }
    if (firmware->blob().isEmpty()) {
        QMessageBox::critical(m_form, tr("Firmware upgrade"),
                              tr("The firmware file holds an empty image for this instrument"),
                              QMessageBox::Ok, QMessageBox::Ok);
        return;
    }

    const QString mismatch = FirmwareVersion::containerMismatch(
        firmware->vendor(), firmware->model(), m_modelValue->text());
    if (!mismatch.isEmpty()) {
        QMessageBox::critical(m_form, tr("Firmware upgrade"), mismatch);
        return;
    }

    qCDebug(windowLog) << "firmware vendor:" << firmware->vendor();
    qCDebug(windowLog) << "firmware model:" << firmware->model();
    qCDebug(windowLog) << "firmware version:" << firmware->version();
    qCDebug(windowLog) << "firmware blob size:" << firmware->blob().size();

    const QString installed = m_version;
    QMessageBox question(QMessageBox::Question, tr("Firmware upgrade"),
                         FirmwareVersion::upgradeQuestion(installed, firmware->version()),
                         QMessageBox::Yes | QMessageBox::No, m_form);
    question.setDefaultButton(QMessageBox::Yes);
    // Anyone can sign a container that a development-key build accepts.
    if (BuildInfo::trustsDevelopmentKey())
        question.setInformativeText(tr("This build accepts containers signed with the "
                                       "published development seed."));
    question.exec();
    const QMessageBox::StandardButton answer = question.standardButton(question.clickedButton());
    if (answer != QMessageBox::Yes || !m_connected)
        return;
    emit upgradeRequested(
        firmware->blob(), revision,
        TransferReport::firmwareSuccessText(
            firmware->version(), FirmwareVersion::compare(installed, firmware->version()) > 0));
}
