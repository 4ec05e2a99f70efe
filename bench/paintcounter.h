#ifndef RIMEGLASS_BENCH_PAINTCOUNTER_H
#define RIMEGLASS_BENCH_PAINTCOUNTER_H

#include <QObject>

// Counts the paint events that reach one widget, so a benchmark can show that what it
// timed was really drawn.
class PaintCounter : public QObject
{
    Q_OBJECT

public:
    explicit PaintCounter(QObject *watched);

    int count() const { return paints; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    int paints = 0;
};

#endif
