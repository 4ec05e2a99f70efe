#ifndef RIMEGLASS_STOREDVALUE_H
#define RIMEGLASS_STOREDVALUE_H

#include "settingstable.h"

#include <QSettings>
#include <QVariant>

// What the store holds under one of its keys (StoreKey), or that key's default.
inline QVariant storedValue(const QSettings &store, const QString &key)
{
    return store.value(key, StoreKey::defaultValue(key));
}

#endif
