#include "recordingpanel.h"

#include "formchild.h"
#include "recorder.h"
#include "storedvalue.h"
#include "windowgone.h"
#include "windowlog.h"

#include <QAction>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

namespace {

// The row count changes with every reading; it is shown anew at most this often.
const int recordingStatusUpdateMs = 250;
// A long serial number makes a long file name; the status bar shows this much of it.
const int fileNameShownPixels = 320;

QString rowsText(qint64 rows)
{
    const QString count = QLocale(QLocale::English).toString(rows);
    return rows == 1 ? RecordingPanel::tr("%1 row").arg(count)
                     : RecordingPanel::tr("%1 rows").arg(count);
}

const char recordNeedsInstrumentTip[]
    = "Recording starts once an instrument has identified itself: its serial number names "
      "the file.";

} // namespace

RecordingPanel::RecordingPanel(QWidget *form, QSettings *store)
    : QObject(form)
    , m_store(store)
    , m_form(form)
    , m_recorder(new Recorder(this))
    , m_recordButton(formChild<QPushButton>(form, "recordButton"))
    , m_recordAction(formChild<QAction>(form, "actionRecord"))
    , m_statusLabel(new QLabel(form))
    , m_openFolderLink(new QLabel(form))
    , m_statusUpdate(new QTimer(this))
{
    setObjectName(QStringLiteral("recordingPanel"));
    m_recorder->setFolder(storedValue(*m_store, StoreKey::recordingFolder).toString());
    const bool automatic = storedValue(*m_store, StoreKey::recordingAutomatic).toBool();
    m_recorder->setAutomatic(automatic);
    auto *automaticAction = formChild<QAction>(form, "actionRecordAutomatically");
    automaticAction->setChecked(automatic);

    m_statusLabel->setObjectName(QStringLiteral("recordingStatusLabel"));
    auto *statusBar = formChild<QStatusBar>(form, "statusBar");
    statusBar->addPermanentWidget(m_statusLabel);
    // A link rather than a button: the status bar keeps the height of its text.
    m_openFolderLink->setObjectName(QStringLiteral("openRecordingFolderLink"));
    m_openFolderLink->setText(QStringLiteral("<a href=\"folder\">%1</a>").arg(tr("Open folder")));
    m_openFolderLink->setTextInteractionFlags(Qt::LinksAccessibleByMouse
                                              | Qt::LinksAccessibleByKeyboard);
    m_openFolderLink->hide();
    statusBar->addPermanentWidget(m_openFolderLink);
    connect(m_openFolderLink, &QLabel::linkActivated, this, &RecordingPanel::openSavedFolder);
    m_statusUpdate->setSingleShot(true);
    connect(m_statusUpdate, &QTimer::timeout, this, &RecordingPanel::showHeldRowCount);

    connect(m_recorder, &Recorder::started, this, &RecordingPanel::recordingStarted);
    connect(m_recorder, &Recorder::stopped, this, &RecordingPanel::recordingStopped);
    connect(m_recorder, &Recorder::rowsWritten, this, &RecordingPanel::rowsRecorded);
    connect(m_recorder, &Recorder::fileGone, this, &RecordingPanel::recordingFileGone);
    connect(m_recordButton, &QPushButton::toggled, this, &RecordingPanel::setRecording);
    connect(m_recordAction, &QAction::toggled, this, &RecordingPanel::setRecording);
    connect(automaticAction, &QAction::toggled, this, &RecordingPanel::setAutomatic);
    connect(formChild<QAction>(form, "actionRecordingFolder"), &QAction::triggered, this,
            &RecordingPanel::chooseFolder);
    showRecordingState();
}

void RecordingPanel::setRecording(bool on)
{
    // Putting the other Record control in step comes back here with nothing to do.
    if (on && !m_recorder->isRecording() && m_canStart)
        m_recorder->start(m_recorder->folder());
    else if (!on && m_recorder->isRecording())
        m_recorder->stop();
    showRecordingState();
}

void RecordingPanel::setAutomatic(bool on)
{
    m_store->setValue(StoreKey::recordingAutomatic, on);
    m_recorder->setAutomatic(on);
}

