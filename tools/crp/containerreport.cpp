#include "containerreport.h"

#include "firmware-format.h"
#include "firmware-keys.h"
#include "revisions.h"
#include "signingkeys.h"
#include "uuids.h"

#include <QCryptographicHash>

using rimeglass::uuidBytes;
using rimeglass::uuidText;

namespace crp = rimeglass::crp;

ContainerReport::ContainerReport(const QByteArray &fileData)
{
    m_valid = inspect(fileData);
}

bool ContainerReport::valid() const
{
    return m_valid;
}

QStringList ContainerReport::report() const
{
    return m_report;
}

bool ContainerReport::inspect(const QByteArray &fileData)
{
    QByteArray message;
    if (!crp::openSignedMessage(fileData, rimeglass::zur_firmware_pk, &message)) {
        m_report << QStringLiteral("signature: bad (not signed with the key of this build, %1)")
                        .arg(QString::fromLatin1(compiledPublicKey().toHex()));
        return false;
    }
    m_report << QStringLiteral("signature: good");
    crp::applyMask(message, rimeglass::zur_firmware_mask);
    if (!inspectDescriptor(message))
        return false;
    reportTexts(message);
    return reportRecords(message);
}

bool ContainerReport::inspectDescriptor(const QByteArray &message)
{
    const QByteArray descriptor = message.left(crp::uuidSize);
    if (descriptor == uuidBytes(rimeglass::fw_descriptor_uuid2)) {
        m_report << QStringLiteral("format: 2");
        return true;
    }
    if (descriptor == uuidBytes(rimeglass::fw_descriptor_uuid1))
        m_report << QStringLiteral("format: 1 (not supported)");
    else if (descriptor.size() < crp::uuidSize)
        m_report
            << QStringLiteral("format: unknown (the message is %1 bytes long)").arg(message.size());
    else
        m_report << QStringLiteral("format: unknown (descriptor %1)").arg(uuidText(descriptor));
    return false;
}

void ContainerReport::reportTexts(const QByteArray &message)
{
    if (message.size() < crp::recordsOffset) {
        m_report
            << QStringLiteral("texts: missing (the message is %1 bytes long)").arg(message.size());
        return;
    }
    m_report << QStringLiteral("version: %1").arg(crp::readText(message, crp::versionOffset))
             << QStringLiteral("vendor: %1").arg(crp::readText(message, crp::vendorOffset))
             << QStringLiteral("model: %1").arg(crp::readText(message, crp::modelOffset));
}

bool ContainerReport::reportRecords(const QByteArray &message)
{
    QVector<crp::Record> records;
    int badOffset = 0;
    const bool wellFormed = crp::readRecords(message, &records, &badOffset);
    for (const crp::Record &record : qAsConst(records)) {
        const QByteArray data = message.mid(record.dataStart, record.dataLength);
        m_revisions << record.revision;
        m_report << QStringLiteral("record %1: %2 %3, %4 bytes, sha256 %5")
                        .arg(m_revisions.size())
                        .arg(revisionName(record.revision), uuidText(record.revision))
                        .arg(record.dataLength)
                        .arg(QString::fromLatin1(
                            QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex()));
    }
    if (!wellFormed)
        m_report << QStringLiteral("record %1: malformed, at message offset %2")
                        .arg(records.size() + 1)
                        .arg(badOffset);
    else if (records.isEmpty())
        m_report << QStringLiteral("records: none");
    return wellFormed && !records.isEmpty();
}

bool ContainerReport::selectFor(const QByteArray &compat)
{
    const int index = m_valid ? m_revisions.indexOf(compat.left(crp::uuidSize)) : -1;
    if (index < 0) {
        m_report << QStringLiteral("selected for %1: none").arg(uuidText(compat));
        return false;
    }
    m_report << QStringLiteral("selected for %1: record %2").arg(uuidText(compat)).arg(index + 1);
    return true;
}
