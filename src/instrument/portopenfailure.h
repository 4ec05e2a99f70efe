#ifndef RIMEGLASS_PORTOPENFAILURE_H
#define RIMEGLASS_PORTOPENFAILURE_H

#include <QSerialPort>
#include <QString>

// Why a serial port could not be opened, in the operator's words. The window and the
// command-line tool say the same thing.
class PortOpenFailure
{
public:
    enum Reason { PermissionDenied, Busy, NotFound, Other };

    // The port's error and errorString() right after its open() failed.
    static Reason reason(QSerialPort::SerialPortError error, const QString &errorString);
    static QString operatorText(QSerialPort::SerialPortError error, const QString &errorString,
                                const QString &portName);
};

#endif
