#include "firmware.h"

#include "firmware-format.h"
#include "firmware-keys.h"
#include "uuids.h"

#include <QLoggingCategory>
#include <cstring>

namespace {

Q_LOGGING_CATEGORY(firmwareLog, "rimeglass.firmware")

using namespace rimeglass;

bool isUuid(const QByteArray &bytes, const Uuid &uuid)
{
    return bytes.size() >= crp::uuidSize
        && std::memcmp(bytes.constData(), uuid, crp::uuidSize) == 0;
}

bool hasSupportedDescriptor(const QByteArray &message)
{
    const QByteArray descriptor = message.mid(crp::descriptorOffset, crp::uuidSize);
    if (isUuid(descriptor, fw_descriptor_uuid1)) {
        qCDebug(firmwareLog) << "Firmware image format version 1 is not supported by this program";
        return false;
    }
    return isUuid(descriptor, fw_descriptor_uuid2);
}

void logFoundRevision(const QByteArray &revision)
{
    if (isUuid(revision, uuid_compat_stm32g071kb_r1))
        qCDebug(firmwareLog) << "Found firmware image for device revision 1";
    else if (isUuid(revision, uuid_compat_stm32g070kb_r2))
        qCDebug(firmwareLog) << "Found firmware image for device revision 2";
    else
        qCDebug(firmwareLog) << "Found firmware image for device with unknown revision";
}

} // namespace

Firmware::~Firmware() = default;

Firmware *Firmware::fromFileData(const QByteArray &fileData, const QByteArray &compat)
{
    return new FirmwareImpl(fileData, compat);
}

FirmwareImpl::FirmwareImpl(const QByteArray &fileData, const QByteArray &compat)
    : m_compat(compat)
{
    QByteArray message;
    if (!crp::openSignedMessage(fileData, zur_firmware_pk, &message))
        return;
    crp::applyMask(message, zur_firmware_mask);
    if (!hasSupportedDescriptor(message))
        return;

    crp::Record record;
    int badOffset = 0;
    switch (crp::findRecord(message, m_compat.left(crp::uuidSize), &record, &badOffset)) {
    case crp::RecordSearch::Found:
        takeImage(message, record.dataStart, record.dataLength);
        logFoundRevision(record.revision);
        return;
    case crp::RecordSearch::Malformed:
        qCDebug(firmwareLog) << "Firmware container has a malformed image record at offset"
                             << badOffset;
        return;
    case crp::RecordSearch::NotFound:
        break;
    }
    qCDebug(firmwareLog) << "Can't find compatible firmware image, comapt:" << m_compat;
}

void FirmwareImpl::takeImage(const QByteArray &message, int dataStart, int dataLength)
{
    m_valid = true;
    m_version = crp::readText(message, crp::versionOffset);
    m_vendor = crp::readText(message, crp::vendorOffset);
    m_model = crp::readText(message, crp::modelOffset);
    m_blob = message.mid(dataStart, dataLength);
}

bool FirmwareImpl::valid() const
{
    return m_valid;
}

QString FirmwareImpl::vendor() const
{
    return m_vendor;
}

QString FirmwareImpl::model() const
{
    return m_model;
}

QString FirmwareImpl::version() const
{
    return m_version;
}

QByteArray FirmwareImpl::blob() const
{
    return m_blob;
}
