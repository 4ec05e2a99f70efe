#ifndef RIMEGLASS_INSTRUMENTLIMITS_H
#define RIMEGLASS_INSTRUMENTLIMITS_H

// What the instrument can hold and how fast its line is: the tool checks these before it
// sends anything, and the simulator keeps to them as the instrument does.

#include <QtGlobal>

namespace rimeglass::InstrumentLimits {

// The store for a custom sensor's table: a 24-byte header (magic, point count, name),
// then 8 bytes a point (millikelvin, microvolts).
inline constexpr int calibrationStoreBytes = 4096;
inline constexpr int calibrationHeaderBytes = 24;
inline constexpr int calibrationPointBytes = 8;
inline constexpr int calibrationPoints
    = (calibrationStoreBytes - calibrationHeaderBytes) / calibrationPointBytes;

// 115200 baud, ten bits a byte (start, eight data, stop): how long the line needs to
// carry `bytes`, rounded down and up to whole nanoseconds.
inline constexpr qint64 lineBitsPerSecond = 115200;
inline constexpr qint64 lineNanosecondsFloor(qint64 bytes)
{
    return bytes * 10 * 1000000000 / lineBitsPerSecond;
}
inline constexpr qint64 lineNanosecondsCeil(qint64 bytes)
{
    return (bytes * 10 * 1000000000 + lineBitsPerSecond - 1) / lineBitsPerSecond;
}

} // namespace rimeglass::InstrumentLimits

#endif
