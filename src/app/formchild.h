#ifndef RIMEGLASS_FORMCHILD_H
#define RIMEGLASS_FORMCHILD_H

#include <QLatin1String>
#include <QObject>
#include <QtGlobal>

// One object of the window's form, found by its object name. Every panel reaches its
// widgets this way, so that the one form keeps every name, text and layout; a name
// missing from the form stops the program at once rather than at the first use.
template<typename T>
T *formChild(const QObject *form, const char *objectName)
{
    T *found = form->findChild<T *>(QLatin1String(objectName));
    if (!found)
        qFatal("the form has no %s named %s", T::staticMetaObject.className(), objectName);
    return found;
}

#endif
