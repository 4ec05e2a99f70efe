#include "signingkeys.h"

#include "firmware-keys.h"

#include <QFile>
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

QByteArray readSeedFile(const QString &path, QString *error)
{
    constexpr int seedSize = 32;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error
                = QStringLiteral("cannot read seed file \"%1\": %2").arg(path, file.errorString());
        return QByteArray();
    }
    const QByteArray text = file.readAll().trimmed();
    const QByteArray seed = QByteArray::fromHex(text);
    if (text.size() != 2 * seedSize || seed.toHex() != text.toLower()) {
        if (error)
            *error = QStringLiteral("seed file \"%1\" must hold exactly 64 hexadecimal digits "
                                    "(a 32-byte Ed25519 seed)")
                         .arg(path);
        return QByteArray();
    }
    return seed;
}
