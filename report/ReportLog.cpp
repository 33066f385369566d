#include "ReportLog.h"

#include <QDebug>
#include <QFile>

namespace ReportLog {

const char SeparatorLine[] = "======================================================\n";
const char FinishMarker[] = "===========================finn===========================\n";
const char CancelMarker[] = "===========================cancel===========================\n";
const char DefaultPath[] = "./Linkometer.log";

bool appendLog(const QString &path, const QString &text)
{
    QFile file(path);
    if (!file.open(QIODevice::Append)) {
        qWarning().noquote() << "report not writable:" << path << file.errorString();
        return false;
    }
    const QByteArray bytes = text.toLocal8Bit();
    const bool written = file.write(bytes) == bytes.size();
    file.close();
    if (!written)
        qWarning().noquote() << "report write failed:" << path << file.errorString();
    return written;
}

} // namespace ReportLog
