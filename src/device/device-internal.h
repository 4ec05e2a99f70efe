#ifndef RIMEGLASS_DEVICE_INTERNAL_H
#define RIMEGLASS_DEVICE_INTERNAL_H

// What the parts of Device share inside src/device: its logging category and the facts of
// the line that both the parser and the transfers rely on. Not for use outside.

#include "versiontext.h"

#include <QByteArray>
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(deviceLog)

namespace DeviceInternal {

// Highest version code still below 1.4.0.0: such instruments cannot report their
// hardware revision, and their boot loader speaks the text dialect.
inline constexpr quint32 lastVersionBefore1_4 = rimeglass::VersionText::compatCode - 1;

inline constexpr int calibrationChunkSize = 48;
inline constexpr int firmwareChunkSize = 112;

// The instrument stores in blocks of 8 bytes; the fill goes after the payload so that
// every payload byte keeps its offset.
inline QByteArray paddedToMultipleOf8(const QByteArray &payload)
{
    const int fill = (8 - payload.size() % 8) % 8;
    return payload + QByteArray(fill, char(0xff));
}

} // namespace DeviceInternal

#endif
