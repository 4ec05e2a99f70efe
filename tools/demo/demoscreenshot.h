#ifndef RIMEGLASS_DEMO_DEMOSCREENSHOT_H
#define RIMEGLASS_DEMO_DEMOSCREENSHOT_H

#include <QObject>
#include <QString>

class MainWindow;
class QTimer;

// Opens the port selected in the window, waits until the window has shown a number of
// temperatures, and saves a picture of the window as PNG. For the documentation's
// screenshot and for checking the demo offscreen.
class DemoScreenshot : public QObject
{
    Q_OBJECT

public:
    DemoScreenshot(MainWindow *window, const QString &path, int readings,
                   QObject *parent = nullptr);

    void start();
    QString problem() const { return m_problem; }

signals:
    // With false, problem() says what went wrong.
    void finished(bool saved);

private:
    void countReading();
    void save();
    void fail(const QString &problem);

    MainWindow *m_window;
    QString m_path;
    int m_readings;
    int m_seen = 0;
    QTimer *m_deadline;
    QString m_problem;
};

#endif
