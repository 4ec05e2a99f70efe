#ifndef RIMEGLASS_SIM_INSTRUMENTCONFIG_H
#define RIMEGLASS_SIM_INSTRUMENTCONFIG_H

#include "faultinjector.h"
#include "instrumentsettings.h"

#include <QByteArray>
#include <QString>

// Everything that makes one simulated instrument what it is, fixed at power-up.
struct InstrumentConfig
{
    QString serialNumber = QStringLiteral("SIM-000001");
    QString firmwareVersion = QStringLiteral("1.5.2.0");
    QString bootLoaderVersion = QStringLiteral("1.4.0.0");
    QByteArray compat; // 16-byte hardware revision identifier
    InstrumentSettings factorySettings; // what the instrument holds with no saved state

    QString statePath; // settings, ADC calibration and sensor table; empty: none
    QString calibrationDumpPath; // the committed sensor table, as committed
    QString flashDumpPath; // the image written through the boot loader, at "boot"

    int bootWindowMs = 500; // how long the boot loader waits for ETX after a reset
    // How many times faster than real time the automatic output and with it the
    // cool-down run (each reading still advances the curve by one output period).
    double speed = 1.0;
    // What the instrument sends reaches the port in packets this many milliseconds apart,
    // as a USB serial adapter hands it over (its latency timer); 0: each line at once.
    int packetMs = 0;
    bool startInManagementMode = false;

    double inputVoltage = 1.0; // volts at the voltage input
    double adcOffsetMicrovolts = -2350.0; // the converter's offset error
    double adcGain = 1.0125; // the converter's gain error

    FaultInjector::Faults faults;
    quint32 seed = 0;
};

#endif
