#ifndef RIMEGLASS_RECORDINGFILE_H
#define RIMEGLASS_RECORDINGFILE_H

#include "instrumentidentity.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>

// One recording of readings as a CSV file, UTF-8 with LF line ends:
//
//     # rimeglass 1.7 recording
//     # instrument: MORVA ZURKD550, serial number SN0001, firmware 1.5.2.0
//     # sensor: DT-670
//     time_utc,seconds,kelvin
//     2026-12-07T14:03:21.125Z,0.000,77.350
//
// A change of sensor during the recording is a further "# sensor: " line before the
// first row it applies to, and so is a change of instrument a further "# instrument: "
// line. The window and the command-line tool write the same format.
class RecordingFile
{
public:
    // What the header names: the identified instrument and the sensor it measures with.
    struct Instrument
    {
        QString model;
        QString serialNumber;
        QString version;
        QString sensor;

        static Instrument of(const InstrumentIdentity &identity, const QString &sensor)
        {
            return {identity.model, identity.serialNumber, identity.version, sensor};
        }
    };

    // "<serial>_<yyyy-MM-dd_HHmmss>.csv" from the local time of `start`, with every
    // character that is not safe in a file name replaced by '_'; "unknown" stands for a
    // serial number not known yet.
    static QString fileName(const QString &serialNumber, const QDateTime &start);
    static QByteArray header(const Instrument &instrument);
    // "# instrument: MORVA ZURKD550, serial number SN0001, firmware 1.5.2.0"
    static QByteArray instrumentLine(const Instrument &instrument);
    static QByteArray sensorLine(const QString &sensor);
    // `time` in UTC with milliseconds, `seconds` since the recording started.
    static QByteArray row(const QDateTime &time, double seconds, double kelvin);

    // Creates `path` (its folder must exist), or adds to its end with `toEnd`, and
    // writes the header through to the operating system. False with errorText() naming
    // the file and the reason.
    bool open(const QString &path, const QByteArray &header, bool toEnd = false);
    // Writes `bytes` and hands them to the operating system at once (a crash of the
    // program loses nothing). False with errorText() when the write fails.
    bool append(const QByteArray &bytes);
    // Forces what was written so far onto the disk (fdatasync).
    bool sync();
    // False once the file written to is no longer the one at its path: deleted, or
    // renamed or replaced by another.
    bool isAtItsPath() const;
    void close();

    bool isOpen() const { return m_file.isOpen(); }
    QString path() const { return m_file.fileName(); }
    QString errorText() const { return m_error; }

private:
    bool fail(const QString &action, const QString &reason);

    QFile m_file;
    QString m_error;
};

#endif
