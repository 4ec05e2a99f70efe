#ifndef RIMEGLASS_RECORDER_H
#define RIMEGLASS_RECORDER_H

#include "instrumentidentity.h"
#include "reading.h"
#include "recordingfile.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <functional>

class QTimer;

// Records every reading into a CSV file (RecordingFile) while asked to: start(folder)
// and stop(), or automatic mode, where the first identification after the port was
// opened starts a new file. Each row carries the time its reading was stamped with.
//
// The window keeps the two choices in its settings store: "/recording/folder" (default
// the documents folder + "/rimeglass") and "/recording/automatic" (default false); this
// class reads no settings.
//
// Every row reaches the operating system at once; the file is synced to the disk at
// most once a second (within a second of any row), so a crash of the program loses
// nothing and a power cut at most the last second. A sync per row would stall the
// window at the line's full rate. Before a row, when the last check is a second or more
// older than its reading, the file is checked to be still the one at its path: one
// deleted (or replaced) under the recording is said (fileGone()) and the recording goes
// on in a new file, the row in it. Nothing wakes a recording that gets no readings.
//
// Another instrument identified during a recording (another serial number) gets a file
// of its own once it has stayed for newFileHoldOffSeconds: at its first reading that
// long after it identified itself. Until then its rows go on in the current file after
// an "# instrument: " line naming it, so that a garbled serial number for a moment, or a
// flood of identifications, never splits the recording into a file per identification.
class Recorder : public QObject
{
    Q_OBJECT

public:
    // The time a recording starts, in UTC.
    using Clock = std::function<QDateTime()>;

    static constexpr int newFileHoldOffSeconds = 5;

    explicit Recorder(QObject *parent = nullptr);
    ~Recorder() override;

    void setClock(Clock clock);

    // Automatic mode: a new file in folder() at the first identification after Open,
    // and a new file at the first reading of each new local date.
    void setAutomatic(bool automatic);
    bool isAutomatic() const { return m_automatic; }
    void setFolder(const QString &folder);
    // The documents folder + "/rimeglass": the default of "/recording/folder".
    static QString defaultFolder();
    QString folder() const { return m_folder; }

    // Ends a recording under way, creates the folder if needed and opens a new file in
    // it, named after the instrument last identified. When the folder cannot
    // be created or written, or the file not created, emits stopped() with the reason
    // and returns false.
    bool start(const QString &folder);
    void stop();

    bool isRecording() const { return m_file.isOpen(); }
    QString filePath() const { return m_file.path(); }
    qint64 rowCount() const { return m_rows; }

public slots:
    void addReading(const Reading &reading);
    // Files are named after the identity's serial number and carry its header.
    void instrumentIdentified(const InstrumentIdentity &identity);
    // The sensor selected for the readings that follow (and for the header of a file
    // started from now on); written into the file as a "# sensor: " line when it changes
    // during a recording.
    void sensorChanged(const QString &sensor);
    // `lost`: the port went away and may come back, and the same file goes on when it
    // does. Otherwise the port was closed: the recording ends.
    void connectionEnded(bool lost);

signals:
    void started(const QString &path);
    void rowsWritten(qint64 count);
    // Empty when the recording was stopped; otherwise why it stopped or did not start.
    void stopped(const QString &errorText);
    // The file at `lostPath` was deleted or replaced; the recording goes on in `newPath`.
    void fileGone(const QString &lostPath, const QString &newPath);

private:
    bool startFile(const QString &folder, const QDateTime &start);
    void finish(const QString &errorText);
    bool isNewLocalDate(const QDateTime &time) const;
    bool otherInstrumentHasStayed() const;
    bool fileCheckDue(const QDateTime &readingTime) const;
    // Goes on in a new file when the file written to is no longer at its path.
    void checkFile();
    void syncFile();

    Clock m_clock;
    RecordingFile m_file;
    RecordingFile::Instrument m_instrument;
    QString m_fileSerialNumber;
    QString m_fileSensor;
    QByteArray m_fileInstrumentLine; // the instrument the file's rows are of now
    QDateTime m_otherInstrumentSince; // invalid while the file's own instrument answers
    QString m_folder;
    QString m_fileFolder;
    QDateTime m_fileStart;
    qint64 m_rows = 0;
    bool m_automatic = false;
    bool m_awaitingFirstIdentification = true;
    QTimer *m_syncTimer;
    QDateTime m_lastFileCheck; // the reading that last checked the file
};

#endif
