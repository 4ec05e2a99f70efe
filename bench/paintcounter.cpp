#include "paintcounter.h"

#include <QEvent>

PaintCounter::PaintCounter(QObject *watched)
    : QObject(watched)
{
    watched->installEventFilter(this);
}

bool PaintCounter::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == parent() && event->type() == QEvent::Paint)
        ++paints;
    return false;
}
