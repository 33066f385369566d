#pragma once

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QTcpServer>

// How a route, or the download command, is answered.
enum class Behaviour {
    Normal, // the whole answer at once
    Slow, // the body in ten pieces (filler: of 256 KiB), 100 ms apart
    Silent, // read the request, never answer, keep the connection
    CloseEarly, // announce the whole body, send half of it in two pieces 20 ms apart, close
    Endless, // no length, filler bytes until the client closes
};

struct Route
{
    int status = 200;
    // (Every field has a default, so that a route names only those it sets.)
    QByteArray body{};
    QByteArray location{}; // sent as Location (redirects)
    qint64 fillerBytes = -1; // >= 0: a generated body of this size instead of body
    Behaviour behaviour = Behaviour::Normal;
};
Q_DECLARE_METATYPE(Route)

// One port on 127.0.0.1 that answers HTTP (or HTTPS, TLS 1.2 and later, with
// the committed test certificate) from a table of routes, 404 elsewhere, and
// the test servers' "DOWNLOAD n\n" command with n filler bytes. A stand-in
// for the web host, a test server, a file host, an endpoint or a proxy (the
// request target is recorded as it came: an absolute URL, or the host:port
// of a CONNECT), as the test needs it. Every HTTP answer closes its
// connection.
class LocalService : public QTcpServer
{
public:
    LocalService(bool tls = false) : m_tls(tls) { listen(QHostAddress::LocalHost); }

    void route(const QString &path, const Route &route) { m_routes.insert(path, route); }
    void route(const QString &path, const QByteArray &body, Behaviour behaviour = {})
    {
        route(path, Route{ 200, body, {}, -1, behaviour });
    }
    // Normal: n bytes per command, then close; CloseEarly: 256 KiB in two
    // pieces 20 ms apart, then close; Endless: until the client closes.
    Behaviour download = Behaviour::Normal;

    QString url(const QString &path = {}) const
    {
        return (m_tls ? "https://" : "http://") + host() + path;
    }
    QString host() const { return "127.0.0.1:" + QString::number(serverPort()); }

    QStringList requests; // request targets, in order of arrival

    // When the service wrote the bodies of a path (downloads under
    // "DOWNLOAD"): the span from the first to the last write on the clock of
    // now().
    struct Sent
    {
        qint64 first = -1, last = -1;
    };
    QHash<QString, Sent> sent;
    static qint64 now() { return QDeadlineTimer::current().deadline(); } // monotonic milliseconds

    // "127.0.0.1:<port>" of a loopback port that nothing listens on.
    static QString refusedHost() { return LocalService().host(); } // listened on only for now

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    bool m_tls;
    QHash<QString, Route> m_routes;
};

// The paths of the speed-test host and of a test server's latency file.
extern const QString ConfigPath, ListPath, LatencyPath;

inline QString esc(const QString &text)
{
    return QRegularExpression::escape(text);
}

// Waits of the tests, stretched where every run is several times slower.
inline int scaled(int ms)
{
    return ms * OSP_WAIT_SCALE;
}

// A speed-test configuration document: the client Acme Net at 1 N 1 W, a
// download of 1 s over 2 connections, latency probes bound at 1 s.
QByteArray configDocument();

struct TestServer
{
    LocalService *service;
    double lat, lon;
    QString name;
};
// A server list document naming each test server with its own url and host.
QByteArray serverListDocument(const QList<TestServer> &servers);

// The marker line of a cancelled run in the report.
extern const QByteArray CancelMarker;
