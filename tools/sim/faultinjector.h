#ifndef RIMEGLASS_SIM_FAULTINJECTOR_H
#define RIMEGLASS_SIM_FAULTINJECTOR_H

#include <QByteArray>
#include <QRandomGenerator>

// Damage done on demand to what the instrument sends: one acknowledgement left out, sent
// twice or replaced by a restart, an identification with a garbled version, lines with a
// character changed, or nothing sent at all. The same seed garbles the same lines.
class FaultInjector
{
public:
    struct Faults
    {
        int dropAcknowledgement = 0; // 1-based count of the acknowledgement left out; 0 none
        int doubleAcknowledgement = 0; // ... of the acknowledgement sent twice in one write
        int rebootAtAcknowledgement = 0; // ... of the acknowledgement replaced by a restart
        int garbleIdentification = 0; // 1-based count of the identification whose version
                                      // has its first digit replaced by the letter l
        double garbleRate = 0.0; // chance, 0 to 1, that a line has a character changed
        bool silent = false; // the instrument's transmit line is cut
    };

    FaultInjector(const Faults &faults, quint32 seed);

    enum class Acknowledgement { Send, Drop, Double, Reboot };
    // Counts one acknowledgement and says what becomes of it.
    Acknowledgement acknowledgement();
    // Counts one identification reply; true when it is the one to garble.
    bool garblesIdentification();
    bool silent() const { return m_faults.silent; }
    // The line, or with the configured chance the line with one character replaced by a
    // different printable one.
    QByteArray garbled(const QByteArray &line);

private:
    Faults m_faults;
    int m_acknowledgements = 0;
    int m_identifications = 0;
    QRandomGenerator m_random;
};

#endif
