#ifndef RIMEGLASS_READOUTPANEL_H
#define RIMEGLASS_READOUTPANEL_H

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QVector>
#include <functional>

class QLabel;
class QSettings;
class QTimer;
class QWidget;
class QwtPlot;
class QwtPlotCurve;

// The live readout on the Status tab: the temperature with the age of a stale reading,
// the plot of the last readings against their age, Clear and Export. Readings may come
// faster than the screen shows them: the label's text and the plot's points change with
// each one, and both are drawn at most once a display frame.
class ReadoutPanel : public QObject
{
    Q_OBJECT

public:
    ReadoutPanel(QWidget *form, QSettings *store);

    // The clock the readings were stamped with (UTC): their age counts against it.
    using Clock = std::function<QDateTime()>;
    void setClock(Clock clock) { m_clock = std::move(clock); }

    // How long the readout may go without a new temperature before it is shown as
    // stale: three of the instrument's RS232 output periods, at least 3 s.
    qint64 staleReadoutLimitMs() const;
    // Shows the readout as fresh or stale for a last reading `ageMs` milliseconds ago;
    // the panel calls it with the real age when the readout turns stale and whenever the
    // age shown would change.
    void showReadoutAge(qint64 ageMs);
    // How long until a readout whose last reading is `ageMs` old looks different: until
    // it turns stale, and from then until the age shown changes.
    static qint64 msUntilReadoutChanges(qint64 ageMs, qint64 staleLimitMs);

public slots:
    // A reading with the time it was taken; the plot's points are placed by that time.
    void showReading(double kelvin, const QDateTime &time);
    void clear();
    // Asks for a file and saves the plot as shown in it.
    void exportToFile();
    // The period of the instrument's RS232 output, 0 while it is off.
    void setOutputPeriod(int periodMs);
    // While connected the readout's age is checked; without a connection the readout
    // shows "-" and the plot keeps its history.
    void setConnected(bool connected);

private:
    void setUpPlot(QWidget *frame);
    void reserveReadoutSize();
    void pushPoint(double kelvin, const QDateTime &time);
    bool holdWithinFrame();
    void drawHeldReadings();
    void redrawPlot();
    bool axesKeepTheirDivisions() const;
    void repaintNow();
    void watchReadoutAge();
    void checkReadoutAge();

    static constexpr int maxPoints = 300;
    static constexpr int displayFrameMs = 16;

    QSettings *m_store;
    QLabel *m_readout;
    QLabel *m_ageLabel;
    QwtPlot *m_plot = nullptr;
    QwtPlotCurve *m_curve = nullptr;
    QVector<double> m_pointTimes; // seconds since the epoch, oldest first
    QVector<double> m_pointAges; // seconds before the newest point (<= 0)
    QVector<double> m_pointTemperatures;
    QTimer *m_repaint; // runs while a frame of readings is held
    QElapsedTimer m_lastFrame; // since the readout and the plot were last drawn
    bool m_plotStale = false; // points set but not drawn yet
    QTimer *m_ageCheck; // due when the readout turns stale or its age shown changes
    bool m_connected = false;
    Clock m_clock;
    QDateTime m_lastReadingTime; // invalid while no reading counts
    int m_outputPeriodMs = 0;
};

#endif
