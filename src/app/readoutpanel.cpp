#include "readoutpanel.h"

#include "filedialogs.h"
#include "formchild.h"
#include "plotexport.h"
#include "settingstable.h"

#include <QBrush>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QPalette>
#include <QPen>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>
#include <limits>
#include <qwt_interval.h>
#include <qwt_legend.h>
#include <qwt_plot.h>
#include <qwt_plot_canvas.h>
#include <qwt_plot_curve.h>
#include <qwt_scale_div.h>
#include <qwt_scale_engine.h>

namespace {

// The readout counts as stale after this many output periods without a reading, and
// never sooner than the floor below.
const int staleReadoutPeriods = 3;
const int staleReadoutFloorMs = 3000;
// Qwt asks for far more room than a plot needs to be read; this much leaves the window
// usable on a 1024 x 600 screen.
const QSize plotMinimumSize(320, 160);

// "%5.3lf K". A finite reading with three decimals is never narrower than five
// characters, so QString::number writes the same text for it, in less time.
QString readoutText(double kelvin)
{
    if (!std::isfinite(kelvin))
        return QString::asprintf("%5.3lf K", kelvin);
    return QString::number(kelvin, 'f', 3) + QLatin1String(" K");
}

// The unit the age is shown in: seconds for two minutes, then minutes for two hours,
// then hours.
qint64 ageUnitMs(qint64 ageMs)
{
    const qint64 seconds = ageMs / 1000;
    if (seconds < 120)
        return 1000;
    if (seconds < 120 * 60)
        return 60 * 1000;
    return 3600 * 1000;
}

// "7 s", "12 min", "30 h": how long ago the last reading came, in the unit that keeps the
// number short.
QString ageText(qint64 ageMs)
{
    const qint64 count = ageMs / ageUnitMs(ageMs);
    switch (ageUnitMs(ageMs)) {
    case 1000:
        return ReadoutPanel::tr("last reading %1 s ago").arg(count);
    case 60 * 1000:
        return ReadoutPanel::tr("last reading %1 min ago").arg(count);
    default:
        return ReadoutPanel::tr("last reading %1 h ago").arg(count);
    }
}

// How long until ageText() says something else.
qint64 msUntilAgeTextChanges(qint64 ageMs)
{
    const qint64 unit = ageUnitMs(ageMs);
    return (ageMs / unit + 1) * unit - ageMs;
}

} // namespace

ReadoutPanel::ReadoutPanel(QWidget *form, QSettings *store)
    : QObject(form)
    , m_store(store)
    , m_readout(formChild<QLabel>(form, "temperatureValue"))
    , m_ageLabel(formChild<QLabel>(form, "temperatureAgeLabel"))
    , m_repaint(new QTimer(this))
    , m_ageCheck(new QTimer(this))
{
    setObjectName(QStringLiteral("readoutPanel"));
    setUpPlot(formChild<QWidget>(form, "plotFrame"));
    reserveReadoutSize();
    // The age has a line of its own below the readout, there also while it is empty: the
    // plot does not move when the readout goes stale.
    m_ageLabel->setMinimumHeight(QFontMetrics(m_ageLabel->font()).height());

    m_repaint->setSingleShot(true);
    m_repaint->setTimerType(Qt::PreciseTimer);
    connect(m_repaint, &QTimer::timeout, this, &ReadoutPanel::drawHeldReadings);
    m_ageCheck->setSingleShot(true);
    m_ageCheck->setTimerType(Qt::PreciseTimer);
    connect(m_ageCheck, &QTimer::timeout, this, &ReadoutPanel::checkReadoutAge);

    connect(formChild<QPushButton>(form, "plotClearButton"), &QPushButton::clicked, this,
            &ReadoutPanel::clear);
    connect(formChild<QPushButton>(form, "plotExportButton"), &QPushButton::clicked, this,
            &ReadoutPanel::exportToFile);
}

