#ifndef RIMEGLASS_SIM_VERSIONTEXT_H
#define RIMEGLASS_SIM_VERSIONTEXT_H

#include <QString>

// Firmware version texts as the instrument reports them: one to four dot-separated decimal
// numbers from 0 to 255 ("1.5.2.0").
namespace VersionText {

bool isValid(const QString &text);
// a.b.c.d packed as a<<24 | b<<16 | c<<8 | d, missing numbers counting as 0.
quint32 code(const QString &text);

// From 1.4.0.0 the instrument reports its hardware revision ("@00") and its boot loader
// takes short codes; from 1.5.0.0 the application measures its voltage input.
constexpr quint32 compatCode = 0x1040000;
constexpr quint32 voltageCode = 0x1050000;

} // namespace VersionText

#endif
