#ifndef RIMEGLASS_BENCH_OFFSCREENWINDOW_H
#define RIMEGLASS_BENCH_OFFSCREENWINDOW_H

// The main window shown offscreen, as the figures that include painting need it.

#include <QCoreApplication>
#include <QWidget>
#include <QWindow>
#include <qwt_plot_canvas.h>

namespace bench {

// Shows the window and runs the event loop until it is exposed (painted on show).
inline bool showOffscreen(QWidget &window)
{
    window.show();
    for (int i = 0; i < 100 && !(window.windowHandle() && window.windowHandle()->isExposed()); ++i)
        QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    return window.windowHandle() && window.windowHandle()->isExposed();
}

// The canvas of the live temperature plot, or null.
inline QWidget *liveCanvas(const QWidget &window)
{
    auto *frame = window.findChild<QWidget *>(QStringLiteral("plotFrame"));
    return frame ? frame->findChild<QwtPlotCanvas *>() : nullptr;
}

} // namespace bench

#endif
