#ifndef RIMEGLASS_FILEDIALOGS_H
#define RIMEGLASS_FILEDIALOGS_H

#include <QString>

class QSettings;

// The file dialogs of the window. Each returns the file chosen, or an empty string
// when the operator cancelled.
namespace FileDialogs {

// Starts in the folder stored under `lastPathKey` and stores the folder the operator
// ended up in, not the one the dialog started from; a cancelled dialog stores nothing.
QString chooseFileToOpen(QSettings *store, const QString &lastPathKey, const QString &nameFilter);

// A name typed without a suffix gets the one of the file type chosen in the dialog.
QString chooseFileToSave(const QString &startDirectory, const QString &nameFilter);

} // namespace FileDialogs

#endif
