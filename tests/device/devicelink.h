#ifndef RIMEGLASS_TESTS_DEVICELINK_H
#define RIMEGLASS_TESTS_DEVICELINK_H

#include "device-serial.h"
#include "deviceevents.h"
#include "instrument.h"
#include "pseudoterminal.h"

#include <QSerialPort>
#include <QStringList>

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
    void attach(Instrument &instrument)
    {
        peer.setResponder([&instrument](const QByteArray &token) {
            instrument.handleBytes(token);
            return QList<QByteArray>();
        });
        QObject::connect(&instrument, &Instrument::transmit, &peer, &PseudoTerminal::send);
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
