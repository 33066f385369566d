#ifndef LOCALSERVICE_H
#define LOCALSERVICE_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTcpServer>

// How a route, or the download command, is answered.
enum class Behaviour {
    Normal,     // the whole answer at once
    Slow,       // the body in ten pieces, 100 ms apart
    Silent,     // read the request, never answer, keep the connection
    CloseEarly, // announce the whole body, send half of it, close
    Garbage,    // a few bytes that are no HTTP answer, then close
    Endless,    // no length, filler bytes until the client closes
};

struct Route
{
    int status = 200;
    QByteArray body;
    QByteArray location;    // sent as Location (redirects)
    qint64 fillerBytes = -1; // >= 0: a generated body of this size instead of body
    Behaviour behaviour = Behaviour::Normal;
};

// One port on 127.0.0.1 that answers HTTP (or HTTPS with the committed test
// certificate) from a table of routes, 404 elsewhere, and the test servers'
// "DOWNLOAD n\n" command with n filler bytes. A stand-in for the web host, a
// test server, a file host or an endpoint, as the test needs it. Every HTTP
// answer closes its connection.
class LocalService : public QTcpServer
{
    Q_OBJECT

public:
    explicit LocalService(bool tls = false, QObject *parent = nullptr);

    void route(const QString &path, const Route &route) { m_routes.insert(path, route); }
    void route(const QString &path, const QByteArray &body, Behaviour behaviour = Behaviour::Normal);
    // Normal: n bytes per command, then close; CloseEarly: 256 KiB, then close.
    Behaviour download = Behaviour::Normal;

    QString url(const QString &path = QString()) const;
    QString host() const; // "127.0.0.1:<port>"

    QStringList requests;            // paths, in order of arrival
    QHash<QString, QByteArray> lastHeaders; // lower-case name -> value, of the last request
    QList<QByteArray> commands;      // download command lines received

    // A loopback port that nothing listens on.
    static quint16 closedPort();

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void serve(QTcpSocket *socket, QByteArray *pending);
    void answer(QTcpSocket *socket, const QString &path);
    void stream(QTcpSocket *socket, qint64 bytes, Behaviour behaviour);

    bool m_tls;
    QHash<QString, Route> m_routes;
};

// A speed-test configuration document: the client at lat/lon with the isp,
// testlength and threadsperurl of the download, timeout of the latency.
QByteArray configDocument(double lat = 52.52, double lon = 13.405, const QString &isp = QStringLiteral("Acme Net"),
                          const QString &testlength = QStringLiteral("10"),
                          const QString &threads = QStringLiteral("4"), const QString &timeout = QStringLiteral("20"));

struct TestServer
{
    LocalService *service;
    double lat;
    double lon;
    QString name;
    QString host = QString(); // the download host, when not the service's own
};
// A server list document naming each test server with its own url and host.
QByteArray serverListDocument(const QList<TestServer> &servers);

#endif // LOCALSERVICE_H
