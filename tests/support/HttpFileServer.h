#ifndef HTTPFILESERVER_H
#define HTTPFILESERVER_H

#include <QHash>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QVector>

#include "HttpRoute.h"

// A minimal HTTP/1.1 file server on 127.0.0.1 (plain or TLS) for tests:
// one request per connection, answered from a table of routes; unknown
// paths get 404.
class HttpFileServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit HttpFileServer(QObject *parent = nullptr);
    ~HttpFileServer() override;

    bool listenHttp();
    bool listenHttps(const QSslCertificate &certificate, const QSslKey &key);

    void setRoute(const QString &path, const HttpRoute &route);
    HttpRoute route(const QString &path) const;

    // "http://127.0.0.1:<port>" or "https://..." followed by path.
    QString url(const QString &path) const;

    QVector<HttpRequestRecord> requests() const;
    QStringList requestedPaths() const;

    // Bytes offset .. offset + size of every generated body.
    static QByteArray generatedBody(qint64 offset, qint64 size);

    // A loopback port on which nothing listens (refuses connections).
    static quint16 closedLoopbackPort();

signals:
    void requestReceived(const QString &path);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    friend class HttpFileConnection;
    void record(const HttpRequestRecord &request);

    QHash<QString, HttpRoute> m_routes;
    QVector<HttpRequestRecord> m_requests;
    bool m_tls;
    QSslCertificate m_certificate;
    QSslKey m_key;
};

#endif // HTTPFILESERVER_H
