#include "filedialogs.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>

namespace {

// "png" of "PNG image (*.png)".
QString filterSuffix(const QString &nameFilter)
{
    const int start = nameFilter.indexOf(QLatin1String("(*.")) + 3;
    const int end = nameFilter.indexOf(QLatin1Char(')'), start);
    return start < 3 || end < 0 ? QString() : nameFilter.mid(start, end - start);
}

} // namespace

QString FileDialogs::chooseFileToOpen(QWidget *parent, QSettings *store, const QString &lastPathKey,
                                      const QString &nameFilter)
{
    const QString lastPath = store->value(lastPathKey, QString()).toString();
    QFileDialog dialog(parent);
    if (!lastPath.isEmpty())
        dialog.setDirectory(lastPath);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(nameFilter);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();

    const QString path = dialog.selectedFiles().constFirst();
    store->setValue(lastPathKey, QFileInfo(path).absolutePath());
    return path;
}

QString FileDialogs::chooseFileToSave(QWidget *parent, const QString &startDirectory,
                                      const QString &nameFilter)
{
    QFileDialog dialog(parent);
    if (!startDirectory.isEmpty())
        dialog.setDirectory(startDirectory);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(nameFilter);
    dialog.setDefaultSuffix(filterSuffix(dialog.selectedNameFilter()));
    QObject::connect(
        &dialog, &QFileDialog::filterSelected, &dialog,
        [&dialog](const QString &filter) { dialog.setDefaultSuffix(filterSuffix(filter)); });
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.selectedFiles().value(0);
}
