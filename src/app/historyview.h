#ifndef RIMEGLASS_HISTORYVIEW_H
#define RIMEGLASS_HISTORYVIEW_H

#include "readinghistory.h"
#include "recordingfile.h"

#include <QDateTime>
#include <QPointF>
#include <QVector>
#include <QWidget>

class QCheckBox;
class QPushButton;
class QTimer;
class QwtPlot;
class QwtPlotCurve;
class QwtPlotPanner;
class QwtPlotZoomer;

// Every reading since the window started, against local clock time. Drag a rectangle to
// zoom in, right-click to zoom out a step (Ctrl+right-click: all the way), pan with the
// middle button. "Follow newest" slides the shown range along with new readings;
// "Reset" shows the whole session again.
//
// Readings only mark the view as changed: it is redrawn at most ten times a second,
// from the decimated points (ReadingHistory) of the shown range at the canvas width.
class HistoryView : public QWidget
{
    Q_OBJECT

public:
    explicit HistoryView(QWidget *parent = nullptr);
    ~HistoryView() override;

    void addReading(const QDateTime &time, double kelvin);
    const ReadingHistory &history() const { return m_history; }
    QwtPlot *plot() const { return m_plot; }

    // The instrument named in the header of an exported CSV file, and the sensor it
    // measures with (the read-back after an identification may change it).
    void setInstrument(const RecordingFile::Instrument &instrument);
    void setSensor(const QString &sensor) { m_instrument.sensor = sensor; }

    // The shown range, seconds since the epoch.
    double visibleFrom() const { return m_from; }
    double visibleTo() const { return m_to; }
    bool followsNewest() const;
    void setFollowNewest(bool follow);
    // Back to the whole session.
    void reset();
    // Shows [from, to] as a zoom would, with follow newest off and the temperature axis
    // fitted to what the range holds.
    void showRange(double from, double to);

    // The readings kept exactly in the shown range, in the recording format (seconds
    // counted from the first of them). False with `error` naming the file and reason.
    bool exportCsv(const QString &path, QString *error = nullptr) const;

    // Redraws now: the shown range, its decimated points and the temperature axis
    // (nothing while hidden; showing the view redraws it).
    void refresh();

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setUpPlot();
    void setUpControls();
    void scheduleRefresh();
    void updateRange();
    void fitTemperatureAxis();
    void zoomed();
    void panned();
    void holdRangeFromAxes();
    void takeRangeFromAxes();
    void setFollowCheck(bool follow);
    void exportPlotClicked();
    void exportCsvClicked();
    QString chooseExportFile(const QString &nameFilter);

    ReadingHistory m_history;
    RecordingFile::Instrument m_instrument;
    QwtPlot *m_plot;
    QwtPlotCurve *m_curve;
    QwtPlotZoomer *m_zoomer;
    QwtPlotPanner *m_panner;
    QCheckBox *m_followNewest;
    QPushButton *m_reset;
    QTimer *m_redrawTimer;
    QVector<QPointF> m_points;
    double m_from = 0.0;
    double m_to = 0.0;
    bool m_wholeSession = true; // the range is every reading, growing with new ones
    bool m_temperatureFixed = false; // zoomed or panned: the T axis stays where it was
    bool m_fitTemperatureOnZoom = false; // showRange(): the T axis fits the range
    bool m_zoomedIn = false; // the zoomer's stack holds a zoom of the operator's
    bool m_followBeforeZoom = true;
    bool m_wholeSessionBeforeZoom = true;
    QString m_lastExportPath;
};

#endif
