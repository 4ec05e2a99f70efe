#include "plotexport.h"

#include <QFile>
#include <QFileInfo>
#include <QSizeF>
#include <qwt_plot.h>
#include <qwt_plot_renderer.h>

namespace {

// The renderer's default resolution; the document then has the plot's size in pixels.
constexpr int dotsPerInch = 85;
constexpr double millimetresPerInch = 25.4;

} // namespace

bool exportPlot(QwtPlot *plot, const QString &path, QString *error)
{
    const QString format = QFileInfo(path).suffix().toLower();
    const auto fail = [&](const QString &text) {
        if (error)
            *error = text;
        return false;
    };
    if (format != QLatin1String("png") && format != QLatin1String("svg")
        && format != QLatin1String("pdf"))
        return fail(
            QStringLiteral("Cannot export %1: the name must end in .png, .svg or .pdf").arg(path));

    // The renderer reports nothing; a file that is there and not empty afterwards is
    // the only sign of success, so an earlier one must not count.
    if (QFileInfo::exists(path) && !QFile::remove(path))
        return fail(QStringLiteral("Cannot replace %1").arg(path));
    const QSizeF sizeMm = QSizeF(plot->size()) * (millimetresPerInch / dotsPerInch);
    QwtPlotRenderer renderer;
    renderer.renderDocument(plot, path, format, sizeMm, dotsPerInch);
    if (QFileInfo(path).size() <= 0)
        return fail(QStringLiteral("Cannot write %1").arg(path));
    return true;
}

QString plotExportNameFilter()
{
    return QStringLiteral("PNG image (*.png);;SVG drawing (*.svg);;PDF document (*.pdf)");
}
