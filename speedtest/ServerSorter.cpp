#include "ServerSorter.h"

#include <QDateTime>
#include <QHash>
#include <QMultiMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <iterator>

#include "Client.h"
#include "ServerList.h"

namespace {

const int DefaultProbeTimeout = 2000;

} // namespace

class ServerSorterPrivate
{
public:
    ServerSorterPrivate(ServerList *serverList, ServerSorter *owner)
        : manager(new QNetworkAccessManager(owner)), serverList(serverList), limit(20)
    {
    }

    QNetworkAccessManager *manager;
    ServerList *serverList;
    int limit;
    QString error;
    QHash<QNetworkReply *, QByteArray> replyBuffers;
    QList<ServerSorterItem> servers;
    // Equal keys: the newest entry comes first, which the orders rely on.
    QMultiMap<double, ServerSorterItem> latencyResults;
    QPointer<QNetworkReply> currentReply;
};

ServerSorter::ServerSorter(ServerList *serverList, QObject *parent)
    : QObject(parent), d(new ServerSorterPrivate(serverList, this))
{
}

ServerSorter::~ServerSorter()
{
    delete d;
}

int ServerSorter::limit() const
{
    return d->limit;
}

void ServerSorter::setLimit(int limit)
{
    if (d->limit == limit)
        return;
    d->limit = limit;
    emit limitChanged();
}

QString ServerSorter::error() const
{
    return d->error;
}

int ServerSorter::count() const
{
    return d->servers.size();
}

ServerSorterItem ServerSorter::at(int index) const
{
    return d->servers.at(index);
}

void ServerSorter::sortByLatency(int timeout)
{
    if (d->currentReply)
        return;
    d->latencyResults.clear();
    const QList<ServerSorterItem> candidates = nearestServers();
    probeNext(candidates, candidates.size(), timeout);
}

void ServerSorter::sortByLatency()
{
    sortByLatency(DefaultProbeTimeout);
}

void ServerSorter::sortByDistance()
{
    d->servers = nearestServers();
    emit changed();
}

QList<ServerSorterItem> ServerSorter::nearestServers() const
{
    QMultiMap<double, ServerSorterItem> nearest;
    // Nothing can be kept, and there is no farthest entry to compare with.
    if (d->limit < 1 || !d->serverList)
        return nearest.values();
    for (int i = 0; i < d->serverList->count(); ++i) {
        const ServerSorterItem item(d->serverList->at(i));
        if (nearest.size() < d->limit) {
            nearest.insert(item.distance(), item);
            continue;
        }
        const auto farthest = std::prev(nearest.end());
        if (item.distance() < farthest.key()) {
            const double key = farthest.key();
            const ServerSorterItem dropped = farthest.value();
            nearest.remove(key, dropped);
            nearest.insert(item.distance(), item);
        }
    }
    return nearest.values();
}

void ServerSorter::probeNext(QList<ServerSorterItem> remaining, int total, int timeout)
{
    emit latencyProgress(d->latencyResults.size(), total);
    if (remaining.isEmpty()) {
        d->servers = d->latencyResults.values();
        d->latencyResults.clear();
        emit changed();
        return;
    }
    const ServerSorterItem item = remaining.takeFirst();

    QNetworkRequest request;
    Client *client = d->serverList ? d->serverList->client() : nullptr;
    request.setHeader(QNetworkRequest::UserAgentHeader, client ? client->userAgent() : QString());
    // Follows redirects the way the deprecated FollowRedirectsAttribute did.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setUrl(QUrl(item.latencyUrl(), QUrl::TolerantMode));

    const QDateTime start = QDateTime::currentDateTime();
    QNetworkReply *reply = d->manager->get(request);
    d->currentReply = reply;
    connect(reply, &QNetworkReply::readyRead, this,
            [this, reply] { d->replyBuffers[reply] += reply->readAll(); });
    connect(reply, &QNetworkReply::finished, this,
            [=] { probeFinished(reply, start, item, remaining, total, timeout); });
    auto *timer = new QTimer(reply);
    timer->setSingleShot(true);
    timer->setInterval(timeout);
    connect(timer, &QTimer::timeout, reply, &QNetworkReply::abort);
    timer->start();
}

void ServerSorter::probeFinished(QNetworkReply *reply, const QDateTime &start,
                                 const ServerSorterItem &item,
                                 const QList<ServerSorterItem> &remaining, int total, int timeout)
{
    reply->deleteLater();
    const QByteArray bytes = d->replyBuffers.take(reply);
    ServerSorterItem result(item);
    result.setLatency(ServerSorterItem::NotMeasured);
    if (bytes.trimmed() == "test=test")
        result.setLatency(int(start.msecsTo(QDateTime::currentDateTime())));
    else
        result.setLatency(ServerSorterItem::Failed);
    d->latencyResults.insert(double(result.latency()), result);
    probeNext(remaining, total, timeout);
}
