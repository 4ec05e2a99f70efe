#ifndef RIMEGLASS_READING_H
#define RIMEGLASS_READING_H

#include <QDateTime>
#include <QMetaType>
#include <QtGlobal>

// One temperature the instrument reported, with the time the session received it. The
// time is given once, where the line arrives; every consumer (readout, plot, history,
// recording, log) shows that same time.
struct Reading
{
    // Since the epoch, UTC. Within one session each reading is at least a nanosecond
    // after the one before, so that no two share a time (InfluxDB would keep only one).
    qint64 utcNanoseconds = 0;
    double kelvin = 0.0;

    // The time in UTC, to the millisecond.
    QDateTime time() const { return timeOf(utcNanoseconds); }

    static QDateTime timeOf(qint64 utcNanoseconds)
    {
        constexpr qint64 nanosecondsPerMillisecond = 1000000;
        qint64 milliseconds = utcNanoseconds / nanosecondsPerMillisecond;
        if (utcNanoseconds < 0 && utcNanoseconds % nanosecondsPerMillisecond != 0)
            --milliseconds;
        return QDateTime::fromMSecsSinceEpoch(milliseconds, Qt::UTC);
    }
};

Q_DECLARE_METATYPE(Reading)

#endif
