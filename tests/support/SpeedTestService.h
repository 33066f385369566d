#ifndef SPEEDTESTSERVICE_H
#define SPEEDTESTSERVICE_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QString>

#include "ServiceTypes.h"

class QTcpServer;
class ServiceConnection;

// A local stand-in for the public speed-test network, for tests only.
//
// The web host serves the configuration document at ConfigPath and the
// server list document at ServersPath (and any other document a test puts
// on it). Each test server listens on a port of its own that answers HTTP
// (".../latency.txt" with "test=test\n", ".../upload.php" with "size=N")
// and the raw download protocol ("DOWNLOAD n\n", then n bytes; several
// commands per connection) alike, told apart by the first bytes a client
// sends. Everything listens on 127.0.0.1 with ports chosen by the system
// and runs in the thread that owns the object, driven by its event loop.
// Every HTTP answer closes its connection ("Connection: close").
//
// Unless a test sets them, both documents are generated: a realistic
// configuration (client at 52.52/13.405, isp "Acme Net", download
// testlength 10 and threadsperurl 4, latency timeout 20, ...) and a server
// list naming every added test server with its 127.0.0.1 url and host.
//
//     SpeedTestService svc;
//     QVERIFY(svc.start());
//     const int near = svc.addTestServer(52.5, 13.4);
//     HttpBehaviour slow;
//     slow.delayMs = 200;
//     svc.setDocumentFault(SpeedTestService::ConfigPath, slow);
//     client.setConfigsUrl(svc.configUrl());
//     list.setServersUrl(svc.serversUrl());
//     ...
//     QCOMPARE(svc.requestCount(SpeedTestService::ConfigPath), 1);
//     QCOMPARE(svc.lastRequestHeaders(SpeedTestService::ConfigPath).value("user-agent"), ...);
//
// Behaviours are read when a request (or a download command) arrives, so a
// change applies to what comes next, not to an answer already under way.
class SpeedTestService : public QObject
{
    Q_OBJECT

public:
    // The "server" index of the web host in the observation calls.
    static const int WebHost = -1;
    static const char ConfigPath[];  // "/speedtest-config.php"
    static const char ServersPath[]; // "/speedtest-servers-static.php"
    // Path of every test server's url; latency.txt sits beside it.
    static const char UploadPath[];  // "/speedtest/upload.php"
    static const char LatencyPath[]; // "/speedtest/latency.txt"

    explicit SpeedTestService(QObject *parent = nullptr);
    ~SpeedTestService() override;

    // --- Web host ---------------------------------------------------------

    // Starts listening for the web host. False when that fails.
    bool start();
    bool isListening() const;
    quint16 webPort() const;
    // "http://127.0.0.1:<port>"; append a path for any document.
    QString baseUrl() const;
    QString configUrl() const;  // baseUrl() + ConfigPath
    QString serversUrl() const; // baseUrl() + ServersPath

    // Serves body at path (no query) with the given content type; replaces
    // a generated document too.
    void setDocument(const QString &path, const QByteArray &body,
                     const QByteArray &contentType = QByteArrayLiteral("text/xml; charset=utf-8"));
    // Removes a document set with setDocument: the two known paths go back
    // to their generated documents, any other path answers 404.
    void resetDocument(const QString &path);
    void setConfigDocument(const QByteArray &body);  // setDocument(ConfigPath, body)
    void setServersDocument(const QByteArray &body); // setDocument(ServersPath, body)
    // The bodies served now (set or generated).
    QByteArray configDocument() const;
    QByteArray serversDocument() const;

    // Edits the generated configuration document: sets attribute of the
    // first child element named element (added at the end when missing).
    void setConfigAttribute(const QString &element, const QString &attribute, const QString &value);
    // Client position in the generated configuration ("lat" and "lon" of
    // "client").
    void setClientPosition(double lat, double lon);

