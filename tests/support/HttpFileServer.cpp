#include "HttpFileServer.h"

#include <QSslSocket>

#include "HttpFileConnection.h"

HttpFileServer::HttpFileServer(QObject *parent)
    : QTcpServer(parent),
      m_tls(false)
{
}

HttpFileServer::~HttpFileServer() = default;

bool HttpFileServer::listenHttp()
{
    m_tls = false;
    return listen(QHostAddress::LocalHost, 0);
}

bool HttpFileServer::listenHttps(const QSslCertificate &certificate, const QSslKey &key)
{
    m_tls = true;
    m_certificate = certificate;
    m_key = key;
    return !certificate.isNull() && !key.isNull() && listen(QHostAddress::LocalHost, 0);
}

void HttpFileServer::setRoute(const QString &path, const HttpRoute &route)
{
    m_routes.insert(path, route);
}

HttpRoute HttpFileServer::route(const QString &path) const
{
    const auto it = m_routes.constFind(path);
    if (it != m_routes.constEnd())
        return it.value();
    HttpRoute missing;
    missing.status = 404;
    missing.body = "not found";
    return missing;
}

QString HttpFileServer::url(const QString &path) const
{
    return QStringLiteral("%1://127.0.0.1:%2%3")
        .arg(m_tls ? QStringLiteral("https") : QStringLiteral("http"), QString::number(serverPort()), path);
}

QVector<HttpRequestRecord> HttpFileServer::requests() const
{
    return m_requests;
}

QStringList HttpFileServer::requestedPaths() const
{
    QStringList paths;
    for (const HttpRequestRecord &request : m_requests)
        paths.append(request.path);
    return paths;
}

QByteArray HttpFileServer::generatedBody(qint64 offset, qint64 size)
{
    // A period of 251 (a prime) so that shifted or repeated blocks show.
    static const QByteArray pattern = [] {
        QByteArray bytes(64 * 1024 + 251, Qt::Uninitialized);
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i % 251);
        return bytes;
    }();
    QByteArray body;
    body.reserve(int(size));
    while (size > 0) {
        const int start = int(offset % 251);
        const int n = int(qMin<qint64>(size, 64 * 1024));
        body.append(pattern.constData() + start, n);
        offset += n;
        size -= n;
    }
    return body;
}

quint16 HttpFileServer::closedLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

void HttpFileServer::incomingConnection(qintptr socketDescriptor)
{
    QTcpSocket *socket = nullptr;
    if (m_tls) {
        auto *tls = new QSslSocket;
        if (tls->setSocketDescriptor(socketDescriptor)) {
            tls->setLocalCertificate(m_certificate);
            tls->setPrivateKey(m_key);
            tls->startServerEncryption();
        }
        socket = tls;
    } else {
        socket = new QTcpSocket;
        socket->setSocketDescriptor(socketDescriptor);
    }
    new HttpFileConnection(socket, this);
}

void HttpFileServer::record(const HttpRequestRecord &request)
{
    m_requests.append(request);
    emit requestReceived(request.path);
}
