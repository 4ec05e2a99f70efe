#ifndef RIMEGLASS_TESTS_INSTRUMENTPROBE_H
#define RIMEGLASS_TESTS_INSTRUMENTPROBE_H

#include "instrument.h"

#include <QByteArray>
#include <QStringList>

// An Instrument fed bytes directly, with everything it transmits and notes written down.
struct InstrumentProbe
{
    Instrument instrument;
    QByteArray sent;
    QStringList notes;

    explicit InstrumentProbe(const InstrumentConfig &config = InstrumentConfig())
        : instrument(config)
    {
        QObject::connect(&instrument, &Instrument::transmit,
                         [this](const QByteArray &bytes) { sent += bytes; });
        QObject::connect(&instrument, &Instrument::note,
                         [this](const QString &text) { notes << text; });
    }

    // Feeds bytes and returns what the instrument sent in answer.
    QByteArray feed(const QByteArray &bytes)
    {
        sent.clear();
        instrument.handleBytes(bytes);
        return sent;
    }
};

#endif
