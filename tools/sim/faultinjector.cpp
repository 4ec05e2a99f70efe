#include "faultinjector.h"

FaultInjector::FaultInjector(const Faults &faults, quint32 seed)
    : m_faults(faults)
    , m_random(seed)
{ }

bool FaultInjector::dropsAcknowledgement()
{
    ++m_acknowledgements;
    return m_faults.dropAcknowledgement > 0 && m_acknowledgements == m_faults.dropAcknowledgement;
}

QByteArray FaultInjector::garbled(const QByteArray &line)
{
    if (m_faults.garbleRate <= 0.0 || line.isEmpty())
        return line;
    if (m_random.generateDouble() >= m_faults.garbleRate)
        return line;

    QByteArray damaged = line;
    const int position = int(m_random.bounded(quint32(line.size())));
    // Printable ASCII other than the character replaced: '!' to '~' less one.
    char replacement = char('!' + m_random.bounded(93u));
    if (replacement >= damaged.at(position))
        ++replacement;
    damaged[position] = replacement;
    return damaged;
}
