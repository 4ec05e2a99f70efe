#ifndef RIMEGLASS_WINDOWGONE_H
#define RIMEGLASS_WINDOWGONE_H

#include <QWidget>

// Whether the window of `widget` was shown and has been closed since. A message box
// deferred to the event loop is dropped then: nothing may pop up after the window has
// gone. A window never shown (a test's, the demo's before it starts) has not gone.
inline bool windowHasGone(const QWidget *widget)
{
    const QWidget *window = widget->window();
    return window->testAttribute(Qt::WA_WState_ExplicitShowHide) && window->isHidden();
}

#endif
