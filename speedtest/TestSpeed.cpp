#include "TestSpeed.h"

#include <QDateTime>
#include <QFileInfo>
#include <QPointer>

#include "ConfigClient.h"
#include "ConfigDownload.h"
#include "ConfigLatency.h"
#include "ReportLog.h"
#include "ServerCache.h"
#include "ServerSorterItem.h"

namespace {

const qint64 DefaultTestLength = 10; // seconds
const qint64 MaxTestLength = 3600; // seconds
const qint64 DefaultProbeTimeout = 2; // seconds
const qint64 MaxProbeTimeout = 60; // seconds
// Parallel download connections at most. The service asks for 4; more than
// 16 streams add nothing to what one server delivers, while each holds a
// descriptor and up to 6 MiB of socket buffer: 100000 exhaust the
// descriptors, "1G" memory and the window.
const int MaxConnections = 16;

// General format, at most 6 significant digits, no trailing zeros.
QString numberText(double value)
{
    return QString::number(value, 'g', 6);
}

} // namespace

class TestSpeedPrivate
{
public:
    explicit TestSpeedPrivate(TestSpeed *owner)
        : client(new Client(owner)),
          serverList(new ServerList(client, owner)),
          sorter(new ServerSorter(serverList, owner)),
          cacheDir(ServerCache::cacheDirectory()),
          status(TestSpeed::UnknownStatus),
          error(TestSpeed::NoError),
          downloader(new Downloader(client, owner)),
          logPath(QString::fromLatin1(ReportLog::DefaultPath)),
          cancelled(false)
    {
    }

    Client *client;
    ServerList *serverList;
    ServerSorter *sorter;
    QString cacheDir;
    TestSpeed::Status status;
    QString statusString;
    TestSpeed::Error error;
    QString errorString;
    ServerSorterItem best;
    Downloader *downloader;
    QString logPath;
    bool cancelled;
};

TestSpeed::TestSpeed(QObject *parent) : QObject(parent), d(new TestSpeedPrivate(this))
{
    // Without the directory the cache is simply never found nor kept.
    ServerCache::createDirectory(d->cacheDir);

    connect(d->client, &Client::configsChanged, this, &TestSpeed::onConfigsChanged);
    connect(d->serverList, &ServerList::changed, this, &TestSpeed::onServerListChanged);
    connect(d->sorter, &ServerSorter::changed, this, &TestSpeed::onSorterChanged);
    connect(d->downloader, &Downloader::finished, this, &TestSpeed::onDownloadFinished);
    connect(d->client, &Client::errorChanged, this, &TestSpeed::onClientError);
    connect(d->serverList, &ServerList::errorChanged, this, &TestSpeed::onServerListError);
    connect(d->sorter, &ServerSorter::errorChanged, this, &TestSpeed::onSorterError);
    connect(d->downloader, &Downloader::errorChanged, this, &TestSpeed::onDownloaderError);
}

TestSpeed::~TestSpeed()
{
    delete d;
}

TestSpeed::Error TestSpeed::error() const
{
    return d->error;
}

TestSpeed::Status TestSpeed::status() const
{
    return d->status;
}

QString TestSpeed::errorString() const
{
    return d->errorString;
}

QString TestSpeed::statusString() const
{
    return d->statusString;
}

QVariantMap TestSpeed::bestServer() const
{
    const ServerSorterItem &best = d->best;
    QVariantMap map;
    map.insert(QStringLiteral("latitude"), best.latitude());
    map.insert(QStringLiteral("longitude"), best.longitude());
    map.insert(QStringLiteral("country"), best.country());
    map.insert(QStringLiteral("latency"), best.latency());
    map.insert(QStringLiteral("distance"), best.distance());
    map.insert(QStringLiteral("host"), best.host());
    map.insert(QStringLiteral("latencyUrl"), best.latencyUrl());
    map.insert(QStringLiteral("name"), best.name());
    map.insert(QStringLiteral("sponsor"), best.sponsor());
    map.insert(QStringLiteral("url"), best.url());
    return map;
}

Client *TestSpeed::client() const
{
    return d->client;
}

ServerList *TestSpeed::serverList() const
{
    return d->serverList;
}

ServerSorter *TestSpeed::sorter() const
{
    return d->sorter;
}

Downloader *TestSpeed::downloader() const
{
    return d->downloader;
}

double TestSpeed::downloadSpeed(qint64 bytes, qint64 milliseconds)
{
    if (bytes <= 0 || milliseconds <= 0)
        return 0.0;
    return double(bytes) * 8 / 1024 / double(milliseconds);
}

int TestSpeed::downloadTimeout(qint64 testlengthSeconds)
{
    const qint64 seconds = testlengthSeconds >= 1 && testlengthSeconds <= MaxTestLength
            ? testlengthSeconds
            : DefaultTestLength;
    return int(seconds * 1000);
}

int TestSpeed::latencyTimeout(qint64 timeoutSeconds)
{
    const qint64 seconds = timeoutSeconds >= 1 && timeoutSeconds <= MaxProbeTimeout
            ? timeoutSeconds
            : DefaultProbeTimeout;
    return int(seconds * 1000);
}

void TestSpeed::cancel()
{
    d->cancelled = true;
    // Every handler hangs off these; without them no result moves the test.
    disconnect(d->client, nullptr, this, nullptr);
    disconnect(d->serverList, nullptr, this, nullptr);
    disconnect(d->sorter, nullptr, this, nullptr);
    disconnect(d->downloader, nullptr, this, nullptr);
}

