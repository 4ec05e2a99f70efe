#ifndef RIMEGLASS_SETTINGSSTOREREPAIR_H
#define RIMEGLASS_SETTINGSSTOREREPAIR_H

#include <QByteArray>

// Makes the window's settings store safe to read before anything reads it.
//
// A value stored as "@Variant(...)" is a serialised variant that the toolkit decodes as
// soon as any key of its section is read; a damaged one can make it allocate without
// bound and abort the program. The window writes only ints, doubles and strings, which
// are stored as plain text, so every such line is damage (or written by someone else)
// and is dropped before the store is opened for real.
class SettingsStoreRepair
{
public:
    // Cleans the store of the application's identity. Returns whether anything was
    // dropped or the store could not be read at all, so that the operator can be told.
    static bool repair();

    // The store's text without its serialised-variant values; `dropped` tells whether
    // there were any.
    static QByteArray withoutVariants(const QByteArray &iniText, bool *dropped);
};

#endif
