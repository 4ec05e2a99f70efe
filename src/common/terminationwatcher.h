#ifndef RIMEGLASS_TERMINATIONWATCHER_H
#define RIMEGLASS_TERMINATIONWATCHER_H

#include <QObject>

class QSocketNotifier;

// Turns SIGINT, SIGTERM and SIGHUP into a Qt signal, so the event loop ends normally and
// every destructor runs (a simulated port removes its link, the window closes its port). One
// instance per process.
class TerminationWatcher : public QObject
{
    Q_OBJECT

public:
    explicit TerminationWatcher(QObject *parent = nullptr);
    ~TerminationWatcher() override;

    bool install();

signals:
    void terminationRequested(int signalNumber);

private:
    static void handleSignal(int signalNumber);
    void readSignal();

    QSocketNotifier *m_notifier = nullptr;
};

#endif
