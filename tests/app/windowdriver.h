#ifndef RIMEGLASS_TESTS_WINDOWDRIVER_H
#define RIMEGLASS_TESTS_WINDOWDRIVER_H

// Drives the real main window the way an operator does: widgets by object name, the
// port list, and the modal dialogs the window opens (answered from a timer while
// they run).

#include "device-serial.h"
#include "mainwindow.h"
#include "pseudoterminal.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QSerialPort>
#include <QStatusBar>
#include <QTimer>
#include <functional>
#include <qwt_plot.h>
#include <qwt_plot_curve.h>

namespace windowdriver {

// What the tool writes the moment a port opens: ETX, then the identification request.
inline const QByteArray openingBytes("\x03\n*idn?\n", 8);

template<typename T>
T *child(const QObject *parent, const char *name)
{
    T *found = parent->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qFatal("no %s named %s", T::staticMetaObject.className(), name);
    return found;
}

inline void click(const MainWindow &window, const char *name)
{
    child<QAbstractButton>(&window, name)->click();
}

inline QString text(const MainWindow &window, const char *name)
{
    return child<QObject>(&window, name)->property("text").toString();
}

inline QString statusText(const MainWindow &window)
{
    return child<QStatusBar>(&window, "statusBar")->currentMessage();
}

inline QSerialPort *toolPort(const MainWindow &window)
{
    return window.findChild<QSerialPort *>();
}

inline Device *liveDevice(const MainWindow &window)
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return window.findChild<Device *>();
}

// Adds a port of that system name to the port list and selects it.
inline void choosePort(const MainWindow &window, const QString &path)
{
    auto *combo = child<QComboBox>(&window, "serialPortCombo");
    combo->addItem(path, path);
    combo->setCurrentIndex(combo->count() - 1);
}

// Opens the peer's pty through the port list; returns what the opening wrote.
inline QByteArray openOn(const MainWindow &window, PseudoTerminal &peer)
{
    choosePort(window, peer.portName());
    click(window, "serialPortOpenButton");
    QSerialPort *port = toolPort(window);
    return port ? peer.collect(port) : QByteArray();
}

inline QVector<QPointF> curvePoints(const MainWindow &window, const char *frameName)
{
    QVector<QPointF> points;
    auto *plot = child<QWidget>(&window, frameName)->findChild<QwtPlot *>();
    const QwtPlotItemList curves
        = plot ? plot->itemList(QwtPlotItem::Rtti_PlotCurve) : QwtPlotItemList();
    if (curves.size() != 1)
        return points;
    const auto *curve = static_cast<const QwtPlotCurve *>(curves.first());
    for (size_t i = 0; i < curve->dataSize(); ++i)
        points.append(curve->sample(int(i)));
    return points;
}

// Runs `answer` on the next modal widget of type T as soon as it is shown. Returns a
// flag that tells afterwards whether one was shown at all.
template<typename T>
std::shared_ptr<bool> answerNextModal(const std::function<void(T *)> &answer)
{
    auto shown = std::make_shared<bool>(false);
    auto *poll = new QTimer(qApp);
    poll->setObjectName(QStringLiteral("windowdriver-answer"));
    const QDeadlineTimer deadline(10000);
    QObject::connect(poll, &QTimer::timeout, [=] {
        if (auto *modal = qobject_cast<T *>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            *shown = true;
            answer(modal);
        } else if (deadline.hasExpired()) {
            poll->stop();
            poll->deleteLater();
        }
    });
    poll->start(5);
    return shown;
}

// Drops the answers still waiting for a dialog that never came, so that they cannot
// answer one of a later test.
inline void cancelPendingAnswers()
{
    const auto pending = qApp->findChildren<QTimer *>(QStringLiteral("windowdriver-answer"),
                                                      Qt::FindDirectChildrenOnly);
    for (QTimer *poll : pending)
        delete poll;
}

struct FileDialogSeen
{
    bool shown = false;
    QString startDirectory;
    QStringList nameFilters;
};

// Answers the next file dialog: selects `path` and accepts, or cancels when `path` is
// empty. What the dialog showed is written down.
inline std::shared_ptr<FileDialogSeen> answerNextFileDialog(const QString &path)
{
    auto seen = std::make_shared<FileDialogSeen>();
    answerNextModal<QFileDialog>([=](QFileDialog *dialog) {
        seen->shown = true;
        seen->startDirectory = dialog->directory().path();
        seen->nameFilters = dialog->nameFilters();
        if (path.isEmpty()) {
            dialog->reject();
        } else {
            dialog->selectFile(path);
            static_cast<QDialog *>(dialog)->accept(); // validates the selection first
        }
    });
    return seen;
}

struct MessageBoxSeen
{
    bool shown = false;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
    QString informativeText;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

// Answers the next message box with `button`; what it showed is written down.
inline std::shared_ptr<MessageBoxSeen> answerNextMessageBox(QMessageBox::StandardButton button)
{
    auto seen = std::make_shared<MessageBoxSeen>();
    answerNextModal<QMessageBox>([=](QMessageBox *box) {
        seen->shown = true;
        seen->icon = box->icon();
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->informativeText = box->informativeText();
        seen->buttons = box->standardButtons();
        if (auto *defaultButton = box->defaultButton())
            seen->defaultButton = box->standardButton(defaultButton);
        if (QAbstractButton *answer = box->button(button))
            answer->click();
        else
            box->reject();
    });
    return seen;
}

} // namespace windowdriver

#endif