void TestSpeed::start()
{
    if (d->cancelled)
        return;
    setStatus(RetrievingConfiguration);
    setStatusString(tr("Retrieving configuration from server..."));
    d->client->fetch();
    appendLog(QStringLiteral("Test time: %1 \n")
                      .arg(QDateTime::currentDateTime().toString(
                              QStringLiteral("yyyy-MM-dd-hh-mm-ss-zzz"))));
}

void TestSpeed::clearCache()
{
    ServerCache::clear(cacheFile());
}

void TestSpeed::onConfigsChanged()
{
    if (hasEnded())
        return;
    appendLog(QStringLiteral("ISP: %1 \n").arg(d->client->configClient().isp()));

    const QString path = cacheFile();
    if (QFileInfo::exists(path)) {
        if (ServerCache::isFresh(path) && loadServerCache())
            return;
        // Stale, or fresh but yielding no server: fetched like a stale one.
        setStatusString(tr("Updating servers list from server..."));
    } else {
        setStatusString(tr("Retrieving servers list from server..."));
    }
    setStatus(RetrievingServerList);
    d->serverList->fetch();
}

void TestSpeed::onServerListChanged()
{
    if (hasEnded())
        return;
    if (d->serverList->isFetched())
        saveServerCache();
    setStatus(FindingClosestServer);
    setStatusString(tr("Check latencies..."));
    d->sorter->sortByLatency(latencyTimeout(d->client->configLatency().timeout()));
}

void TestSpeed::onSorterChanged()
{
    if (hasEnded())
        return;
    updateBestServer();
    const ServerSorterItem best = d->best;
    appendLog(QStringLiteral("Server: %1 (%2) \n").arg(best.sponsor(), best.name()));
    setStatusString(tr("Selected server: %1 (%2) [%3km]: %4ms")
                            .arg(best.sponsor(), best.name(), numberText(best.distance()),
                                 QString::number(best.latency())));
    appendLog(QStringLiteral("Latency: %1ms \n").arg(best.latency()));
    setStatus(Downloading);
    setStatusString(tr("Downloading..."));

    const ConfigDownload download = d->client->configDownload();
    // 0 or less is left as it is: no connection, and the test fails below.
    const int threads = qMin(download.threadsperurl(), MaxConnections);
    d->downloader->start(best, downloadTimeout(download.testlength()), threads);
    if (hasEnded() || d->downloader->connectionCount() > 0)
        return;
    // Nothing was started, so no finished will come: the test ends here.
    if (threads <= 0 && best.host().contains(QLatin1Char(':')))
        fail(DownloadError, tr("Invalid connection count: %1").arg(threads));
    else
        fail(DownloadError, d->downloader->error());
}

void TestSpeed::onDownloadFinished()
{
    if (hasEnded())
        return;
    // From the full count: the int property wraps above 2 GiB.
    const QString speed = numberText(
            downloadSpeed(d->downloader->downloadBytes64(), d->downloader->downloadTime()));
    setStatusString(tr("Download Speed: %1mbps").arg(speed));
    appendLog(QStringLiteral("Dowload: %1mbps \n").arg(speed));
    appendLog(QStringLiteral("Loss: not available \n"));
    finish();
}

void TestSpeed::onClientError()
{
    fail(GetConfigsError, d->client->error());
}

void TestSpeed::onServerListError()
{
    fail(GetServerListError, d->serverList->error());
}

void TestSpeed::onSorterError()
{
    fail(FindClosestServerError, d->sorter->error());
}

void TestSpeed::onDownloaderError()
{
    // The connections go on; the download's end still ends the test.
    setError(DownloadError);
    setErrorString(d->downloader->error());
}

bool TestSpeed::loadServerCache()
{
    const QList<ServerItem> servers = ServerCache::load(cacheFile());
    if (servers.isEmpty())
        return false;
    setStatusString(tr("Servers list is updated."));
    // Runs onServerListChanged, and with it the latency probes, before
    // returning; the list is not marked fetched, so it is not written back.
    d->serverList->setServers(servers);
    return true;
}

void TestSpeed::saveServerCache()
{
    ServerCache::save(cacheFile(), d->serverList);
}

QString TestSpeed::cacheFile() const
{
    return ServerCache::filePath(d->cacheDir);
}

void TestSpeed::updateBestServer()
{
    d->best = d->sorter->count() > 0 ? d->sorter->at(0) : ServerSorterItem();
    emit bestServerChanged();
}

void TestSpeed::fail(Error error, const QString &text)
{
    setError(error);
    setErrorString(text);
    finish();
}

void TestSpeed::finish()
{
    const bool ending = d->status != FinishedStatus;
    setStatus(FinishedStatus);
    if (ending) {
        // Receivers may release this object (with deferred deletion) and run
        // their next stage from here; the status text follows only after.
        QPointer<TestSpeed> self(this);
        emit finished();
        if (!self)
            return;
    }
    setStatusString(tr("Finished"));
}

bool TestSpeed::hasEnded() const
{
    return d->status == FinishedStatus;
}

void TestSpeed::appendLog(const QString &text)
{
    ReportLog::appendLog(d->logPath, text);
}

void TestSpeed::setStatus(Status status)
{
    if (d->status == status)
        return;
    d->status = status;
    emit statusChanged();
}

void TestSpeed::setStatusString(const QString &statusString)
{
    if (d->statusString == statusString)
        return;
    d->statusString = statusString;
    emit statusStringChanged();
}

void TestSpeed::setError(Error error)
{
    if (d->error == error)
        return;
    d->error = error;
    emit errorChanged();
}

void TestSpeed::setErrorString(const QString &errorString)
{
    if (d->errorString == errorString)
        return;
    d->errorString = errorString;
    emit errorStringChanged();
}