void RecordingPanel::chooseFolder()
{
    QFileDialog dialog(m_form);
    dialog.setWindowTitle(tr("Recording folder"));
    dialog.setDirectory(m_recorder->folder());
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString folder = dialog.selectedFiles().constFirst();
    m_store->setValue(StoreKey::recordingFolder, folder);
    m_recorder->setFolder(folder);
}

void RecordingPanel::showIdentity(const InstrumentIdentity &identity)
{
    m_canStart = !identity.bootLoader;
    showRecordingState();
    if (!identity.bootLoader)
        m_recorder->instrumentIdentified(identity);
}

void RecordingPanel::addReading(const Reading &reading)
{
    m_recorder->addReading(reading);
}

void RecordingPanel::setSensor(const QString &sensor)
{
    m_recorder->sensorChanged(sensor);
}

void RecordingPanel::connectionEnded(bool lost)
{
    m_recorder->connectionEnded(lost);
}

void RecordingPanel::setConnected(bool connected)
{
    if (connected)
        return;
    m_canStart = false;
    showRecordingState();
}

void RecordingPanel::recordingStarted()
{
    m_statusUpdate->stop();
    m_openFolderLink->hide();
    showRecordingState();
}

void RecordingPanel::recordingStopped(const QString &errorText)
{
    m_statusUpdate->stop();
    showRecordingState();
    if (errorText.isEmpty()) {
        const QString path = QDir::toNativeSeparators(m_recorder->filePath());
        const QString saved
            = tr("Recording saved to %1 (%2)").arg(path, rowsText(m_recorder->rowCount()));
        // Also where a window closing with it leaves a word.
        qCInfo(windowLog).noquote() << saved;
        emit statusMessage(saved, 0);
        m_savedFolder = QFileInfo(m_recorder->filePath()).absolutePath();
        m_openFolderLink->setToolTip(QDir::toNativeSeparators(m_savedFolder));
        m_openFolderLink->show();
        return;
    }
    emit statusMessage(errorText, 0);
    // A failed write is found while a reading is handled, deep in the port's read: the
    // box's event loop must not run there, where it could delete the link under it.
    QTimer::singleShot(0, this, [this, errorText] {
        if (!windowHasGone(m_form))
            QMessageBox::warning(m_form, tr("Recording"), errorText);
    });
}

void RecordingPanel::recordingFileGone(const QString &lostPath, const QString &newPath)
{
    emit statusMessage(
        tr("The recording file %1 was deleted or replaced; the recording goes "
           "on in %2")
            .arg(QDir::toNativeSeparators(lostPath), QDir::toNativeSeparators(newPath)),
        0);
}

void RecordingPanel::openSavedFolder()
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(m_savedFolder));
}

void RecordingPanel::showRecordingState()
{
    const bool recording = m_recorder->isRecording();
    m_recordButton->setChecked(recording);
    m_recordAction->setChecked(recording);
    const bool available = recording || m_canStart;
    m_recordButton->setEnabled(available);
    m_recordAction->setEnabled(available);
    m_recordButton->setToolTip(available ? QString() : tr(recordNeedsInstrumentTip));
    showRecordingStatus();
}

// Shows the count at once when it was last shown an update interval ago or more, else
// when the interval is over; nothing waits for an interval without a row.
void RecordingPanel::rowsRecorded()
{
    if (m_statusUpdate->isActive())
        return;
    const qint64 sinceShownMs
        = m_lastRowCount.isValid() ? m_lastRowCount.elapsed() : recordingStatusUpdateMs;
    if (sinceShownMs < recordingStatusUpdateMs) {
        m_statusUpdate->start(int(recordingStatusUpdateMs - sinceShownMs));
        return;
    }
    showHeldRowCount();
}

void RecordingPanel::showHeldRowCount()
{
    m_lastRowCount.start();
    showRecordingStatus();
}

void RecordingPanel::showRecordingStatus()
{
    if (!m_recorder->isRecording()) {
        m_statusLabel->clear();
        return;
    }
    const QString fileName = m_statusLabel->fontMetrics().elidedText(
        QFileInfo(m_recorder->filePath()).fileName(), Qt::ElideMiddle, fileNameShownPixels);
    m_statusLabel->setText(tr("Recording %1: %2").arg(fileName, rowsText(m_recorder->rowCount())));
}
