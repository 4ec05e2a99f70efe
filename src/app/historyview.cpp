#include "historyview.h"

#include "plotexport.h"

#include <QCheckBox>
#include <QEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPen>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <qwt_date_scale_draw.h>
#include <qwt_date_scale_engine.h>
#include <qwt_plot.h>
#include <qwt_plot_canvas.h>
#include <qwt_plot_curve.h>
#include <qwt_plot_panner.h>
#include <qwt_plot_zoomer.h>
#include <qwt_scale_div.h>

namespace {

constexpr int redrawIntervalMs = 100;
// Qwt's date scales count milliseconds since the epoch; the history counts seconds.
constexpr double msPerSecond = 1000.0;
// Rows of an exported file handed to the file at a time.
constexpr int exportRowsPerWrite = 4096;

QDateTime utcTime(double seconds)
{
    return QDateTime::fromMSecsSinceEpoch(qRound64(seconds * msPerSecond), Qt::UTC);
}

} // namespace

HistoryView::HistoryView(QWidget *parent)
    : QWidget(parent)
    , m_plot(new QwtPlot(this))
    , m_curve(new QwtPlotCurve(tr("T")))
    , m_followNewest(new QCheckBox(tr("Follow newest"), this))
    , m_reset(new QPushButton(tr("Reset"), this))
    , m_redrawTimer(new QTimer(this))
{
    setObjectName(QStringLiteral("historyView"));
    setUpPlot();
    setUpControls();

    m_redrawTimer->setSingleShot(true);
    m_redrawTimer->setInterval(redrawIntervalMs);
    connect(m_redrawTimer, &QTimer::timeout, this, &HistoryView::refresh);
    m_lastExportPath = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
}

HistoryView::~HistoryView() = default;

void HistoryView::setUpPlot()
{
    m_plot->setObjectName(QStringLiteral("historyPlot"));
    m_plot->setTitle(tr("History"));
    m_plot->setAxisTitle(QwtPlot::yLeft, tr("T, K"));
    m_plot->setAxisTitle(QwtPlot::xBottom, tr("Local time"));
    auto *timeScale = new QwtDateScaleDraw(Qt::LocalTime);
    // Qwt's own millisecond labels carry the date too, and overlap at a few seconds' range.
    timeScale->setDateFormat(QwtDate::Millisecond, QStringLiteral("hh:mm:ss.zzz"));
    timeScale->setDateFormat(QwtDate::Second, QStringLiteral("hh:mm:ss"));
    timeScale->setDateFormat(QwtDate::Minute, QStringLiteral("hh:mm"));
    timeScale->setDateFormat(QwtDate::Hour, QStringLiteral("hh:mm"));
    timeScale->setDateFormat(QwtDate::Day, QStringLiteral("ddd dd MMM"));
    m_plot->setAxisScaleDraw(QwtPlot::xBottom, timeScale);
    m_plot->setAxisScaleEngine(QwtPlot::xBottom, new QwtDateScaleEngine(Qt::LocalTime));

    m_curve->setPen(QPen(Qt::red, 1.0));
    m_curve->setPaintAttribute(QwtPlotCurve::FilterPoints, false);
    m_curve->attach(m_plot);

    auto *canvas = qobject_cast<QwtPlotCanvas *>(m_plot->canvas());
    canvas->setObjectName(QStringLiteral("historyCanvas"));
    canvas->installEventFilter(this);

    m_zoomer = new QwtPlotZoomer(canvas);
    m_zoomer->setObjectName(QStringLiteral("historyZoomer"));
    // Right button: one step out; with Ctrl all the way out; with Shift one step back in.
    m_zoomer->setMousePattern(QwtEventPattern::MouseSelect2, Qt::RightButton, Qt::ControlModifier);
    m_zoomer->setMousePattern(QwtEventPattern::MouseSelect3, Qt::RightButton);
    m_zoomer->setMousePattern(QwtEventPattern::MouseSelect6, Qt::RightButton, Qt::ShiftModifier);
    m_zoomer->setTrackerMode(QwtPicker::AlwaysOff);
    connect(m_zoomer, &QwtPlotZoomer::zoomed, this, &HistoryView::zoomed);

    m_panner = new QwtPlotPanner(canvas);
    m_panner->setObjectName(QStringLiteral("historyPanner"));
    m_panner->setMouseButton(Qt::MiddleButton);
    connect(m_panner, &QwtPlotPanner::panned, this, &HistoryView::panned);
}

