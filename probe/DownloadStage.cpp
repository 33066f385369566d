#include "DownloadStage.h"

#include <QDebug>
#include <QEventLoop>

#include <utility>

#include "DownloadList.h"
#include "DownloadMgr.h"
#include "ReportLog.h"

namespace {

// The last result text written to the report, kept for the process's
// lifetime: an identical text is not written again, also across runs.
QString &lastResult()
{
    static QString line;
    return line;
}

} // namespace

DownloadStage::DownloadStage(DownloadMgr *manager, const QString &logPath, RunActive runActive)
    : m_manager(manager), m_logPath(logPath), m_runActive(std::move(runActive))
{
}

bool DownloadStage::run(QVector<QString> entries)
{
    for (const QString &entry : qAsConst(entries)) {
        if (!isActive())
            return false;
        qDebug().noquote() << "file list:" << entry;
        if (!fetch(entry) || !isActive())
            return false;
    }
    return isActive();
}

bool DownloadStage::isActive() const
{
    return !m_runActive || m_runActive();
}

bool DownloadStage::fetch(const QString &entry)
{
    DownloadMgr *manager = m_manager;
    if (!manager)
        return false;

    QEventLoop wait;
    bool resultHandled = false;
    QMetaObject::Connection handler;
    handler = QObject::connect(manager, &DownloadMgr::replyFinished, &wait, [&] {
        QObject::disconnect(handler);
        resultHandled = true;
        writeResult(entry);
        wait.quit();
    });
    // Cancel releases the manager with deleteLater, which this very loop
    // carries out; that ends the wait without a result.
    QObject::connect(manager, &QObject::destroyed, &wait, &QEventLoop::quit);

    manager->download(entry);
    wait.exec();
    QObject::disconnect(handler);
    return resultHandled && m_manager;
}

void DownloadStage::writeResult(const QString &entry)
{
    if (!isActive())
        return;
    ReportLog::appendLog(m_logPath, QString::fromLatin1(ReportLog::SeparatorLine));
    const QString text = DownloadList::resultText(entry, m_manager->speed());
    if (text != lastResult()) {
        ReportLog::appendLog(m_logPath, text);
        lastResult() = text;
    }
}
