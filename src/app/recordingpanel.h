#ifndef RIMEGLASS_RECORDINGPANEL_H
#define RIMEGLASS_RECORDINGPANEL_H

#include "instrumentidentity.h"
#include "reading.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

class QAction;
class QLabel;
class QPushButton;
class QSettings;
class QTimer;
class QWidget;
class Recorder;

// Recording readings to CSV files from the window: Record on the Status tab and in the
// menu, "Record automatically", the recording folder, and the row count in the status
// bar; once a recording is saved, where it went and a button that opens its folder. The
// folder and the automatic choice live in the store (StoreKey::recordingFolder,
// StoreKey::recordingAutomatic) and are handed to the Recorder.
class RecordingPanel : public QObject
{
    Q_OBJECT

public:
    RecordingPanel(QWidget *form, QSettings *store);

public slots:
    void setRecording(bool on);
    void setAutomatic(bool on);
    void chooseFolder();

    // Record is offered once the application firmware has identified itself: the
    // file is named after its serial number. The boot loader sends no readings.
    void showIdentity(const InstrumentIdentity &identity);
    void addReading(const Reading &reading);
    void setSensor(const QString &sensor);
    // `lost`: the port went away and the recording goes on when it is back.
    void connectionEnded(bool lost);
    void setConnected(bool connected);

signals:
    void statusMessage(const QString &text, int timeoutMs);

private:
    void recordingStarted();
    void recordingStopped(const QString &errorText);
    void recordingFileGone(const QString &lostPath, const QString &newPath);
    void openSavedFolder();
    void rowsRecorded();
    void showHeldRowCount();
    void showRecordingState();
    void showRecordingStatus();

    QSettings *m_store;
    QWidget *m_form;
    Recorder *m_recorder;
    QPushButton *m_recordButton;
    QAction *m_recordAction;
    QLabel *m_statusLabel;
    QLabel *m_openFolderLink; // offered once a recording is saved
    QString m_savedFolder;
    QTimer *m_statusUpdate; // runs while a row count is held back
    QElapsedTimer m_lastRowCount; // since the row count was last shown
    bool m_canStart = false;
};

#endif
