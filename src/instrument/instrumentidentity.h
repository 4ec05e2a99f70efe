#ifndef RIMEGLASS_INSTRUMENTIDENTITY_H
#define RIMEGLASS_INSTRUMENTIDENTITY_H

#include <QByteArray>
#include <QMetaType>
#include <QString>

class Device;

// Who answered on the port: what the instrument's identification reply said, with the
// hardware revision it reported (or that its version implies) and whether its boot
// loader runs.
struct InstrumentIdentity
{
    QString vendor;
    QString model;
    QString serialNumber;
    QString version;
    QByteArray revision; // 16 bytes, as Device::compat holds them
    bool bootLoader = false;

    // The identification the link holds now, as it stands.
    static InstrumentIdentity of(const Device &device);

    // A recognised, well-formed identification: vendor "MORVA", model "ZURKD550" (the
    // application) or "ZURKD550-BS" (the boot loader), a serial number, a version of one to
    // four decimal numbers ("1.5.2.0"; older instruments report "1.7.2") and a 16-byte
    // revision. Nothing else names an instrument.
    bool isValid() const;

    // "revision 1", "revision 2", or "an unknown revision (<uuid>)".
    QString revisionName() const { return revisionName(revision); }
    static QString revisionName(const QByteArray &revision);

    bool operator==(const InstrumentIdentity &other) const;
    bool operator!=(const InstrumentIdentity &other) const { return !(*this == other); }
};

Q_DECLARE_METATYPE(InstrumentIdentity)

#endif
