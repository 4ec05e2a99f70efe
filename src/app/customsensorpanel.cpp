#include "customsensorpanel.h"

#include "calibrationtable.h"
#include "curvefile.h"
#include "device-serial.h"
#include "filedialogs.h"
#include "formchild.h"
#include "storedvalue.h"
#include "transferreport.h"
#include "windowlog.h"

#include <QBrush>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPen>
#include <QPushButton>
#include <QSaveFile>
#include <QSettings>
#include <QVBoxLayout>
#include <qwt_legend.h>
#include <qwt_plot.h>
#include <qwt_plot_curve.h>
#include <qwt_scale_engine.h>

namespace {

const QSize plotMinimumSize(320, 160);
// A file's notes beyond these are counted in the summary and listed in its tooltip, so
// that a file with many odd lines does not make the window taller than the screen.
const int notesShown = 3;
const char noInstrumentTip[] = "No instrument has identified itself on this port yet.";

} // namespace

CustomSensorPanel::CustomSensorPanel(QWidget *form, QSettings *store)
    : QObject(form)
    , m_store(store)
    , m_form(form)
    , m_fileEdit(formChild<QLineEdit>(form, "sensorFileEdit"))
    , m_nameEdit(formChild<QLineEdit>(form, "sensorNameEdit"))
    , m_uploadButton(formChild<QPushButton>(form, "sensorUploadButton"))
    , m_summaryLabel(formChild<QLabel>(form, "sensorTableSummaryLabel"))
{
    setObjectName(QStringLiteral("customSensorPanel"));
    setUpPlot(formChild<QWidget>(form, "sensorPlotFrame"));
    m_nameEdit->setText(storedValue(*m_store, StoreKey::customSensorName).toString());
    m_fileEdit->setText(storedValue(*m_store, StoreKey::customSensorFile).toString());
    connect(m_nameEdit, &QLineEdit::textEdited, this, [this] { m_nameTyped = true; });

    connect(formChild<QPushButton>(form, "sensorFileChooseButton"), &QPushButton::clicked, this,
            &CustomSensorPanel::chooseFile);
    connect(m_uploadButton, &QPushButton::clicked, this, &CustomSensorPanel::upload);
    connect(formChild<QPushButton>(form, "sensorTransposeButton"), &QPushButton::clicked, this,
            &CustomSensorPanel::transpose);
    connect(formChild<QPushButton>(form, "sensorExportButton"), &QPushButton::clicked, this,
            &CustomSensorPanel::exportTable);
    setConnected(false);
}

