#ifndef RIMEGLASS_INPUTFILE_H
#define RIMEGLASS_INPUTFILE_H

#include <QByteArray>
#include <QString>

// The files an operator picks: calibration tables and firmware containers.
class InputFile
{
public:
    // A real calibration table is a few kilobytes and a firmware container a few hundred;
    // anything beyond this is not what the operator meant to pick.
    static const qint64 maxSize = 16 * 1024 * 1024;

    // The whole file, or nothing when it cannot be read or holds more than maxSize bytes.
    // It is read in pieces and never further than that, so that a huge file or a device
    // that never ends (/dev/zero) cannot exhaust memory.
    static QByteArray read(const QString &path, qint64 limit = maxSize);
};

#endif
