#ifndef RIMEGLASS_CALIBRATIONTABLE_H
#define RIMEGLASS_CALIBRATIONTABLE_H

#include <QByteArray>
#include <QString>
#include <QVector>

// A custom sensor's calibration table: temperature (kelvin) and sensor voltage (volts)
// of each point, in the order of the file. The two columns always have one length.
struct CalibrationTable
{
    QVector<double> temperatures;
    QVector<double> voltages;

    // Reads a calibration file: every line of exactly two numbers (C locale, separated
    // by white space) is a point; every other line is skipped. The text ends at the
    // first NUL byte. `lines`, when given, receives the 1-based line of each point.
    static CalibrationTable fromFileData(const QByteArray &fileData, QVector<int> *lines = nullptr);

    // The block the instrument stores for a custom sensor, little-endian throughout:
    // magic, point count, the name in 16 NUL-padded UTF-8 bytes (cut after the 16th),
    // then per point millikelvin and microvolts, truncated toward zero.
    static QByteArray encodePayload(const QString &name, const QVector<double> &temperatures,
                                    const QVector<double> &voltages);
};

#endif