void CustomSensorPanel::setUpPlot(QWidget *frame)
{
    m_plot = new QwtPlot(frame);
    m_plot->setMinimumSize(plotMinimumSize);
    auto *layout = new QVBoxLayout;
    layout->addWidget(m_plot);
    frame->setLayout(layout);

    m_curve = new QwtPlotCurve(tr("Sensor"));
    m_curve->setPen(
        QPen(QBrush(Qt::red, Qt::SolidPattern), 2.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    m_curve->setYAxis(QwtPlot::yLeft);
    m_curve->attach(m_plot);

    m_plot->setTitle(tr("Sensor"));
    m_plot->enableAxis(QwtPlot::yLeft);
    m_plot->setAxisTitle(QwtPlot::yLeft, tr("V"));
    m_plot->setAxisTitle(QwtPlot::xBottom, tr("T"));

    m_plot->setAxisScaleEngine(QwtPlot::yLeft, new QwtLogScaleEngine(10));
    m_plot->setAxisAutoScale(QwtPlot::yLeft, true);
    m_plot->setAxisAutoScale(QwtPlot::xBottom, true);

    m_plot->insertLegend(new QwtLegend(), QwtPlot::RightLegend, -1.0);
}

void CustomSensorPanel::setConnected(bool connected)
{
    m_connected = connected;
    m_uploadButton->setEnabled(connected);
    if (!connected)
        setInstrumentIdentified(false);
}

void CustomSensorPanel::setInstrumentIdentified(bool identified)
{
    m_uploadButton->setToolTip(identified ? QString() : tr(noInstrumentTip));
}

void CustomSensorPanel::chooseFile()
{
    const QString path = FileDialogs::chooseFileToOpen(
        m_form, m_store, StoreKey::sensorFileLastPath,
        tr("Calibration files (*.340 *.cal *.dat *.tab *.txt);;All files (*)"));
    if (path.isEmpty())
        return;
    m_fileEdit->setText(path);

    const CurveFile file = CurveFile::fromFile(path);
    m_temperatures = file.table.temperatures;
    m_voltages = file.table.voltages;
    for (int i = 0; i < m_temperatures.size(); ++i)
        qCDebug(windowLog, "calibration data: %lf, %lf", m_temperatures.at(i), m_voltages.at(i));
    m_fileNotes = file.refusal.isEmpty() ? file.warnings : QStringList{file.refusal};
    if (file.refusal.isEmpty() && !file.serialNumber.isEmpty()
        && (!m_nameTyped || m_nameEdit->text().isEmpty()))
        m_nameEdit->setText(file.serialNumber);
    showTable();
    if (!file.refusal.isEmpty())
        QMessageBox::warning(m_form, tr("Calibration file"), file.refusal);
}

void CustomSensorPanel::upload()
{
    if (!m_connected)
        return;
    emit uploadAsked();
    if (m_temperatures.isEmpty() && !confirmEmptyTableUpload())
        return;
    // The port may have gone away while the question was open.
    if (!m_connected)
        return;
    const QByteArray payload
        = CalibrationTable::encodePayload(m_nameEdit->text(), m_temperatures, m_voltages);
    emit uploadRequested(
        payload, TransferReport::calibrationSuccessText(m_nameEdit->text(), m_temperatures.size()));
}

// An empty table erases the instrument's custom curve and stores none.
bool CustomSensorPanel::confirmEmptyTableUpload()
{
    return QMessageBox::question(m_form, TransferReport::title(Device::Transfer::Calibration),
                                 tr("The table has no points. Uploading it erases the "
                                    "instrument's custom curve. Upload anyway?"),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes;
}

void CustomSensorPanel::transpose()
{
    if (m_temperatures.isEmpty())
        return;
    m_temperatures.swap(m_voltages);
    showTable();
}

void CustomSensorPanel::exportTable()
{
    const QString path = FileDialogs::chooseFileToSave(
        m_form, m_store->value(StoreKey::sensorFileLastPath).toString(), tr("Curve files (*.340)"));
    if (path.isEmpty())
        return;
    // The table as Upload would send it, under the name it would carry.
    const QByteArray contents
        = CurveFile::toFileData(m_nameEdit->text(), m_temperatures, m_voltages);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size()
        || !file.commit())
        QMessageBox::warning(
            m_form, tr("Calibration file"),
            tr("Cannot write %1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
}

void CustomSensorPanel::showTable()
{
    m_curve->setSamples(m_temperatures.constData(), m_voltages.constData(), m_temperatures.size());
    m_plot->replot();

    QStringList notes = m_fileNotes;
    const QString monotonicity = CurveFile::monotonicityWarning(m_temperatures, m_voltages);
    if (!monotonicity.isEmpty())
        notes.append(monotonicity);
    QStringList lines{CurveFile::summary(m_temperatures, m_voltages)};
    lines += notes.mid(0, notesShown);
    if (notes.size() > notesShown)
        lines.append(
            tr("... and %1 more (the tooltip lists them all)").arg(notes.size() - notesShown));
    m_summaryLabel->setText(lines.join(QLatin1Char('\n')));
    m_summaryLabel->setToolTip(notes.size() > notesShown ? notes.join(QLatin1Char('\n'))
                                                         : QString());
}