void HistoryView::setUpControls()
{
    m_followNewest->setObjectName(QStringLiteral("followNewestCheck"));
    m_followNewest->setChecked(true);
    m_reset->setObjectName(QStringLiteral("historyResetButton"));
    auto *exportPlotButton = new QPushButton(tr("Export plot..."), this);
    exportPlotButton->setObjectName(QStringLiteral("historyExportPlotButton"));
    auto *exportCsvButton = new QPushButton(tr("Export CSV..."), this);
    exportCsvButton->setObjectName(QStringLiteral("historyExportCsvButton"));

    auto *controls = new QHBoxLayout;
    controls->addWidget(m_followNewest);
    controls->addWidget(m_reset);
    controls->addStretch();
    controls->addWidget(exportPlotButton);
    controls->addWidget(exportCsvButton);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_plot);
    layout->addLayout(controls);

    connect(m_followNewest, &QCheckBox::toggled, this, &HistoryView::setFollowNewest);
    connect(m_reset, &QPushButton::clicked, this, &HistoryView::reset);
    connect(exportPlotButton, &QPushButton::clicked, this, &HistoryView::exportPlotClicked);
    connect(exportCsvButton, &QPushButton::clicked, this, &HistoryView::exportCsvClicked);
}

void HistoryView::addReading(const QDateTime &time, double kelvin)
{
    m_history.append(time.toMSecsSinceEpoch() / msPerSecond, kelvin);
    // Hidden, it wakes for nothing: showing it redraws it.
    if (isVisible())
        scheduleRefresh();
}

void HistoryView::setInstrument(const RecordingFile::Instrument &instrument)
{
    m_instrument = instrument;
}

bool HistoryView::followsNewest() const
{
    return m_followNewest->isChecked();
}

void HistoryView::setFollowNewest(bool follow)
{
    m_followNewest->setChecked(follow);
    if (follow)
        m_temperatureFixed = false;
    refresh();
}

void HistoryView::reset()
{
    m_wholeSession = true;
    m_temperatureFixed = false;
    refresh();
    m_zoomer->setZoomBase(false);
    m_zoomedIn = false;
}

void HistoryView::showRange(double from, double to)
{
    const QwtScaleDiv &temperature = m_plot->axisScaleDiv(QwtPlot::yLeft);
    m_fitTemperatureOnZoom = true;
    m_zoomer->zoom(QRectF(QPointF(from * msPerSecond, temperature.lowerBound()),
                          QPointF(to * msPerSecond, temperature.upperBound())));
    m_fitTemperatureOnZoom = false;
}

void HistoryView::refresh()
{
    m_redrawTimer->stop();
    // Hidden (another tab in front), it catches up when shown.
    if (!isVisible() || m_history.isEmpty())
        return;
    updateRange();
    m_history.decimate(m_from, m_to, std::max(1, m_plot->canvas()->width()), m_points);
    fitTemperatureAxis();
    for (QPointF &point : m_points)
        point.rx() *= msPerSecond;
    m_curve->setSamples(m_points);
    m_plot->setAxisScale(QwtPlot::xBottom, m_from * msPerSecond, m_to * msPerSecond);
    m_plot->replot();
    // While the view moves the range itself, zooming out ends at that range.
    if (m_zoomer->zoomRectIndex() == 0 || followsNewest()) {
        m_zoomer->setZoomBase(false);
        m_zoomedIn = false;
    }
}

void HistoryView::scheduleRefresh()
{
    if (!m_redrawTimer->isActive())
        m_redrawTimer->start();
}

void HistoryView::updateRange()
{
    const double last = m_history.lastTime();
    if (m_wholeSession) {
        m_from = m_history.firstTime();
        m_to = std::max(last, m_from + 1.0);
        // Without following, the whole session as it is now stays shown.
        m_wholeSession = followsNewest();
    } else if (followsNewest()) {
        const double width = m_to - m_from;
        m_to = last;
        m_from = last - width;
    }
}

