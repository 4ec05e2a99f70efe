#ifndef RIMEGLASS_TESTS_RECORDEDSIMULATOR_H
#define RIMEGLASS_TESTS_RECORDEDSIMULATOR_H

#include "pseudoterminal.h"
#include "simulatedinstrument.h"
#include "simulator.h"

#include <QStringList>
#include <memory>

// The simulated instrument, in this process, behind its pseudo-terminal; every byte it
// receives and sends and every note it makes is kept.
struct RecordedSimulator
{
    QByteArray received;
    QByteArray sent;
    QStringList notes;
    std::unique_ptr<Simulator> simulator;

    explicit RecordedSimulator(const InstrumentConfig &config) { replaceInstrument(config); }

    SimulatedInstrument *instrument() const { return simulator->instrument(); }
    QString port() const { return simulator->portName(); }

    void replaceInstrument(const InstrumentConfig &config)
    {
        simulator.reset(new Simulator(config));
        QObject::connect(instrument(), &SimulatedInstrument::transmit,
                         [this](const QByteArray &bytes) { sent += bytes; });
        QObject::connect(instrument(), &SimulatedInstrument::note,
                         [this](const QString &text) { notes << text; });
        QObject::connect(simulator->findChild<PseudoTerminal *>(), &PseudoTerminal::bytesReceived,
                         [this](const QByteArray &bytes) { received += bytes; });
    }

    // The temperatures of the "*T = <kelvin> K" lines sent, as the tool should show them.
    QList<QByteArray> temperaturesSent() const
    {
        QList<QByteArray> values;
        for (const QByteArray &line : sent.split('\n')) {
            if (line.startsWith("*T = ") && line.endsWith(" K\r"))
                values.append(line.mid(5, line.size() - 8));
        }
        return values;
    }

    // Powers the instrument up; a failure ends the test program.
    void start()
    {
        QString error;
        if (!simulator->start(&error))
            qFatal("%s", qPrintable(error));
    }
};

#endif
