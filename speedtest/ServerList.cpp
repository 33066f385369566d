#include "ServerList.h"

#include <QDomDocument>
#include <QDomElement>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <cmath>

#include "Client.h"
#include "ReplyGuard.h"
#include "ServiceAddress.h"

namespace {

const char NetworkErrorPrefix[] = "Server file error: ";
const char ParseErrorPrefix[] = "Servers file error: ";

double radians(double degrees)
{
    return degrees * 3.141592653589793 / 180;
}

} // namespace

class ServerListPrivate
{
public:
    ServerListPrivate(Client *client, ServerList *owner)
        : client(client),
          manager(new QNetworkAccessManager(owner)),
          reply(nullptr),
          serversUrl(QStringLiteral("https://") + QLatin1String(ServiceAddress::WebHost)
                     + QLatin1String(ServiceAddress::ServersPath)),
          fetched(false),
          replyCut(false)
    {
    }

    QList<ServerItem> servers;
    Client *client;
    QNetworkAccessManager *manager;
    QString error;
    QByteArray buffer;
    QNetworkReply *reply;
    QString serversUrl;
    bool fetched;
    // The reply in flight was stopped by its bound; its error text stands.
    bool replyCut;
};

ServerList::ServerList(Client *client, QObject *parent)
    : QObject(parent), d(new ServerListPrivate(client, this))
{
}

ServerList::~ServerList()
{
    delete d;
}

QString ServerList::serversUrl() const
{
    return d->serversUrl;
}

void ServerList::setServersUrl(const QString &serversUrl)
{
    if (d->serversUrl == serversUrl)
        return;
    d->serversUrl = serversUrl;
    emit serversUrlChanged();
}

QString ServerList::error() const
{
    return d->error;
}

int ServerList::count() const
{
    return d->servers.size();
}

ServerItem ServerList::at(int index) const
{
    return d->servers.at(index);
}

void ServerList::setServers(const QList<ServerItem> &servers)
{
    d->servers = servers;
    d->fetched = false;
    emit changed();
}

bool ServerList::isFetched() const
{
    return d->fetched;
}

Client *ServerList::client() const
{
    return d->client;
}

void ServerList::fetch()
{
    if (d->reply)
        return;
    d->servers.clear();
    QNetworkRequest request;
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      d->client ? d->client->userAgent() : QString());
    // Follows redirects the way the deprecated FollowRedirectsAttribute did.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setUrl(QUrl(d->serversUrl, QUrl::TolerantMode));
    QNetworkReply *reply = d->manager->get(request);
    d->reply = reply;
    d->replyCut = false;
    auto *guard = new ReplyGuard(reply);

    connect(guard, &ReplyGuard::cut, this, [this](const QString &reason) {
        d->replyCut = true;
        d->buffer.clear();
        setError(QLatin1String(NetworkErrorPrefix) + reason);
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply, guard] {
        if (guard->admits(d->buffer.size() + reply->bytesAvailable()))
            d->buffer += reply->readAll();
    });
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this](qint64 received, qint64 total) { emit downloadProgress(received, total); });
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    const auto errorSignal = &QNetworkReply::errorOccurred;
#else
    const auto errorSignal = QOverload<QNetworkReply::NetworkError>::of(&QNetworkReply::error);
#endif
    connect(reply, errorSignal, this, [this, reply](QNetworkReply::NetworkError) {
        if (!d->replyCut)
            setError(QLatin1String(NetworkErrorPrefix) + reply->errorString());
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        d->reply = nullptr;
        if (d->replyCut) {
            d->replyCut = false;
            d->buffer.clear();
            return;
        }
        parse();
    });
}

void ServerList::setError(const QString &error)
{
    if (d->error == error)
        return;
    d->error = error;
    emit errorChanged();
}

void ServerList::parse()
{
    const QByteArray body = d->buffer;
    d->buffer.clear();
    double lat = 0.0;
    double lon = 0.0;
    if (d->client) {
        const ConfigClient client = d->client->configClient();
        lat = client.lat();
        lon = client.lon();
    }
    QString error;
    const QList<ServerItem> servers = parseServers(body, lat, lon, &error);
    if (!error.isEmpty()) {
        setError(error);
        return;
    }
    d->servers = servers;
    d->fetched = true;
    emit changed();
}

double ServerList::haversineDistance(double lat1, double lon1, double lat2, double lon2)
{
    lat1 = radians(lat1);
    lon1 = radians(lon1);
    lat2 = radians(lat2);
    lon2 = radians(lon2);
    const double s = std::sin((lon2 - lon1) / 2);
    const double t = std::sin((lat2 - lat1) / 2);
    double a = std::cos(lat1) * std::cos(lat2) * s * s + t * t;
    // Near the antipode rounding can carry a past 1, and sqrt(1 - a) would
    // be NaN; a NaN from NaN coordinates stays.
    if (a > 1)
        a = 1;
    return std::atan2(std::sqrt(a), std::sqrt(1 - a)) * 2 * 6378.137;
}

QList<ServerItem> ServerList::parseServers(const QByteArray &body, double clientLat,
                                           double clientLon, QString *error)
{
    QList<ServerItem> servers;
    QDomDocument dom;
    QString message;
    if (!dom.setContent(body, false, &message)) {
        if (error)
            *error = QLatin1String(ParseErrorPrefix) + message;
        return servers;
    }
    if (error)
        error->clear();
    const QDomNode list = dom.documentElement().firstChild();
    for (QDomNode node = list.firstChild(); !node.isNull(); node = node.nextSibling()) {
        if (!node.isElement())
            continue;
        const QDomElement entry = node.toElement();
        const QString url = entry.attribute(QStringLiteral("url"));
        const int slash = url.lastIndexOf(QLatin1Char('/'));
        if (slash < 0)
            continue;
        ServerItem item;
        item.setLatitude(entry.attribute(QStringLiteral("lat")).toDouble());
        item.setLongitude(entry.attribute(QStringLiteral("lon")).toDouble());
        item.setCountry(entry.attribute(QStringLiteral("country")));
        item.setName(entry.attribute(QStringLiteral("name")));
        item.setHost(entry.attribute(QStringLiteral("host")));
        item.setSponsor(entry.attribute(QStringLiteral("sponsor")));
        item.setUrl(url);
        item.setLatencyUrl(url.left(slash + 1) + QStringLiteral("latency.txt"));
        item.setDistance(
                haversineDistance(item.latitude(), item.longitude(), clientLat, clientLon));
        servers.append(item);
    }
    return servers;
}