// The temperature axis spans what the shown range holds, unless a zoom or a pan set it.
void HistoryView::fitTemperatureAxis()
{
    if (m_temperatureFixed)
        return;
    double low = 0.0, high = 0.0;
    bool any = false;
    for (const QPointF &point : qAsConst(m_points)) {
        if (point.x() < m_from || point.x() > m_to)
            continue;
        low = any ? std::min(low, point.y()) : point.y();
        high = any ? std::max(high, point.y()) : point.y();
        any = true;
    }
    if (!any)
        return;
    const double margin = std::max((high - low) * 0.05, 0.01);
    m_plot->setAxisScale(QwtPlot::yLeft, low - margin, high + margin);
}

void HistoryView::zoomed()
{
    // Zoomed all the way out: the range moves again as it did before the first zoom.
    if (m_zoomer->zoomRectIndex() == 0) {
        m_zoomedIn = false;
        setFollowCheck(m_followBeforeZoom);
        m_wholeSession = m_wholeSessionBeforeZoom;
        m_temperatureFixed = false;
        takeRangeFromAxes();
        refresh();
        return;
    }
    if (!m_zoomedIn) {
        m_zoomedIn = true;
        m_followBeforeZoom = followsNewest();
        m_wholeSessionBeforeZoom = m_wholeSession;
    }
    holdRangeFromAxes();
}

void HistoryView::panned()
{
    holdRangeFromAxes();
}

// A zoom or a pan: the range the operator chose stays where it is.
void HistoryView::holdRangeFromAxes()
{
    setFollowCheck(false);
    m_wholeSession = false;
    m_temperatureFixed = !m_fitTemperatureOnZoom;
    takeRangeFromAxes();
    refresh();
}

void HistoryView::setFollowCheck(bool follow)
{
    const QSignalBlocker blocker(m_followNewest);
    m_followNewest->setChecked(follow);
}

void HistoryView::takeRangeFromAxes()
{
    const QwtScaleDiv &time = m_plot->axisScaleDiv(QwtPlot::xBottom);
    m_from = time.lowerBound() / msPerSecond;
    m_to = time.upperBound() / msPerSecond;
}

void HistoryView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    scheduleRefresh();
}

bool HistoryView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_plot->canvas() && event->type() == QEvent::Resize)
        scheduleRefresh();
    return QWidget::eventFilter(watched, event);
}

bool HistoryView::exportCsv(const QString &path, QString *error) const
{
    const QVector<QPointF> readings = m_history.exactReadingsIn(m_from, m_to);
    RecordingFile file;
    bool written = file.open(path, RecordingFile::header(m_instrument));
    const double start = readings.isEmpty() ? 0.0 : readings.first().x();
    QByteArray rows;
    for (int i = 0; written && i < readings.size(); ++i) {
        const QPointF &reading = readings.at(i);
        const QDateTime time = utcTime(reading.x());
        rows += RecordingFile::row(time, utcTime(start).msecsTo(time) / msPerSecond, reading.y());
        if ((i + 1) % exportRowsPerWrite == 0 || i + 1 == readings.size()) {
            written = file.append(rows);
            rows.clear();
        }
    }
    file.close();
    if (!written && error)
        *error = file.errorText();
    return written;
}

void HistoryView::exportPlotClicked()
{
    const QString path = chooseExportFile(plotExportNameFilter());
    QString error;
    if (!path.isEmpty() && !exportPlot(m_plot, path, &error))
        QMessageBox::warning(this, tr("Export plot"), error);
}

void HistoryView::exportCsvClicked()
{
    const QString path = chooseExportFile(tr("CSV file (*.csv)"));
    QString error;
    if (!path.isEmpty() && !exportCsv(path, &error))
        QMessageBox::warning(this, tr("Export CSV"), error);
}

QString HistoryView::chooseExportFile(const QString &nameFilter)
{
    const QString path
        = QFileDialog::getSaveFileName(this, tr("Export"), m_lastExportPath, nameFilter);
    if (!path.isEmpty())
        m_lastExportPath = path;
    return path;
}
