#include "portopenfailure.h"

#include <QObject>

PortOpenFailure::Reason PortOpenFailure::reason(QSerialPort::SerialPortError error,
                                                const QString &errorString)
{
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return NotFound;
    case QSerialPort::PermissionError:
        // The port reports a port in use (EBUSY) and a lock file held by another
        // program as permission errors too; only the text tells them apart.
        if (errorString.contains(QLatin1String("busy"), Qt::CaseInsensitive)
            || errorString.contains(QLatin1String("locking"), Qt::CaseInsensitive))
            return Busy;
        return PermissionDenied;
    default:
        return Other;
    }
}

QString PortOpenFailure::operatorText(QSerialPort::SerialPortError error,
                                      const QString &errorString, const QString &portName)
{
    const QString cannotOpen = QObject::tr("Cannot open %1: ").arg(portName);
    switch (reason(error, errorString)) {
    case PermissionDenied:
        return cannotOpen
            + QObject::tr("permission denied. Add your user to the dialout group and log in "
                          "again.");
    case Busy:
        return cannotOpen + QObject::tr("the port is busy. Another program holds it.");
    case NotFound:
        return cannotOpen + QObject::tr("no such port.");
    case Other:
        break;
    }
    return cannotOpen + errorString;
}
