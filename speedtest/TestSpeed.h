#ifndef TESTSPEED_H
#define TESTSPEED_H

#include <QObject>
#include <QString>
#include <QVariantMap>

#include "Client.h"
#include "Downloader.h"
#include "ServerList.h"
#include "ServerSorter.h"

class TestSpeedPrivate;

// One internet speed test from start to end: configuration, server list
// (cached or fetched), latency ranking, download; then the speed. Progress
// and failures are published as values and texts, six lines go to the
// report, and finished marks the end of the test, whatever its outcome.
class TestSpeed : public QObject
{
    Q_OBJECT
    Q_PROPERTY(Error error READ error NOTIFY errorChanged)
    Q_PROPERTY(Status status READ status NOTIFY statusChanged)
    Q_PROPERTY(QString errorString READ errorString NOTIFY errorStringChanged)
    Q_PROPERTY(QString statusString READ statusString NOTIFY statusStringChanged)
    Q_PROPERTY(QVariantMap bestServer READ bestServer NOTIFY bestServerChanged)
    Q_PROPERTY(Client *client READ client NOTIFY fakeSignal)
    Q_PROPERTY(ServerList *serverList READ serverList NOTIFY fakeSignal)
    Q_PROPERTY(ServerSorter *sorter READ sorter NOTIFY fakeSignal)
    Q_PROPERTY(Downloader *downloader READ downloader NOTIFY fakeSignal)

public:
    enum Status {
        UnknownStatus = 0,
        RetrievingConfiguration = 1,
        RetrievingServerList = 2,
        FindingClosestServer = 3,
        Downloading = 4,
        Uploading = 5,
        FinishedStatus = 6
    };
    Q_ENUM(Status)

    enum Error {
        NoError = 0,
        GetConfigsError = 1,
        GetServerListError = 2,
        FindClosestServerError = 3,
        DownloadError = 4,
        UploadError = 5
    };
    Q_ENUM(Error)

    explicit TestSpeed(QObject *parent = nullptr);
    ~TestSpeed() override;

    Error error() const;
    Status status() const;
    QString errorString() const;
    QString statusString() const;
    QVariantMap bestServer() const;
    Client *client() const;
    ServerList *serverList() const;
    ServerSorter *sorter() const;
    Downloader *downloader() const;

    // Ends the test where it stands, for good and without finished: nothing
    // more is written to the report or emitted. For an owner that releases
    // the test with deferred deletion: until that is carried out, a result
    // already on its way (a reply's body is read when the reply is deleted,
    // itself deferred) would still move the test on.
    void cancel();

    // bytes * 8 / 1024 per millisecond; 0 when nothing arrived or the time
    // is not positive.
    static double downloadSpeed(qint64 bytes, qint64 milliseconds);
    // The service's numbers are not trusted: seconds outside the sane range
    // give the usual value (10 s of download, 2 s per latency probe).
    static int downloadTimeout(qint64 testlengthSeconds);
    static int latencyTimeout(qint64 timeoutSeconds);

signals:
    void errorChanged();
    void errorStringChanged();
    void statusChanged();
    void bestServerChanged();
    void statusStringChanged();
    void fakeSignal();
    void finished();

public slots:
    void start();
    void clearCache();

private:
    void onConfigsChanged();
    void onServerListChanged();
    void onSorterChanged();
    void onDownloadFinished();
    void onClientError();
    void onServerListError();
    void onSorterError();
    void onDownloaderError();

    bool loadServerCache();
    void saveServerCache();
    QString cacheFile() const;
    void updateBestServer();
    void fail(Error error, const QString &text);
    void finish();
    bool hasEnded() const;
    void appendLog(const QString &text);

    void setStatus(Status status);
    void setStatusString(const QString &statusString);
    void setError(Error error);
    void setErrorString(const QString &errorString);

    TestSpeedPrivate *d;
};

#endif // TESTSPEED_H
