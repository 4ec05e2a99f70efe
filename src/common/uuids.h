#ifndef RIMEGLASS_UUIDS_H
#define RIMEGLASS_UUIDS_H

// 16-byte UUIDs, stored and compared as the bytes in the order of the hex
// digits of their text form (RFC 4122 network order).

#include <QByteArray>
#include <QString>
#include <QUuid>

namespace rimeglass {

using Uuid = unsigned char[16];

// Descriptor of firmware container format 1 (835e640a-cba1-4f94-9fbb-907dfe1680de); refused.
inline constexpr Uuid fw_descriptor_uuid1 = {0x83, 0x5e, 0x64, 0x0a, 0xcb, 0xa1, 0x4f, 0x94,
                                             0x9f, 0xbb, 0x90, 0x7d, 0xfe, 0x16, 0x80, 0xde};

// Descriptor of firmware container format 2 (f084318d-f2f5-4163-bc5c-366f686277fb).
inline constexpr Uuid fw_descriptor_uuid2 = {0xf0, 0x84, 0x31, 0x8d, 0xf2, 0xf5, 0x41, 0x63,
                                             0xbc, 0x5c, 0x36, 0x6f, 0x68, 0x62, 0x77, 0xfb};

// Hardware revision 1, STM32G071KB (3cc3a93f-4261-45ff-95bf-653df2686cb0). Instruments
// below version 1.4.0.0 cannot report their revision and are taken to be this one.
inline constexpr Uuid uuid_compat_stm32g071kb_r1 = {0x3c, 0xc3, 0xa9, 0x3f, 0x42, 0x61, 0x45, 0xff,
                                                    0x95, 0xbf, 0x65, 0x3d, 0xf2, 0x68, 0x6c, 0xb0};

// Hardware revision 2, STM32G070KB (21de3ef2-09bf-4a78-83a0-9eb750df2e57).
inline constexpr Uuid uuid_compat_stm32g070kb_r2 = {0x21, 0xde, 0x3e, 0xf2, 0x09, 0xbf, 0x4a, 0x78,
                                                    0x83, 0xa0, 0x9e, 0xb7, 0x50, 0xdf, 0x2e, 0x57};

// The 16 bytes as Qt's byte array, as containers and the instrument's "*COMPAT = " carry them.
inline QByteArray uuidBytes(const Uuid &uuid)
{
    return QByteArray(reinterpret_cast<const char *>(uuid), sizeof(Uuid));
}

// "3cc3a93f-4261-45ff-95bf-653df2686cb0" for 16 bytes in network order.
inline QString uuidText(const QByteArray &bytes)
{
    return QUuid::fromRfc4122(bytes).toString(QUuid::WithoutBraces);
}

// "revision 1" or "revision 2"; empty for a revision this program does not know.
inline QString knownRevisionName(const QByteArray &bytes)
{
    if (bytes == uuidBytes(uuid_compat_stm32g071kb_r1))
        return QStringLiteral("revision 1");
    if (bytes == uuidBytes(uuid_compat_stm32g070kb_r2))
        return QStringLiteral("revision 2");
    return QString();
}

} // namespace rimeglass

#endif
