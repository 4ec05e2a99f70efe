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

#endif
