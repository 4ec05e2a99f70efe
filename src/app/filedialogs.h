#ifndef RIMEGLASS_FILEDIALOGS_H
#define RIMEGLASS_FILEDIALOGS_H

#include <QString>

class QSettings;
class QWidget;

// The file dialogs of the window, each a modal child of `parent`. Each returns the file
// chosen, or an empty string when the operator cancelled.
namespace FileDialogs {

// Starts in the folder stored under `lastPathKey` and stores the folder of the file
// chosen (also of a path typed into the dialog), not the one the dialog started from; a
// cancelled dialog stores nothing.
QString chooseFileToOpen(QWidget *parent, QSettings *store, const QString &lastPathKey,
                         const QString &nameFilter);

// A name typed without a suffix gets the one of the file type chosen in the dialog.
QString chooseFileToSave(QWidget *parent, const QString &startDirectory, const QString &nameFilter);

} // namespace FileDialogs

#endif