    // How the document at path is answered from now on (default: healthy).
    void setDocumentFault(const QString &path, const HttpBehaviour &behaviour);
    void clearDocumentFault(const QString &path);

    // --- Test servers -------------------------------------------------------

    // Adds a test server listening on a port of its own and returns its
    // index (0, 1, ...; the order of the generated server list), or -1 when
    // it cannot listen.
    int addTestServer(const ServerEntry &entry = ServerEntry(),
                      const ServerBehaviour &behaviour = ServerBehaviour());
    int addTestServer(double lat, double lon, const ServerBehaviour &behaviour = ServerBehaviour());
    int testServerCount() const;

    void setServerBehaviour(int server, const ServerBehaviour &behaviour);
    ServerBehaviour serverBehaviour(int server) const;
    ServerEntry serverEntry(int server) const; // with the defaults filled in

    quint16 serverPort(int server) const;
    QString serverHost(int server) const;       // "127.0.0.1:<port>"
    QString serverUrl(int server) const;        // "http://127.0.0.1:<port>/speedtest/upload.php"
    QString serverLatencyUrl(int server) const; // same with latency.txt

    // Closes the server's port and drops its open connections; it keeps its
    // index, its entry in the generated list and its records, and its port
    // is then a closed loopback port.
    void stopTestServer(int server);

    // A loopback port that nothing listens on at the time of the call.
    static quint16 closedPort();

    // --- Observation ------------------------------------------------------

    // Every HTTP request received, in order of arrival.
    QList<RecordedRequest> requests() const;
    // Requests for path (no query) on the web host or a test server.
    int requestCount(const QString &path, int server = WebHost) const;
    // The last such request, or a record with an empty method.
    RecordedRequest lastRequest(const QString &path, int server = WebHost) const;
    // Its headers by lower-case name (the last of repeated names).
    QHash<QByteArray, QByteArray> lastRequestHeaders(const QString &path, int server = WebHost) const;
    // Each download command line a test server received, "\n" included.
    QList<QByteArray> downloadCommandsReceived(int server) const;
    // Download data bytes the server handed to its sockets.
    qint64 downloadBytesSent(int server) const;
    // Connections accepted so far, and those still open.
    int connectionCount(int server = WebHost) const;
    int openConnectionCount(int server = WebHost) const;
    // Forgets the requests, commands and counters above.
    void clearRecords();

signals:
    void requestReceived(int server, const QString &path);
    void downloadCommandReceived(int server, const QByteArray &line);
    void connectionOpened(int server);
    void connectionClosed(int server);

private:
    friend class ServiceConnection;

    struct Answer
    {
        HttpBehaviour behaviour;
        QByteArray body;
        QByteArray contentType;
    };
    struct Port
    {
        QTcpServer *listener = nullptr;
        quint16 port = 0;
        ServerEntry entry;
        ServerBehaviour behaviour;
        QList<QByteArray> commands;
        qint64 downloadBytes = 0;
        int connections = 0;
        int open = 0;
    };
    struct ConfigElement
    {
        QString name;
        QList<QPair<QString, QString>> attributes;
    };

    QTcpServer *listen(int server);
    Port *port(int server);
    const Port *port(int server) const;
    QByteArray generatedConfig() const;
    QByteArray generatedServers() const;

    // Called by the connections.
    Answer answerFor(const RecordedRequest &request) const;
    DownloadBehaviour downloadBehaviour(int server) const;
    void recordRequest(const RecordedRequest &request);
    void recordCommand(int server, const QByteArray &line);
    void recordDownloadBytes(int server, qint64 n);

    Port m_web;
    QList<Port> m_servers;
    QMap<QString, QPair<QByteArray, QByteArray>> m_documents; // path -> body, type
    QMap<QString, HttpBehaviour> m_faults;
    QList<ConfigElement> m_config;
    QList<RecordedRequest> m_requests;
};

#endif // SPEEDTESTSERVICE_H
