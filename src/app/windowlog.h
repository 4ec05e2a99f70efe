#ifndef RIMEGLASS_WINDOWLOG_H
#define RIMEGLASS_WINDOWLOG_H

#include <QLoggingCategory>

// The window's debug lines ("rimeglass.window"); the link, the session and the files
// read have categories of their own under "rimeglass.".
Q_DECLARE_LOGGING_CATEGORY(windowLog)

#endif
