// The firmware container reader. Every input is read twice: as a file of its own (the
// signature check must refuse it), and as the message of a container that the harness
// masks and signs with the development seed, so that the descriptor check and the
// walk over the image records are reached as well.
//
// Input: one control byte, then the body. The low two bits of the control byte pick the
// instrument's revision: 0 revision 1, 1 revision 2, 2 the next 16 bytes of the input,
// 3 the next (control >> 2) bytes of the input (an identifier of any length, 0 to 63).

#include "firmware-format.h"
#include "firmware-keys.h"
#include "firmware.h"
#include "fuzzsupport.h"
#include "uuids.h"

#include <QByteArray>
#include <QtGlobal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sodium.h>

using fuzzsupport::check;

namespace {

QByteArray uuidBytes(const rimeglass::Uuid &uuid)
{
    return QByteArray(reinterpret_cast<const char *>(uuid), sizeof(rimeglass::Uuid));
}

struct SigningKey
{
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES] = {};
    // Whether this build verifies with the development key; otherwise every container
    // signed here must be refused like any other.
    bool trusted = false;
};

const SigningKey &developmentKey()
{
    static const SigningKey key = [] {
        SigningKey made;
        check(sodium_init() >= 0);
        const QByteArray seed = QByteArray::fromHex(RIMEGLASS_DEVELOPMENT_SEED_HEX);
        check(seed.size() == crypto_sign_SEEDBYTES);
        unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
        crypto_sign_seed_keypair(publicKey, made.secretKey,
                                 reinterpret_cast<const unsigned char *>(seed.constData()));
        made.trusted = std::memcmp(publicKey, rimeglass::zur_firmware_pk, sizeof publicKey) == 0;
        return made;
    }();
    return key;
}

// The container the maker's packer would make of this message.
QByteArray signedContainer(const QByteArray &message)
{
    QByteArray masked = message;
    rimeglass::crp::applyMask(masked, rimeglass::zur_firmware_mask);
    QByteArray container(rimeglass::crp::signatureSize + masked.size(), Qt::Uninitialized);
    crypto_sign(reinterpret_cast<unsigned char *>(container.data()), nullptr,
                reinterpret_cast<const unsigned char *>(masked.constData()), quint64(masked.size()),
                developmentKey().secretKey);
    return container;
}

void checkResult(const Firmware &firmware, const QByteArray &message)
{
    if (!firmware.valid()) {
        check(firmware.blob().isEmpty() && firmware.version().isEmpty()
              && firmware.vendor().isEmpty() && firmware.model().isEmpty());
        return;
    }
    // A valid container carries the supported descriptor and its image lies inside it.
    check(message.startsWith(uuidBytes(rimeglass::fw_descriptor_uuid2)));
    check(message.size() >= rimeglass::crp::recordsOffset + rimeglass::crp::recordHeaderSize);
    check(firmware.blob().size()
          <= message.size() - rimeglass::crp::recordsOffset - rimeglass::crp::recordHeaderSize);
    check(message.contains(firmware.blob()));
    for (const QString &text : {firmware.version(), firmware.vendor(), firmware.model()})
        check(text.size() <= rimeglass::crp::textSize && !text.contains(QChar(0)));
}

QByteArray takeCompat(uint8_t control, const uint8_t *&data, size_t &size)
{
    size_t length = 0;
    switch (control & 3) {
    case 0:
        return uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1);
    case 1:
        return uuidBytes(rimeglass::uuid_compat_stm32g070kb_r2);
    case 2:
        length = 16;
        break;
    default:
        length = control >> 2;
        break;
    }
    length = qMin(length, size);
    const QByteArray compat(reinterpret_cast<const char *>(data), int(length));
    data += length;
    size -= length;
    return compat;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzsupport::silenceDebugLog();
    if (size == 0)
        return 0;

    const uint8_t control = data[0];
    ++data;
    --size;
    const QByteArray compat = takeCompat(control, data, size);
    const QByteArray body(reinterpret_cast<const char *>(data), int(size));

    // As a file: whatever it holds, only a good signature can make it valid, and the
    // message is then what follows the signature, unmasked.
    {
        const std::unique_ptr<Firmware> firmware(Firmware::fromFileData(body, compat));
        QByteArray message = body.mid(rimeglass::crp::signatureSize);
        rimeglass::crp::applyMask(message, rimeglass::zur_firmware_mask);
        checkResult(*firmware, message);
    }

    // As a message signed with the development seed.
    {
        const std::unique_ptr<Firmware> firmware(
            Firmware::fromFileData(signedContainer(body), compat));
        checkResult(*firmware, body);
        if (!developmentKey().trusted)
            check(!firmware->valid());
        else if (body.size() < rimeglass::crp::uuidSize
                 || !body.startsWith(uuidBytes(rimeglass::fw_descriptor_uuid2))
                 || compat.size() < rimeglass::crp::uuidSize)
            check(!firmware->valid());
    }
    return 0;
}
