#ifndef RIMEGLASS_SIM_FAULTINJECTOR_H
#define RIMEGLASS_SIM_FAULTINJECTOR_H

#include <QByteArray>
#include <QRandomGenerator>

// Damage done on demand to what the instrument sends: one acknowledgement left out, lines
// with a character changed, or nothing sent at all. The same seed garbles the same lines.
class FaultInjector
{
public:
    struct Faults
    {
        int dropAcknowledgement = 0; // 1-based count of the acknowledgement left out; 0 none
        double garbleRate = 0.0; // chance, 0 to 1, that a line has a character changed
        bool silent = false; // the instrument's transmit line is cut
    };

    FaultInjector(const Faults &faults, quint32 seed);

    // Counts one acknowledgement; true when it is the one to leave out.
    bool dropsAcknowledgement();
    bool silent() const { return m_faults.silent; }
    // The line, or with the configured chance the line with one character replaced by a
    // different printable one.
    QByteArray garbled(const QByteArray &line);

private:
    Faults m_faults;
    int m_acknowledgements = 0;
    QRandomGenerator m_random;
};

#endif
