#ifndef RIMEGLASS_DEMO_TABSCREENSHOTS_H
#define RIMEGLASS_DEMO_TABSCREENSHOTS_H

#include <QObject>
#include <QString>
#include <functional>

class MainWindow;
class QTimer;

// Pictures of every tab of the window at 1024 x 600 in its widest state, for the
// documentation: the port opened, a plot of readings, the RS232 output switched off until
// the readout has gone stale, and a calibration upload running that the instrument holds up (the
// demo drops one of its acknowledgements). Each tab is saved as <folder>/window-<tab>.png.
class TabScreenshots : public QObject
{
    Q_OBJECT

public:
    // `table`: a calibration table file to upload.
    TabScreenshots(MainWindow *window, const QString &folder, const QString &table,
                   QObject *parent = nullptr);

    void start();
    QString problem() const { return m_problem; }

signals:
    // With false, problem() says what went wrong.
    void finished(bool saved);

private:
    // Runs `next` once `reached` holds; fails, saying `awaited`, when it does not in time.
    void when(const QString &awaited, const std::function<bool()> &reached,
              const std::function<void()> &next);
    void switchOutputOff();
    void startUpload();
    void save(int tab);
    void fail(const QString &problem);

    MainWindow *m_window;
    QString m_folder;
    QString m_table;
    QTimer *m_poll;
    QString m_awaited;
    std::function<bool()> m_reached;
    std::function<void()> m_next;
    int m_pollsLeft = 0;
    int m_readings = 0;
    QString m_problem;
};

#endif
