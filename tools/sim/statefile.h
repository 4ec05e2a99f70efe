#ifndef RIMEGLASS_SIM_STATEFILE_H
#define RIMEGLASS_SIM_STATEFILE_H

#include "instrumentsettings.h"

#include <QByteArray>
#include <QString>

// What the simulated instrument keeps across power cycles, in one JSON file: the settings
// stored with ":save" (under the keys of the parameter reports, as the instrument reports
// them), the voltage input calibration, and the committed custom sensor table (hex).
class StateFile
{
public:
    explicit StateFile(const QString &path);

    QString path() const { return m_path; }
    bool exists() const;

    // Fills what the file holds; keys the file lacks keep their values. False, with a
    // message naming the file and the problem, when the file is unreadable or malformed.
    bool read(InstrumentSettings &settings, QByteArray &calibrationTable, QString *error) const;
    // Replaces the file as a whole, never leaving a half-written one behind.
    bool write(const InstrumentSettings &settings, const QByteArray &calibrationTable,
               QString *error) const;

private:
    QString m_path;
};

#endif
