#ifndef RIMEGLASS_PLOTEXPORT_H
#define RIMEGLASS_PLOTEXPORT_H

#include <QString>

class QwtPlot;

// Exports any plot as it is shown (the live plot, the History view, the sensor preview)
// through Qwt's renderer, at its size on screen: PNG, SVG or PDF after the file name's
// suffix. False, with `error` set, for another suffix or a file that could not be
// written.
bool exportPlot(QwtPlot *plot, const QString &path, QString *error = nullptr);

// The name filter of a save dialog for exportPlot().
QString plotExportNameFilter();

#endif
