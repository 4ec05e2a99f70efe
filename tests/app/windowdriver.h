#ifndef RIMEGLASS_TESTS_WINDOWDRIVER_H
#define RIMEGLASS_TESTS_WINDOWDRIVER_H

// Drives the real main window as an operator does: widgets by object name, the port
// list, and the modal dialogs it opens (answered from a timer while they run).

#include "device-serial.h"
#include "mainwindow.h"
#include "pseudoterminal.h"

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
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
    const QwtPlotItemList curves = plot->itemList(QwtPlotItem::Rtti_PlotCurve);
    const auto *curve = static_cast<const QwtPlotCurve *>(curves.value(0));
    for (size_t i = 0; curves.size() == 1 && i < curve->dataSize(); ++i)
        points.append(curve->sample(int(i)));
    return points;
}

// Runs `answer` on the next modal widget of type T as soon as it is shown, for up to 10 s.
template<typename T>
void answerNextModal(const std::function<void(T *)> &answer)
{
    auto *poll = new QTimer(qApp);
    poll->setObjectName(QStringLiteral("windowdriver-answer"));
    const QDeadlineTimer deadline(10000);
    QObject::connect(poll, &QTimer::timeout, [=] {
        auto *modal = qobject_cast<T *>(QApplication::activeModalWidget());
        if (!modal && !deadline.hasExpired())
            return;
        poll->stop();
        poll->deleteLater();
        if (modal)
            answer(modal);
    });
    poll->start(5);
}

// Drops the answers still waiting for a dialog that never came (it might be a later test's).
inline void cancelPendingAnswers()
{
    qDeleteAll(qApp->findChildren<QTimer *>(QStringLiteral("windowdriver-answer"),
                                            Qt::FindDirectChildrenOnly));
}

// What a dialog showed; `shown` tells whether one came at all.
struct DialogSeen
{
    bool shown = false;
    QString startDirectory;
    QStringList nameFilters;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title, text, informativeText;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

using MessageBoxSeen = DialogSeen;

// Answers the next file dialog: selects `path` and accepts, or cancels when it is empty.
inline std::shared_ptr<DialogSeen> answerNextFileDialog(const QString &path)
{
    auto seen = std::make_shared<DialogSeen>();
    answerNextModal<QFileDialog>([=](QFileDialog *dialog) {
        seen->shown = true;
        seen->startDirectory = dialog->directory().path();
        seen->nameFilters = dialog->nameFilters();
        if (path.isEmpty()) {
            dialog->reject();
            return;
        }
        dialog->selectFile(path);
        static_cast<QDialog *>(dialog)->accept(); // validates the selection first
    });
    return seen;
}

// Answers the next message box with `button`.
inline std::shared_ptr<DialogSeen> answerNextMessageBox(QMessageBox::StandardButton button)
{
    auto seen = std::make_shared<DialogSeen>();
    answerNextModal<QMessageBox>([=](QMessageBox *box) {
        seen->shown = true;
        seen->icon = box->icon();
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->informativeText = box->informativeText();
        seen->buttons = box->standardButtons();
        seen->defaultButton = box->standardButton(box->defaultButton());
        if (QAbstractButton *answer = box->button(button))
            answer->click();
        else
            box->reject();
    });
    return seen;
}

} // namespace windowdriver

#endif
