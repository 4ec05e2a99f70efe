#ifndef RIMEGLASS_CRP_SIGNINGKEYS_H
#define RIMEGLASS_CRP_SIGNINGKEYS_H

#include <QByteArray>

// The public key that this build checks containers with.
QByteArray compiledPublicKey();

// The Ed25519 public key that belongs to a 32-byte seed.
QByteArray publicKeyOfSeed(const QByteArray &seed);

#endif
