#ifndef RIMEGLASS_INPUTFILE_H
#define RIMEGLASS_INPUTFILE_H

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

// The files an operator picks: calibration tables and firmware containers.
class InputFile
{
    Q_DECLARE_TR_FUNCTIONS(InputFile)

public:
    // A real calibration table is a few kilobytes and a firmware container a few hundred;
    // anything beyond this is not what the operator meant to pick.
    static const qint64 maxSize = 16 * 1024 * 1024;

    // The whole file, or nothing when it cannot be read; `failure`, when given, then says
    // why in the operator's words (missing, a folder, not a regular file, unreadable, more
    // than `limit` bytes) and is empty otherwise. Only a regular file is read, checked
    // before any byte is, so that a pipe never blocks and a device that never ends
    // (/dev/zero) cannot exhaust memory; the file is read in pieces and never further
    // than `limit`.
    static QByteArray read(const QString &path, QString *failure = nullptr, qint64 limit = maxSize);
};

#endif
