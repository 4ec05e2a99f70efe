#include "batcheddebugoutput.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int maxWaitingBytes = 64 * 1024;
constexpr qint64 maxWaitMs = 100;

struct Batch
{
    const char *category = nullptr;
    QtMessageHandler previous = nullptr;
    QByteArray waiting;
    QElapsedTimer oldest;
};

Batch &batch()
{
    static Batch instance;
    return instance;
}

bool isBatched(QtMsgType type, const QMessageLogContext &context)
{
    return type == QtDebugMsg && context.category
        && std::strcmp(context.category, batch().category) == 0;
}

void output(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    Batch &b = batch();
    if (!isBatched(type, context)) {
        BatchedDebugOutput::flush();
        b.previous(type, context, message);
        return;
    }
    const QCoreApplication *application = QCoreApplication::instance();
    const bool onMainLoop = application && QThread::currentThread() == application->thread();
    if (b.waiting.isEmpty()) {
        b.oldest.start();
        // A quiet spell must not keep the last lines back.
        if (onMainLoop)
            QTimer::singleShot(maxWaitMs, application, &BatchedDebugOutput::flush);
    }
    b.waiting += qFormatLogMessage(type, context, message).toLocal8Bit() + '\n';
    if (!onMainLoop || b.waiting.size() >= maxWaitingBytes || b.oldest.elapsed() >= maxWaitMs)
        BatchedDebugOutput::flush();
}

} // namespace

bool BatchedDebugOutput::install(const char *category)
{
    if (isatty(STDERR_FILENO) || batch().category)
        return false;
    batch().category = category;
    batch().previous = qInstallMessageHandler(output);
    std::atexit(flush);
    return true;
}

void BatchedDebugOutput::flush()
{
    QByteArray &waiting = batch().waiting;
    if (waiting.isEmpty())
        return;
    std::fwrite(waiting.constData(), 1, size_t(waiting.size()), stderr);
    std::fflush(stderr);
    waiting.clear();
}
