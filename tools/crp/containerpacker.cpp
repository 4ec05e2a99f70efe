#include "containerpacker.h"

#include "firmware-format.h"
#include "firmware-keys.h"
#include "revisions.h"
#include "uuids.h"

#include <QtEndian>
#include <limits>
#include <sodium.h>

using rimeglass::uuidBytes;
using rimeglass::uuidText;

namespace crp = rimeglass::crp;

namespace {

// Keeps the whole container within what one QByteArray holds.
constexpr qint64 maximumImageBytes = std::numeric_limits<int>::max() / 2;

void appendLittleEndian32(QByteArray *bytes, quint32 value)
{
    char raw[4];
    qToLittleEndian(value, raw);
    bytes->append(raw, sizeof raw);
}

QByteArray paddedText(const QByteArray &text)
{
    return text + QByteArray(crp::textSize - text.size(), '\0');
}

} // namespace

bool ContainerPacker::setVersion(const QString &version)
{
    return setText(&m_version, version, "version");
}

bool ContainerPacker::setVendor(const QString &vendor)
{
    return setText(&m_vendor, vendor, "vendor");
}

bool ContainerPacker::setModel(const QString &model)
{
    return setText(&m_model, model, "model");
}

bool ContainerPacker::setText(QByteArray *field, const QString &text, const char *what)
{
    const QByteArray utf8 = text.toUtf8();
    if (utf8.size() > crp::textSize) {
        m_error = QStringLiteral("the %1 text \"%2\" is %3 bytes long in UTF-8; at most %4 fit")
                      .arg(QLatin1String(what), text)
                      .arg(utf8.size())
                      .arg(crp::textSize);
        return false;
    }
    *field = utf8;
    return true;
}

bool ContainerPacker::addImage(const QByteArray &revision, const QByteArray &data)
{
    for (const Image &image : qAsConst(m_images)) {
        if (image.revision == revision) {
            m_error = QStringLiteral("%1 (%2) is given more than once")
                          .arg(revisionName(revision), uuidText(revision));
            return false;
        }
    }
    if (m_imageBytes + data.size() > maximumImageBytes) {
        m_error = QStringLiteral("the images are too large for one container");
        return false;
    }
    m_images.append({revision, data});
    m_imageBytes += data.size();
    return true;
}

int ContainerPacker::imageCount() const
{
    return m_images.size();
}

QString ContainerPacker::errorString() const
{
    return m_error;
}

QByteArray ContainerPacker::message() const
{
    QByteArray message = uuidBytes(rimeglass::fw_descriptor_uuid2);
    message.append(crp::versionOffset - crp::reservedOffset, '\0');
    message += paddedText(m_version);
    message += paddedText(m_vendor);
    message += paddedText(m_model);
    for (const Image &image : m_images) {
        message += image.revision;
        appendLittleEndian32(&message, crp::recordHeaderSize);
        appendLittleEndian32(&message, quint32(image.data.size()));
        appendLittleEndian32(&message, quint32(image.data.size()));
        message += image.data;
    }
    return message;
}

QByteArray ContainerPacker::pack(const QByteArray &seed) const
{
    Q_ASSERT(seed.size() == seedSize);
    QByteArray masked = message();
    crp::applyMask(masked, rimeglass::zur_firmware_mask);

    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(publicKey, secretKey,
                             reinterpret_cast<const unsigned char *>(seed.constData()));
    QByteArray container(crp::signatureSize + masked.size(), Qt::Uninitialized);
    crypto_sign(reinterpret_cast<unsigned char *>(container.data()), nullptr,
                reinterpret_cast<const unsigned char *>(masked.constData()), quint64(masked.size()),
                secretKey);
    sodium_memzero(secretKey, sizeof secretKey);
    return container;
}
