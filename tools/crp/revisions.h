#ifndef RIMEGLASS_CRP_REVISIONS_H
#define RIMEGLASS_CRP_REVISIONS_H

#include <QByteArray>
#include <QString>

// Hardware revision identifiers as a maker writes them: "r1", "r2", a UUID
// (3cc3a93f-4261-45ff-95bf-653df2686cb0) or its 32 hex digits as the instrument reports
// them. The result is the 16 bytes in network order, or empty when the text is none of
// these.
QByteArray parseRevision(const QString &text);

// "revision 1", "revision 2" or "unknown revision".
QString revisionName(const QByteArray &uuid);

#endif
