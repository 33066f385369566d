#include "ReportLog.h"

#include <QDebug>
#include <QFile>

namespace ReportLog {

const char SeparatorLine[] = "======================================================\n";
const char FinishMarker[] = "===========================finn===========================\n";
const char CancelMarker[] = "===========================cancel===========================\n";
const char DefaultPath[] = "./Linkometer.log";

namespace {
int failures = 0; // all writers are on the one GUI thread
}

bool appendLog(const QString &path, const QString &text)
{
    QFile file(path);
    if (!file.open(QIODevice::Append)) {
        qWarning().noquote() << "report not writable:" << path << file.errorString();
        ++failures;
        return false;
    }
    const QByteArray bytes = text.toLocal8Bit();
    const bool buffered = file.write(bytes) == bytes.size();
    // The bytes reach the disk when close flushes them: a full disk fails
    // there, and the error stays set.
    file.close();
    const bool written = buffered && file.error() == QFileDevice::NoError;
    if (!written) {
        qWarning().noquote() << "report write failed:" << path << file.errorString();
        ++failures;
    }
    return written;
}

int failedAppends()
{
    return failures;
}

} // namespace ReportLog
