#ifndef DOWNLOADSTAGE_H
#define DOWNLOADSTAGE_H

#include <QPointer>
#include <QString>
#include <QVector>

#include <functional>

class DownloadMgr;

// The download stage of a run: fetches the entries one after the other with
// the run's DownloadMgr, waiting for each in a nested event loop, and writes
// a separator and the result text of every file to the report.
//
// runActive answers "is the run that started this stage still the active,
// uncancelled one?". It is asked before each entry and after each wait, and
// before a result is written, so a cancelled stage, or one whose run has
// been replaced by a newer run, does nothing more.
class DownloadStage
{
public:
    using RunActive = std::function<bool()>;

    DownloadStage(DownloadMgr *manager, const QString &logPath, RunActive runActive);

    // Walks entries (a copy: the caller may empty its list meanwhile).
    // Returns true when every entry has been fetched and the run is still
    // active, so the caller goes on with the next stage; false when the run
    // was cancelled or replaced, the manager was destroyed during a wait, or
    // the wait was ended by the application's exit.
    bool run(QVector<QString> entries);

private:
    bool isActive() const;
    bool fetch(const QString &entry);
    void writeResult(const QString &entry);

    QPointer<DownloadMgr> m_manager;
    QString m_logPath;
    RunActive m_runActive;
};

#endif // DOWNLOADSTAGE_H
