#ifndef RIMEGLASS_TESTS_DEVICEEVENTS_H
#define RIMEGLASS_TESTS_DEVICEEVENTS_H

#include "device-serial.h"

#include <QStringList>

// Writes down every signal `device` emits, in order, as a short text: "identified",
// "reset", "restarted", "management", "T 293.15", "progress 48/280", "param key|value".
// Temperatures are left out when a test keeps them apart.
inline void recordDeviceEvents(Device &device, QStringList *events, bool withTemperatures = true)
{
    QObject::connect(&device, &Device::identified, [events] { *events << "identified"; });
    QObject::connect(&device, &Device::deviceReset, [events] { *events << "reset"; });
    QObject::connect(&device, &Device::deviceRestarted, [events] { *events << "restarted"; });
    QObject::connect(&device, &Device::deviceManagementMode, [events] { *events << "management"; });
    if (withTemperatures) {
        QObject::connect(&device, &Device::temperatureChanged,
                         [events](double t) { *events << "T " + QString::number(t, 'g', 12); });
    }
    QObject::connect(&device, &Device::progress, [events](int state, int maxState) {
        *events << QStringLiteral("progress %1/%2").arg(state).arg(maxState);
    });
    QObject::connect(&device, &Device::parameterReceived,
                     [events](const QString &key, const QString &value) {
                         *events << "param " + key + "|" + value;
                     });
}

#endif