void ReadoutPanel::setUpPlot(QWidget *frame)
{
    m_plot = new QwtPlot(frame);
    m_plot->setMinimumSize(plotMinimumSize);
    auto *layout = new QVBoxLayout;
    layout->addWidget(m_plot);
    frame->setLayout(layout);

    m_plot->setTitle(tr("Temperature"));
    m_plot->enableAxis(QwtPlot::yLeft);
    m_plot->setAxisTitle(QwtPlot::yLeft, tr("T, K"));
    m_plot->setAxisTitle(QwtPlot::xBottom, tr("t"));

    m_curve = new QwtPlotCurve(tr("T"));
    m_curve->setPen(
        QPen(QBrush(Qt::red, Qt::SolidPattern), 2.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    m_curve->setYAxis(QwtPlot::yLeft);
    m_curve->attach(m_plot);

    m_plot->insertLegend(new QwtLegend(), QwtPlot::RightLegend, -1.0);

    // The curve changes with every reading: a cached copy of the canvas would only be
    // redrawn and then copied once more for each one.
    if (auto *canvas = qobject_cast<QwtPlotCanvas *>(m_plot->canvas()))
        canvas->setPaintAttribute(QwtPlotCanvas::BackingStore, false);
}

// The readout changes with every reading. With room for the widest reading given once,
// its size never changes again: the window is not laid out anew for each reading and
// the rest of the status line does not shift as the digits change.
void ReadoutPanel::reserveReadoutSize()
{
    const QFontMetrics metrics(m_readout->font());
    int textWidth = 0;
    for (const char *widest : {"-8888.888 K", "-0000.000 K", "unknown"})
        textWidth = qMax(textWidth, metrics.horizontalAdvance(QLatin1String(widest)));
    const int frame = 2 * (m_readout->margin() + m_readout->frameWidth());
    m_readout->setFixedSize(qMax(m_readout->minimumWidth(), textWidth + frame),
                            m_readout->sizeHint().height());
}

// A reading that comes a display frame or more after the last one drawn is drawn at
// once, readout and plot in one pass; one that comes sooner waits for that frame's end.
void ReadoutPanel::showReading(double kelvin, const QDateTime &time)
{
    const bool held = holdWithinFrame();
    m_readout->setText(readoutText(kelvin));
    m_lastReadingTime = time;
    showReadoutAge(0);
    watchReadoutAge();
    pushPoint(kelvin, time);
    if (held)
        m_plotStale = true;
    else
        redrawPlot();
}

void ReadoutPanel::clear()
{
    m_pointTimes.clear();
    m_pointAges.clear();
    m_pointTemperatures.clear();
    m_curve->setSamples(m_pointAges, m_pointTemperatures);
    repaintNow();
}

void ReadoutPanel::exportToFile()
{
    const QString path = FileDialogs::chooseFileToSave(
        m_plot->window(), m_store->value(StoreKey::plotExportLastPath).toString(),
        plotExportNameFilter());
    if (path.isEmpty())
        return;
    m_store->setValue(StoreKey::plotExportLastPath, QFileInfo(path).absolutePath());
    QString error;
    if (m_repaint->isActive())
        repaintNow(); // the file gets the axes of the latest points
    if (!exportPlot(m_plot, path, &error))
        QMessageBox::warning(m_plot->window(), tr("Export plot"), error);
}

void ReadoutPanel::setOutputPeriod(int periodMs)
{
    m_outputPeriodMs = periodMs;
    // A shorter limit may be due sooner than the check waited for.
    if (m_ageCheck->isActive())
        checkReadoutAge();
}

void ReadoutPanel::setConnected(bool connected)
{
    m_connected = connected;
    if (connected) {
        m_outputPeriodMs = 0;
        watchReadoutAge();
        return;
    }
    m_ageCheck->stop();
    if (m_repaint->isActive())
        repaintNow(); // no more readings: the last ones are drawn now
    m_readout->setText(QStringLiteral("-"));
    m_lastReadingTime = QDateTime();
    showReadoutAge(0);
}

qint64 ReadoutPanel::staleReadoutLimitMs() const
{
    return qMax<qint64>(qint64(staleReadoutPeriods) * m_outputPeriodMs, staleReadoutFloorMs);
}

void ReadoutPanel::showReadoutAge(qint64 ageMs)
{
    if (ageMs <= staleReadoutLimitMs()) {
        // Called for every reading: a label cleared again still asks for a new layout of
        // the whole tab, so only a readout shown stale is changed back.
        if (m_readout->testAttribute(Qt::WA_SetPalette))
            m_readout->setPalette(QPalette());
        if (!m_ageLabel->text().isEmpty())
            m_ageLabel->clear();
        return;
    }
    QPalette greyed = m_readout->palette();
    greyed.setColor(QPalette::WindowText, greyed.color(QPalette::Disabled, QPalette::WindowText));
    m_readout->setPalette(greyed);
    m_ageLabel->setText(ageText(ageMs));
}

// Nothing wakes the window while its readout stays as it is: the check is due when the
// last reading would turn stale, and then whenever the age shown changes. Readings that
// come meanwhile only leave the check for later.
void ReadoutPanel::watchReadoutAge()
{
    if (m_connected && !m_ageCheck->isActive() && m_lastReadingTime.isValid() && m_clock)
        checkReadoutAge();
}

void ReadoutPanel::checkReadoutAge()
{
    m_ageCheck->stop();
    if (!m_connected || !m_lastReadingTime.isValid() || !m_clock)
        return;
    const qint64 ageMs = qMax<qint64>(m_lastReadingTime.msecsTo(m_clock()), 0);
    showReadoutAge(ageMs);
    const qint64 dueInMs = msUntilReadoutChanges(ageMs, staleReadoutLimitMs());
    m_ageCheck->start(int(qMin<qint64>(dueInMs, std::numeric_limits<int>::max())));
}

qint64 ReadoutPanel::msUntilReadoutChanges(qint64 ageMs, qint64 staleLimitMs)
{
    if (ageMs <= staleLimitMs)
        return staleLimitMs - ageMs + 1;
    return msUntilAgeTextChanges(ageMs);
}

// The newest point is at 0, the others at their age before it: a gap in the readings
// shows as a gap in the plot.
void ReadoutPanel::pushPoint(double kelvin, const QDateTime &time)
{
    const double now = time.toMSecsSinceEpoch() / 1000.0;
    if (m_pointTimes.size() >= maxPoints) {
        m_pointTimes.removeFirst();
        m_pointAges.removeFirst();
        m_pointTemperatures.removeFirst();
    }
    m_pointTimes.append(now);
    m_pointAges.append(0.0);
    m_pointTemperatures.append(kelvin);
    for (int i = 0; i < m_pointTimes.size(); ++i)
        m_pointAges[i] = m_pointTimes.at(i) - now;

    m_curve->setSamples(m_pointAges.constData(), m_pointTemperatures.constData(),
                        m_pointTemperatures.size());
}

// True when the reading now coming falls within the display frame of the last one drawn:
// it only changes the readout's text and the plot's points, and the frame's end draws the
// last of them. Otherwise the reading starts a frame of its own and is drawn at once.
bool ReadoutPanel::holdWithinFrame()
{
    if (!m_repaint->isActive()) {
        const qint64 sinceFrameMs = m_lastFrame.isValid() ? m_lastFrame.elapsed() : displayFrameMs;
        if (sinceFrameMs >= displayFrameMs) {
            m_lastFrame.start();
            return false;
        }
        m_repaint->start(int(displayFrameMs - sinceFrameMs));
    }
    if (m_readout->updatesEnabled())
        m_readout->setUpdatesEnabled(false);
    return true;
}

// The end of a frame: the readings held during it are drawn. The timer then rests until
// a reading comes within the next frame.
void ReadoutPanel::drawHeldReadings()
{
    m_lastFrame.start();
    if (m_plotStale) {
        m_plotStale = false;
        redrawPlot();
    }
    if (!m_readout->updatesEnabled()) {
        // Drawn now, with the plot in the same pass: the next reading may come before
        // a later pass and hold the readout again.
        m_readout->setUpdatesEnabled(true);
        m_readout->repaint();
    }
}

// A frame's new points seldom move the automatic axes: when the divisions QwtPlot would
// work out for them (as QwtPlot::updateAxes does) are the ones shown, only the canvas
// is drawn, sparing the tick labels' measuring and the plot's layout.
void ReadoutPanel::redrawPlot()
{
    auto *canvas = qobject_cast<QwtPlotCanvas *>(m_plot->canvas());
    if (canvas && axesKeepTheirDivisions())
        canvas->replot();
    else
        m_plot->replot();
}

bool ReadoutPanel::axesKeepTheirDivisions() const
{
    const QRectF bounds = m_curve->boundingRect();
    if (bounds.width() < 0.0 || bounds.height() < 0.0)
        return false;
    const QPair<int, QwtInterval> axes[] = {
        {QwtPlot::xBottom, QwtInterval(bounds.left(), bounds.right())},
        {QwtPlot::yLeft, QwtInterval(bounds.top(), bounds.bottom())},
    };
    for (const auto &axis : axes) {
        const int id = axis.first;
        const QwtScaleEngine *engine = m_plot->axisScaleEngine(id);
        const int maxMajor = m_plot->axisMaxMajor(id);
        double lower = axis.second.minValue();
        double upper = axis.second.maxValue();
        double step = 0.0;
        engine->autoScale(maxMajor, lower, upper, step);
        if (engine->divideScale(lower, upper, maxMajor, m_plot->axisMaxMinor(id), step)
            != m_plot->axisScaleDiv(id))
            return false;
    }
    return true;
}

void ReadoutPanel::repaintNow()
{
    m_repaint->stop();
    m_lastFrame.start();
    m_plotStale = false;
    m_plot->replot();
    if (!m_readout->updatesEnabled()) {
        m_readout->setUpdatesEnabled(true);
        m_readout->repaint();
    }
}
