#include "FuzzTargets.h"

#include <QtGlobal>

#include <cstdlib>

namespace {

QtMessageHandler previousHandler = nullptr;

void quietHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg)
        return;
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

void silenceQtMessages()
{
    QtMessageHandler previous = qInstallMessageHandler(quietHandler);
    if (previous != quietHandler)
        previousHandler = previous;
}

void fuzzCheckFailed(const char *file, int line, const char *condition)
{
    qFatal("%s:%d: broken invariant: %s", file, line, condition);
    std::abort(); // qFatal does not return; this tells the compiler so
}
