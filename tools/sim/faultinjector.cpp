#include "faultinjector.h"

FaultInjector::FaultInjector(const Faults &faults, quint32 seed)
    : m_faults(faults)
    , m_random(seed)
{ }

FaultInjector::Acknowledgement FaultInjector::acknowledgement()
{
    ++m_acknowledgements;
    if (m_acknowledgements == m_faults.dropAcknowledgement)
        return Acknowledgement::Drop;
    if (m_acknowledgements == m_faults.doubleAcknowledgement)
        return Acknowledgement::Double;
    if (m_acknowledgements == m_faults.rebootAtAcknowledgement)
        return Acknowledgement::Reboot;
    return Acknowledgement::Send;
}

bool FaultInjector::garblesIdentification()
{
    ++m_identifications;
    return m_identifications == m_faults.garbleIdentification;
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
