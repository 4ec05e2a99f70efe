#ifndef RIMEGLASS_TESTS_SIMULATEDLINK_H
#define RIMEGLASS_TESTS_SIMULATEDLINK_H

#include "device-serial.h"
#include "deviceevents.h"
#include "instrument.h"
#include "simulator.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QStringList>
#include <functional>

// A real Device on the pseudo-terminal of a simulated instrument. Everything the Device
// emits is written down as a short text ("identified", "progress 48/280",
// "param key|value", ...), everything the instrument sends is kept, and so is the
// simulator's log (traffic included).
struct SimulatedLink
{
    Simulator simulator;
    Device device{nullptr};
    QStringList events;
    QList<double> temperatures;
    QByteArray sent;
    QStringList log;

    explicit SimulatedLink(const InstrumentConfig &config)
        : simulator(config)
    {
        recordDeviceEvents(device, &events, false);
        QObject::connect(&device, &Device::temperatureChanged,
                         [this](double t) { temperatures << t; });
        QObject::connect(simulator.instrument(), &Instrument::transmit,
                         [this](const QByteArray &bytes) { sent += bytes; });
        QObject::connect(&simulator, &Simulator::log, [this](const QString &text) { log << text; });
        simulator.setTrafficLogged(true);
    }

    // Starts the simulator, opens its port and waits for the identification.
    bool connect()
    {
        QString error;
        if (!simulator.start(&error)) {
            qWarning("%s", qPrintable(error));
            return false;
        }
        return device.openPort(simulator.portName()) && waitForEvent(QStringLiteral("identified"));
    }

    static bool waitUntil(const std::function<bool()> &done, int timeoutMs = 10000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!done() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return done();
    }

    bool waitForEvent(const QString &event)
    {
        return waitUntil([&] { return events.contains(event); });
    }

    // Sends a query and returns the value of the parameter report answering it.
    QString query(const QByteArray &key)
    {
        const QString prefix = QStringLiteral("param %1|").arg(QString::fromLatin1(key));
        device.serialSendCommand(QStringLiteral(":%1?\n").arg(QString::fromLatin1(key)));
        QString value;
        waitUntil([&] {
            for (int i = 0; i < events.size(); ++i) {
                if (events.at(i).startsWith(prefix)) {
                    value = events.takeAt(i).mid(prefix.size());
                    return true;
                }
            }
            return false;
        });
        return value;
    }

    QStringList takeEvents()
    {
        QStringList taken;
        taken.swap(events);
        return taken;
    }
};

#endif
