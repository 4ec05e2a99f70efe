#ifndef RIMEGLASS_CRP_SIGNINGKEYS_H
#define RIMEGLASS_CRP_SIGNINGKEYS_H

#include <QByteArray>
#include <QString>

// The public key that this build checks containers with.
QByteArray compiledPublicKey();

// The Ed25519 public key that belongs to a 32-byte seed.
QByteArray publicKeyOfSeed(const QByteArray &seed);

// The seed in a seed file: 64 hex digits, with white space around them. Empty, with the
// reason in `error`, when the file cannot be read or holds anything else.
QByteArray readSeedFile(const QString &path, QString *error = nullptr);

#endif
