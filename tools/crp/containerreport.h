#ifndef RIMEGLASS_CRP_CONTAINERREPORT_H
#define RIMEGLASS_CRP_CONTAINERREPORT_H

#include <QByteArray>
#include <QStringList>

// Reads a container the way the instrument tool does, with the key and mask compiled
// into this build, and describes what it finds: the signature, the format, the texts
// and every record; with an identifier, also the record the tool would take for it.
class ContainerReport
{
public:
    explicit ContainerReport(const QByteArray &fileData);

    // False unless the signature holds, the format is 2, and there are records, all well
    // formed.
    bool valid() const;
    QStringList report() const;

    // Appends to the report which record fits compat; false when none does.
    bool selectFor(const QByteArray &compat);

private:
    bool inspect(const QByteArray &fileData);
    bool inspectDescriptor(const QByteArray &message);
    void reportTexts(const QByteArray &message);
    bool reportRecords(const QByteArray &message);

    QStringList m_report;
    QList<QByteArray> m_revisions;
    bool m_valid = false;
};

#endif
