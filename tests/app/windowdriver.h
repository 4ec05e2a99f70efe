#ifndef RIMEGLASS_TESTS_WINDOWDRIVER_H
#define RIMEGLASS_TESTS_WINDOWDRIVER_H

// Drives the real main window as an operator does: widgets by object name, the port
// list, and its modal dialogs (answered from a timer while they run).

#include "device-serial.h"
#include "mainwindow.h"
#include "pseudoterminal.h"

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSerialPort>
#include <QStatusBar>
#include <QTimer>
#include <functional>
#include <qwt_plot.h>
#include <qwt_plot_curve.h>

namespace windowdriver {

inline bool waitUntil(const std::function<bool()> &done, int timeoutMs = 10000)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(no file)");
}

inline bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(contents) >= 0;
}

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

// What a widget shows, as the operator reads it.
inline QString shown(const MainWindow &window, const QString &name)
{
    const QObject *widget = child<QObject>(&window, qPrintable(name));
    if (auto *combo = qobject_cast<const QComboBox *>(widget))
        return combo->currentText();
    if (auto *button = qobject_cast<const QAbstractButton *>(widget))
        return button->isHidden() ? QStringLiteral("hidden") : QStringLiteral("shown");
    const QVariant value = widget->property("value");
    return value.isValid() ? QString::number(value.toDouble())
                           : widget->property("text").toString();
}

// Operates a widget: "name" clicks it, "name=value" sets a combo's index or a spin's value.
inline void operate(const MainWindow &window, const QString &entry)
{
    QObject *target = child<QObject>(&window, qPrintable(entry.section('=', 0, 0)));
    const QString value = entry.section('=', 1);
    if (value.isEmpty())
        static_cast<QAbstractButton *>(target)->click();
    else if (qobject_cast<QComboBox *>(target))
        target->setProperty("currentIndex", value.toInt());
    else
        target->setProperty("value", value.toDouble());
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

// Runs `answer` on the next modal T as soon as it is shown, for up to 10 s.
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

// Drops answers still waiting for a dialog that never came.
inline void cancelPendingAnswers()
{
    qDeleteAll(qApp->findChildren<QTimer *>(QStringLiteral("windowdriver-answer"),
                                            Qt::FindDirectChildrenOnly));
}

// What a dialog showed; `shown` tells whether one came at all.
struct DialogSeen
{
    bool shown = false;
    const QWidget *window = nullptr; // the window the dialog belongs to
    QString startDirectory;
    QStringList nameFilters;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title, text, informativeText;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

// Answers the next file dialog: types `path` into its name box and accepts, or cancels
// when it is empty.
inline std::shared_ptr<DialogSeen> answerNextFileDialog(const QString &path)
{
    auto seen = std::make_shared<DialogSeen>();
    answerNextModal<QFileDialog>([=](QFileDialog *dialog) {
        seen->shown = true;
        seen->window = dialog->parentWidget() ? dialog->parentWidget()->window() : nullptr;
        seen->startDirectory = dialog->directory().path();
        seen->nameFilters = dialog->nameFilters();
        if (path.isEmpty()) {
            dialog->reject();
            return;
        }
        dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
        static_cast<QDialog *>(dialog)->accept(); // validates the selection first
    });
    return seen;
}

// `first` runs while the box is open, before it is answered.
inline std::shared_ptr<DialogSeen> answerNextMessageBox(QMessageBox::StandardButton button,
                                                        const std::function<void()> &first = {})
{
    auto seen = std::make_shared<DialogSeen>();
    answerNextModal<QMessageBox>([=](QMessageBox *box) {
        if (first)
            first();
        seen->shown = true;
        seen->icon = box->icon();
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->informativeText = box->informativeText();
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
