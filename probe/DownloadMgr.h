#ifndef DOWNLOADMGR_H
#define DOWNLOADMGR_H

#include <QDateTime>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QString>
#include <QUrl>

class QNetworkReply;
class QTimer;

// Fetches one file at a time into a scratch file under "./temp" and reports
// the transfer rate of the last finished download. Downloads must not
// overlap: start the next one only after replyFinished().
class DownloadMgr : public QNetworkAccessManager
{
    Q_OBJECT

public:
    // A download that receives nothing for this long is ended; its rate is
    // that of the bytes that arrived until then.
    static const int NoDataTimeout = 60000;

    explicit DownloadMgr(QObject *parent = nullptr);
    ~DownloadMgr() override;

    void download(const QString &entry);

    // Rate of the last finished download in units of 1048576 bytes per
    // second (0 before the first one).
    float speed() const;

    // The rate of bytes received in msecs, as speed() computes it.
    static float rate(qint64 bytes, qint64 msecs);

    // Scratch file of the current (or last) download.
    QString scratchFile() const;
    // Monotonic duration of the last finished download in milliseconds.
    qint64 elapsedMsecs() const;

    // Only tests shorten the no-data bound; the tool keeps NoDataTimeout.
    void setNoDataTimeout(int msecs);

signals:
    void replyFinished();

private slots:
    void replyFinish();

private:
    static QString newScratchPath();
    void writeScratch(QNetworkReply *reply);
    void endStalledDownload();

    QString tempFile;
    QUrl url;
    QDateTime beginTime;
    QDateTime finishTime;

    // The wall-clock times above only label the debug lines; the rate is
    // timed on a monotonic clock so that a clock change cannot distort it.
    QElapsedTimer clock;
    qint64 elapsed;
    QTimer *noDataTimer;
    QPointer<QNetworkReply> current;
};

#endif // DOWNLOADMGR_H
