#include "signingkeys.h"

#include "firmware-keys.h"

#include <sodium.h>

QByteArray compiledPublicKey()
{
    return QByteArray(reinterpret_cast<const char *>(rimeglass::zur_firmware_pk),
                      sizeof rimeglass::zur_firmware_pk);
}

QByteArray publicKeyOfSeed(const QByteArray &seed)
{
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(publicKey, secretKey,
                             reinterpret_cast<const unsigned char *>(seed.constData()));
    sodium_memzero(secretKey, sizeof secretKey);
    return QByteArray(reinterpret_cast<const char *>(publicKey), sizeof publicKey);
}
