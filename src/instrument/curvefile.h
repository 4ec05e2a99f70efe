#ifndef RIMEGLASS_CURVEFILE_H
#define RIMEGLASS_CURVEFILE_H

#include "calibrationtable.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <QVector>

// A calibration file as read for the custom sensor: either a standard .340 curve file
// (a header of "Key: value" lines, then numbered breakpoints with the sensor units
// before the temperature) or a plain two-column table.
struct CurveFile
{
    Q_DECLARE_TR_FUNCTIONS(CurveFile)

public:
    CalibrationTable table; // kelvin and volts, in the order of the file
    bool isCurveFile = false;
    QString model; // "Sensor Model" of a curve file
    QString serialNumber; // "Serial Number" of a curve file
    QStringList warnings; // what looks wrong, each naming its line; the table stands
    QString refusal; // why the file cannot be used at all; the table is then empty

    // Reads any calibration file: a curve file when its first non-blank lines are a
    // curve header, otherwise the two-column grammar of CalibrationTable unchanged. A
    // table the instrument cannot hold is refused: more points than its store takes, or
    // a value that is not a finite number or does not fit the payload's fields (in
    // either column, since the columns can be swapped); negative kelvin are warned about.
    static CurveFile fromFileData(const QByteArray &fileData);
    // The same for the file at `path`; a file that cannot be read is refused with the
    // reason (InputFile).
    static CurveFile fromFile(const QString &path);

    // A curve file (volts per kelvin) holding the points in the given order, named
    // after `name`. Every number is written so that it reads back as the same double.
    static QByteArray toFileData(const QString &name, const QVector<double> &temperatures,
                                 const QVector<double> &voltages);

    // "71 points, 1.2–500.0 K, 0.0906–1.6373 V"
    static QString summary(const QVector<double> &temperatures, const QVector<double> &voltages);

    // Empty when the voltage rises or falls strictly with temperature, as a diode's
    // must; otherwise a warning naming where it turns.
    static QString monotonicityWarning(const QVector<double> &temperatures,
                                       const QVector<double> &voltages);
};

#endif
