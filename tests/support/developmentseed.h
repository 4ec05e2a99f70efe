#ifndef RIMEGLASS_TESTS_DEVELOPMENTSEED_H
#define RIMEGLASS_TESTS_DEVELOPMENTSEED_H

// The development signing seed (keys/development-seed.hex), for tests that pack and sign
// firmware containers as a maker does. Needs the rimeglass_crp_packer library.

#include "signingkeys.h"

#include <QByteArray>
#include <QFile>
#include <sodium.h>

namespace developmentseed {

// The 32-byte seed, or empty when the file cannot be read or is malformed.
inline QByteArray load()
{
    if (sodium_init() < 0)
        return QByteArray();
    QFile file(QStringLiteral(RIMEGLASS_KEYS_DIR "/development-seed.hex"));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray seed = QByteArray::fromHex(file.readAll().trimmed());
    return seed.size() == 32 ? seed : QByteArray();
}

// Whether this build trusts the containers that the seed signs.
inline bool trustedByThisBuild(const QByteArray &seed)
{
    return publicKeyOfSeed(seed) == compiledPublicKey();
}

} // namespace developmentseed

#endif
