#include "serialportlinks.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

SerialPortLinks::SerialPortLinks(const QString &directory)
{
    const QFileInfoList entries
        = QDir(directory).entryInfoList(QDir::System | QDir::Files, QDir::Name);
    for (const QFileInfo &entry : entries) {
        const QString target = entry.canonicalFilePath();
        if (entry.isSymLink() && !target.isEmpty() && !m_linkByTarget.contains(target))
            m_linkByTarget.insert(target, entry.absoluteFilePath());
    }
}

QString SerialPortLinks::linkTo(const QString &systemLocation) const
{
    const QString target = QFileInfo(systemLocation).canonicalFilePath();
    return target.isEmpty() ? QString() : m_linkByTarget.value(target);
}

bool SerialPortLinks::isPath(const QString &portName)
{
    return portName.contains(QLatin1Char('/'));
}

bool SerialPortLinks::isPresent(const QString &portName)
{
    if (isPath(portName))
        return QFileInfo::exists(portName);
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts()) {
        if (port.portName() == portName)
            return true;
    }
    return false;
}
