#ifndef RIMEGLASS_TESTS_DEVICELINK_H
#define RIMEGLASS_TESTS_DEVICELINK_H

#include "device-serial.h"
#include "pseudoterminal.h"
#include "simulatedinstrument.h"

#include <QSerialPort>
#include <QStringList>

// Writes down every signal `device` emits, in order, as a short text: "identified",
// "reset", "restarted", "management", "T 293.15", "progress 48/280", "param key|value".
inline void recordDeviceEvents(Device &device, QStringList *events)
{
    QObject::connect(&device, &Device::identified, [events] { *events << "identified"; });
    QObject::connect(&device, &Device::deviceReset, [events] { *events << "reset"; });
    QObject::connect(&device, &Device::deviceRestarted, [events] { *events << "restarted"; });
    QObject::connect(&device, &Device::deviceManagementMode, [events] { *events << "management"; });
    QObject::connect(&device, &Device::temperatureChanged,
                     [events](double t) { *events << "T " + QString::number(t, 'g', 12); });
    QObject::connect(&device, &Device::progress, [events](int state, int maxState) {
        *events << QStringLiteral("progress %1/%2").arg(state).arg(maxState);
    });
    QObject::connect(&device, &Device::parameterReceived,
                     [events](const QString &key, const QString &value) {
                         *events << "param " + key + "|" + value;
                     });
}

// A Device opened on a pseudo-terminal, with every signal it emits written down in
// order as a short text ("identified", "progress 48/280", "param key|value", ...).
struct DeviceLink
{
    PseudoTerminal peer;
    Device device{nullptr};
    QStringList events;

    DeviceLink() { recordDeviceEvents(device, &events); }

    // Opens the port and takes the identification query off the wire; returns the
    // bytes that the opening wrote.
    QByteArray open()
    {
        if (!device.openPort(peer.portName()))
            return QByteArray();
        return peer.collect(device.port);
    }

    // Puts the simulated instrument behind the port: every token the tool writes goes to
    // it, and its lines come back.
    void attach(SimulatedInstrument &instrument)
    {
        peer.setResponder([&instrument](const QByteArray &token) {
            instrument.handleBytes(token);
            return QList<QByteArray>();
        });
        QObject::connect(&instrument, &SimulatedInstrument::transmit, &peer, &PseudoTerminal::send);
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
