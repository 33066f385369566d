#include "Client.h"

#include <QDebug>
#include <QDomDocument>
#include <QDomElement>
#include <QDomNamedNodeMap>
#include <QHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSet>
#include <QUrl>

#include "ReplyGuard.h"
#include "ServiceAddress.h"

namespace {

const char ErrorPrefix[] = "Config file error: ";

} // namespace

class ClientPrivate
{
public:
    explicit ClientPrivate(Client *owner)
        : configsUrl(QStringLiteral("https://") + QLatin1String(ServiceAddress::WebHost)
                     + QLatin1String(ServiceAddress::ConfigPath)),
          userAgent(QStringLiteral("Linkometer/1.0.0")),
          manager(new QNetworkAccessManager(owner))
    {
    }

    QString configsUrl;
    QString userAgent;
    QNetworkAccessManager *manager;
    QHash<QNetworkReply *, QByteArray> replyBuffers;
    ConfigClient configClient;
    ConfigDownload configDownload;
    ConfigLatency configLatency;
    ConfigLatency socketLatency;
    QVariantMap configs;
    QString error;
    // Replies stopped by their bound: their own error text stands, and
    // neither the cancellation nor the cut body may replace it.
    QSet<QNetworkReply *> cutReplies;
};

Client::Client(QObject *parent) : QObject(parent), d(new ClientPrivate(this)) { }

Client::~Client()
{
    delete d;
}

QString Client::configsUrl() const
{
    return d->configsUrl;
}

void Client::setConfigsUrl(const QString &configsUrl)
{
    if (d->configsUrl == configsUrl)
        return;
    d->configsUrl = configsUrl;
    emit configsUrlChanged();
}

QString Client::userAgent() const
{
    return d->userAgent;
}

void Client::setUserAgent(const QString &userAgent)
{
    if (d->userAgent == userAgent)
        return;
    d->userAgent = userAgent;
    emit userAgentChanged();
}

QVariantMap Client::configs() const
{
    return d->configs;
}

QString Client::error() const
{
    return d->error;
}

ConfigClient Client::configClient() const
{
    return d->configClient;
}

ConfigDownload Client::configDownload() const
{
    return d->configDownload;
}

ConfigLatency Client::configLatency() const
{
    return d->configLatency;
}

void Client::fetch()
{
    qDebug().nospace().noquote() << "client start fetch: ";
    QNetworkRequest request;
    request.setHeader(QNetworkRequest::UserAgentHeader, d->userAgent);
    // Follows redirects the way the deprecated FollowRedirectsAttribute did.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setUrl(QUrl(d->configsUrl, QUrl::TolerantMode));
    QNetworkReply *reply = d->manager->get(request);
    auto *guard = new ReplyGuard(reply);

    connect(guard, &ReplyGuard::cut, this, [this, reply](const QString &reason) {
        d->cutReplies.insert(reply);
        d->replyBuffers.remove(reply);
        setError(QLatin1String(ErrorPrefix) + reason);
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply, guard] {
        if (!guard->admits(d->replyBuffers.value(reply).size() + reply->bytesAvailable()))
            return;
        QByteArray &buffer = d->replyBuffers[reply];
        buffer += reply->readAll();
        qDebug().nospace() << "reply: " << buffer.size();
    });
    connect(reply, &QNetworkReply::finished, this, [reply] { reply->deleteLater(); });
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    const auto errorSignal = &QNetworkReply::errorOccurred;
#else
    const auto errorSignal = QOverload<QNetworkReply::NetworkError>::of(&QNetworkReply::error);
#endif
    connect(reply, errorSignal, this, [this, reply](QNetworkReply::NetworkError) {
        if (d->cutReplies.contains(reply))
            return;
        setError(QLatin1String(ErrorPrefix) + reply->errorString());
        qDebug().nospace().noquote() << "config error: " << reply->errorString();
    });
    connect(reply, &QObject::destroyed, this, [this, reply] { parseConfigs(reply); });
}

void Client::setError(const QString &error)
{
    if (d->error == error)
        return;
    d->error = error;
    emit errorChanged();
}

void Client::parseConfigs(QNetworkReply *reply)
{
    qDebug().nospace() << "buffer size: " << d->replyBuffers.size();
    qDebug().nospace() << "reply byte: " << d->replyBuffers[reply].size();
    const QByteArray body = d->replyBuffers.take(reply);
    if (d->cutReplies.remove(reply))
        return;

    const ConfigDocument document = parseConfigDocument(body);
    if (document.client)
        d->configClient = *document.client;
    if (document.download)
        d->configDownload = *document.download;
    if (document.latency)
        d->configLatency = *document.latency;
    if (document.socketLatency)
        d->socketLatency = *document.socketLatency;
    if (!document.error.isEmpty()) {
        setError(document.error);
        return;
    }
    if (document.configs == d->configs)
        return;
    d->configs = document.configs;
    emit configsChanged();
}

ConfigDocument Client::parseConfigDocument(const QByteArray &body)
{
    ConfigDocument document;
    if (body.isEmpty()) {
        document.error = QStringLiteral("Empty config file");
        return document;
    }
    QDomDocument dom;
    QString message;
    if (!dom.setContent(body, false, &message)) {
        document.error = QLatin1String(ErrorPrefix) + message;
        return document;
    }
    int elements = 0;
    const QDomElement root = dom.documentElement();
    for (QDomNode node = root.firstChild(); !node.isNull(); node = node.nextSibling()) {
        if (!node.isElement())
            continue;
        ++elements;
        const QDomElement element = node.toElement();
        const QString tag = element.tagName();
        const QDomNamedNodeMap attributes = element.attributes();
        if (tag == QLatin1String("client"))
            document.client = ConfigClient(attributes);
        else if (tag == QLatin1String("download"))
            document.download = ConfigDownload(attributes);
        else if (tag == QLatin1String("latency"))
            document.latency = ConfigLatency(attributes);
        else if (tag == QLatin1String("socket-latency"))
            document.socketLatency = ConfigLatency(attributes);

        QVariantMap values;
        for (int i = 0; i < attributes.count(); ++i) {
            const QDomNode attribute = attributes.item(i);
            values.insert(attribute.nodeName(), attribute.nodeValue());
        }
        if (values.isEmpty())
            document.configs.insert(tag, element.text());
        else
            document.configs.insert(tag, values);
    }
    // Without this a waiting caller would never hear of such a document.
    if (elements == 0)
        document.error = QLatin1String(ErrorPrefix) + QStringLiteral("No settings in the document");
    return document;
}
