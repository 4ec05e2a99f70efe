#ifndef RIMEGLASS_FIRMWARE_H
#define RIMEGLASS_FIRMWARE_H

#include <QByteArray>
#include <QString>

// A verified firmware container, reduced to the one image that fits the connected
// instrument's hardware revision. Every check happens in fromFileData; a failure
// shows only as valid() being false.
class Firmware
{
public:
    virtual ~Firmware();
    virtual bool valid() const = 0;
    virtual QString vendor() const = 0;
    virtual QString model() const = 0;
    virtual QString version() const = 0;
    virtual QByteArray blob() const = 0;

    // Never null; the caller deletes the result.
    static Firmware *fromFileData(const QByteArray &fileData, const QByteArray &compat);
};

// Reads a container signed with the compiled-in public key: verifies it, removes the
// mask and takes the first image record whose revision equals the first 16 bytes of
// compat. Immutable once constructed.
class FirmwareImpl : public Firmware
{
public:
    FirmwareImpl(const QByteArray &fileData, const QByteArray &compat);

    bool valid() const override;
    QString vendor() const override;
    QString model() const override;
    QString version() const override;
    QByteArray blob() const override;

private:
    void takeImage(const QByteArray &message, int dataStart, int dataLength);

    QString m_vendor;
    QString m_model;
    QString m_version;
    QByteArray m_blob;
    bool m_valid = false;
    QByteArray m_compat;
};

#endif
