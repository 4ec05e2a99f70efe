#ifndef RIMEGLASS_SETTINGSSTOREREPAIR_H
#define RIMEGLASS_SETTINGSSTOREREPAIR_H

#include <QByteArray>

// Makes the window's settings store safe to read before anything reads it.
//
// A value that the toolkit decodes to text beginning with "@" (other than "@@", its escape
// for a literal "@") is a serialised value such as "@Variant(...)", decoded as soon as
// any key of its section is read; a damaged one can make it allocate without bound and
// abort the program. The window writes only ints, doubles and strings, which are stored
// as plain text, so every such value is damage (or written by someone else) and is
// dropped before the store is opened for real. What counts is the value as the toolkit
// decodes it, however it is spelt: escaped ("\x40", "\100"), quoted, continued on the
// next line, or as an element of a list.
class SettingsStoreRepair
{
public:
    // Cleans the store of the application's identity. Returns whether anything was
    // dropped or the store could not be read at all, so that the operator can be told.
    static bool repair();

    // The store's text without the entries whose values decode to a serialised value,
    // each with its line end; every other byte stays as it was. `dropped` tells whether
    // there were any.
    static QByteArray withoutVariants(const QByteArray &iniText, bool *dropped);
};

#endif
