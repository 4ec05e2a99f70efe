#ifndef RIMEGLASS_TESTS_DEVICELINK_H
#define RIMEGLASS_TESTS_DEVICELINK_H

#include "device-serial.h"
#include "ptypeer.h"

#include <QSerialPort>
#include <QStringList>

// A Device opened on a pseudo-terminal, with every signal it emits written down in
// order as a short text ("identified", "progress 48/280", "param key|value", ...).
struct DeviceLink
{
    PtyPeer peer;
    Device device{nullptr};
    QStringList events;

    DeviceLink()
    {
        QObject::connect(&device, &Device::identified, [this] { events << "identified"; });
        QObject::connect(&device, &Device::deviceReset, [this] { events << "reset"; });
        QObject::connect(&device, &Device::deviceRestarted, [this] { events << "restarted"; });
        QObject::connect(&device, &Device::deviceManagementMode,
                         [this] { events << "management"; });
        QObject::connect(&device, &Device::temperatureChanged,
                         [this](double t) { events << "T " + QString::number(t, 'g', 12); });
        QObject::connect(&device, &Device::progress, [this](int state, int maxState) {
            events << QStringLiteral("progress %1/%2").arg(state).arg(maxState);
        });
        QObject::connect(&device, &Device::parameterReceived,
                         [this](const QString &key, const QString &value) {
                             events << "param " + key + "|" + value;
                         });
    }

    // Opens the port and takes the identification query off the wire; returns the
    // bytes that the opening wrote.
    QByteArray open()
    {
        if (!device.openPort(peer.portName()))
            return QByteArray();
        return peer.collect(device.port);
    }

    // Plays one instrument line and returns what the device wrote in answer.
    QByteArray exchange(const QByteArray &line)
    {
        peer.sendLine(line);
        return peer.collect(device.port);
    }

    QStringList takeEvents()
    {
        QStringList taken;
        taken.swap(events);
        return taken;
    }
};

#endif
