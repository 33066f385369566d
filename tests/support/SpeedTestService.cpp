#include "SpeedTestService.h"

#include <QHostAddress>
#include <QLocale>
#include <QTcpServer>
#include <QTcpSocket>
#include <QXmlStreamWriter>

#include "ServiceConnection.h"

const char SpeedTestService::ConfigPath[] = "/speedtest-config.php";
const char SpeedTestService::ServersPath[] = "/speedtest-servers-static.php";
const char SpeedTestService::UploadPath[] = "/speedtest/upload.php";
const char SpeedTestService::LatencyPath[] = "/speedtest/latency.txt";

namespace {

QString numberText(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

QByteArray notFoundPage()
{
    return QByteArrayLiteral("<html><head><title>404 Not Found</title></head>"
                             "<body><h1>Not Found</h1></body></html>\n");
}

} // namespace

SpeedTestService::SpeedTestService(QObject *parent)
    : QObject(parent)
{
    typedef QPair<QString, QString> A;
    m_config = {
        { "client", { A("ip", "198.51.100.23"), A("lat", "52.52"), A("lon", "13.405"),
                      A("isp", "Acme Net"), A("isprating", "3.7"), A("rating", "0"),
                      A("ispdlavg", "0"), A("ispulavg", "0"), A("loggedin", "0"),
                      A("country", "DE") } },
        { "server-config", { A("threadcount", "4"), A("ignoreids", ""), A("notonmap", ""),
                             A("forcepingid", ""), A("preferredserverid", "") } },
        { "download", { A("testlength", "10"), A("initialtest", "250K"),
                        A("mintestsize", "250K"), A("threadsperurl", "4") } },
        { "upload", { A("testlength", "10"), A("ratio", "5"), A("initialtest", "0"),
                      A("mintestsize", "32K"), A("threads", "2"), A("maxchunksize", "512K"),
                      A("maxchunkcount", "50"), A("threadsperurl", "4") } },
        { "latency", { A("testlength", "10"), A("waittime", "50"), A("timeout", "20") } },
        { "socket-download", { A("testlength", "15"), A("initialthreads", "4"),
                               A("minthreads", "4"), A("maxthreads", "32"),
                               A("threadratio", "750K"), A("maxsamplesize", "5000000"),
                               A("minsamplesize", "32000"), A("startsamplesize", "1000000"),
                               A("startbuffersize", "1"), A("bufferlength", "5000"),
                               A("packetlength", "1000"), A("readbuffer", "65536") } },
        { "socket-latency", { A("testlength", "10"), A("waittime", "50"), A("timeout", "20") } },
    };
}

SpeedTestService::~SpeedTestService()
{
    // Connections report their end while the records still exist.
    delete m_web.listener;
    m_web.listener = nullptr;
    for (int i = 0; i < m_servers.size(); ++i) {
        delete m_servers[i].listener;
        m_servers[i].listener = nullptr;
    }
}

// --- Web host ------------------------------------------------------------

bool SpeedTestService::start()
{
    if (!m_web.listener)
        m_web.listener = listen(WebHost);
    return m_web.listener != nullptr;
}

bool SpeedTestService::isListening() const
{
    return m_web.listener && m_web.listener->isListening();
}

quint16 SpeedTestService::webPort() const
{
    return m_web.port;
}

QString SpeedTestService::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_web.port);
}

QString SpeedTestService::configUrl() const
{
    return baseUrl() + QLatin1String(ConfigPath);
}

QString SpeedTestService::serversUrl() const
{
    return baseUrl() + QLatin1String(ServersPath);
}

void SpeedTestService::setDocument(const QString &path, const QByteArray &body,
                                   const QByteArray &contentType)
{
    m_documents.insert(path, qMakePair(body, contentType));
}

void SpeedTestService::resetDocument(const QString &path)
{
    m_documents.remove(path);
}

void SpeedTestService::setConfigDocument(const QByteArray &body)
{
    setDocument(QLatin1String(ConfigPath), body);
}

void SpeedTestService::setServersDocument(const QByteArray &body)
{
    setDocument(QLatin1String(ServersPath), body);
}

QByteArray SpeedTestService::configDocument() const
{
    const auto it = m_documents.constFind(QLatin1String(ConfigPath));
    return it != m_documents.constEnd() ? it->first : generatedConfig();
}

QByteArray SpeedTestService::serversDocument() const
{
    const auto it = m_documents.constFind(QLatin1String(ServersPath));
    return it != m_documents.constEnd() ? it->first : generatedServers();
}

void SpeedTestService::setConfigAttribute(const QString &element, const QString &attribute,
                                          const QString &value)
{
    for (ConfigElement &e : m_config) {
        if (e.name != element)
            continue;
        for (auto &a : e.attributes) {
            if (a.first == attribute) {
                a.second = value;
                return;
            }
        }
        e.attributes.append(qMakePair(attribute, value));
        return;
    }
    m_config.append({ element, { qMakePair(attribute, value) } });
}

void SpeedTestService::setClientPosition(double lat, double lon)
{
    setConfigAttribute(QStringLiteral("client"), QStringLiteral("lat"), numberText(lat));
    setConfigAttribute(QStringLiteral("client"), QStringLiteral("lon"), numberText(lon));
}

void SpeedTestService::setDocumentFault(const QString &path, const HttpBehaviour &behaviour)
{
    m_faults.insert(path, behaviour);
}

void SpeedTestService::clearDocumentFault(const QString &path)
{
    m_faults.remove(path);
}

// --- Test servers ----------------------------------------------------------

int SpeedTestService::addTestServer(const ServerEntry &entry, const ServerBehaviour &behaviour)
{
    const int index = m_servers.size();
    Port p;
    p.entry = entry;
    if (p.entry.name.isEmpty())
        p.entry.name = QStringLiteral("Test Server %1").arg(index);
    if (p.entry.country.isEmpty())
        p.entry.country = QStringLiteral("Testland");
    if (p.entry.cc.isEmpty())
        p.entry.cc = QStringLiteral("TL");
    if (p.entry.sponsor.isEmpty())
        p.entry.sponsor = QStringLiteral("Sponsor %1").arg(index);
    if (p.entry.id == 0)
        p.entry.id = 1000 + index;
    p.behaviour = behaviour;
    m_servers.append(p);
    if (!listen(index)) {
        m_servers.removeLast();
        return -1;
    }
    return index;
}

int SpeedTestService::addTestServer(double lat, double lon, const ServerBehaviour &behaviour)
{
    ServerEntry entry;
    entry.lat = lat;
    entry.lon = lon;
    return addTestServer(entry, behaviour);
}

int SpeedTestService::testServerCount() const
{
    return m_servers.size();
}

void SpeedTestService::setServerBehaviour(int server, const ServerBehaviour &behaviour)
{
    if (Port *p = port(server))
        p->behaviour = behaviour;
}

ServerBehaviour SpeedTestService::serverBehaviour(int server) const
{
    const Port *p = port(server);
    return p ? p->behaviour : ServerBehaviour();
}

ServerEntry SpeedTestService::serverEntry(int server) const
{
    const Port *p = port(server);
    return p ? p->entry : ServerEntry();
}

quint16 SpeedTestService::serverPort(int server) const
{
    const Port *p = port(server);
    return p ? p->port : 0;
}

QString SpeedTestService::serverHost(int server) const
{
    return QStringLiteral("127.0.0.1:%1").arg(serverPort(server));
}

QString SpeedTestService::serverUrl(int server) const
{
    return QStringLiteral("http://") + serverHost(server) + QLatin1String(UploadPath);
}

QString SpeedTestService::serverLatencyUrl(int server) const
{
    return QStringLiteral("http://") + serverHost(server) + QLatin1String(LatencyPath);
}

void SpeedTestService::stopTestServer(int server)
{
    Port *p = port(server);
    if (!p || !p->listener)
        return;
    QTcpServer *listener = p->listener;
    p->listener = nullptr;
    delete listener; // its connections go with it
}

quint16 SpeedTestService::closedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 p = probe.serverPort();
    probe.close();
    return p;
}

// --- Observation -----------------------------------------------------------

QList<RecordedRequest> SpeedTestService::requests() const
{
    return m_requests;
}

int SpeedTestService::requestCount(const QString &path, int server) const
{
    int n = 0;
    for (const RecordedRequest &r : m_requests) {
        if (r.server == server && r.path == path)
            ++n;
    }
    return n;
}

RecordedRequest SpeedTestService::lastRequest(const QString &path, int server) const
{
    for (int i = m_requests.size() - 1; i >= 0; --i) {
        if (m_requests.at(i).server == server && m_requests.at(i).path == path)
            return m_requests.at(i);
    }
    return RecordedRequest();
}

QHash<QByteArray, QByteArray> SpeedTestService::lastRequestHeaders(const QString &path,
                                                                   int server) const
{
    QHash<QByteArray, QByteArray> headers;
    for (const auto &h : lastRequest(path, server).headers)
        headers.insert(h.first.toLower(), h.second);
    return headers;
}

QList<QByteArray> SpeedTestService::downloadCommandsReceived(int server) const
{
    const Port *p = port(server);
    return p ? p->commands : QList<QByteArray>();
}

qint64 SpeedTestService::downloadBytesSent(int server) const
{
    const Port *p = port(server);
    return p ? p->downloadBytes : 0;
}

int SpeedTestService::connectionCount(int server) const
{
    const Port *p = port(server);
    return p ? p->connections : 0;
}

int SpeedTestService::openConnectionCount(int server) const
{
    const Port *p = port(server);
    return p ? p->open : 0;
}

void SpeedTestService::clearRecords()
{
    m_requests.clear();
    m_web.connections = 0;
    for (Port &p : m_servers) {
        p.commands.clear();
        p.downloadBytes = 0;
        p.connections = 0;
    }
}

// --- Internals -----------------------------------------------------------

SpeedTestService::Port *SpeedTestService::port(int server)
{
    if (server == WebHost)
        return &m_web;
    return server >= 0 && server < m_servers.size() ? &m_servers[server] : nullptr;
}

const SpeedTestService::Port *SpeedTestService::port(int server) const
{
    if (server == WebHost)
        return &m_web;
    return server >= 0 && server < m_servers.size() ? &m_servers.at(server) : nullptr;
}

QTcpServer *SpeedTestService::listen(int server)
{
    auto *listener = new QTcpServer(this);
    if (!listener->listen(QHostAddress::LocalHost, 0)) {
        delete listener;
        return nullptr;
    }
    Port *p = port(server);
    p->listener = listener;
    p->port = listener->serverPort();
    connect(listener, &QTcpServer::newConnection, this, [this, listener, server] {
        while (QTcpSocket *socket = listener->nextPendingConnection()) {
            Port *accepting = port(server);
            ++accepting->connections;
            ++accepting->open;
            auto *connection = new ServiceConnection(socket, server, this, listener);
            connect(connection, &ServiceConnection::closed, this, [this, server] {
                if (Port *closing = port(server))
                    --closing->open;
                emit connectionClosed(server);
            });
            emit connectionOpened(server);
        }
    });
    return listener;
}

QByteArray SpeedTestService::generatedConfig() const
{
    QByteArray out;
    QXmlStreamWriter xml(&out);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("settings"));
    for (const ConfigElement &e : m_config) {
        xml.writeEmptyElement(e.name);
        for (const auto &a : e.attributes)
            xml.writeAttribute(a.first, a.second);
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    return out;
}

QByteArray SpeedTestService::generatedServers() const
{
    QByteArray out;
    QXmlStreamWriter xml(&out);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("settings"));
    xml.writeStartElement(QStringLiteral("servers"));
    for (int i = 0; i < m_servers.size(); ++i) {
        const ServerEntry &e = m_servers.at(i).entry;
        xml.writeEmptyElement(QStringLiteral("server"));
        xml.writeAttribute(QStringLiteral("url"), serverUrl(i));
        xml.writeAttribute(QStringLiteral("lat"), numberText(e.lat));
        xml.writeAttribute(QStringLiteral("lon"), numberText(e.lon));
        xml.writeAttribute(QStringLiteral("name"), e.name);
        xml.writeAttribute(QStringLiteral("country"), e.country);
        xml.writeAttribute(QStringLiteral("cc"), e.cc);
        xml.writeAttribute(QStringLiteral("sponsor"), e.sponsor);
        xml.writeAttribute(QStringLiteral("id"), QString::number(e.id));
        xml.writeAttribute(QStringLiteral("host"), serverHost(i));
    }
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    return out;
}

SpeedTestService::Answer SpeedTestService::answerFor(const RecordedRequest &request) const
{
    Answer answer;
    answer.contentType = QByteArrayLiteral("text/html; charset=utf-8");
    if (request.server == WebHost) {
        const bool faulted = m_faults.contains(request.path);
        answer.behaviour = m_faults.value(request.path);
        const auto doc = m_documents.constFind(request.path);
        if (doc != m_documents.constEnd()) {
            answer.body = doc->first;
            answer.contentType = doc->second;
        } else if (request.path == QLatin1String(ConfigPath)) {
            answer.body = generatedConfig();
            answer.contentType = QByteArrayLiteral("text/xml; charset=utf-8");
        } else if (request.path == QLatin1String(ServersPath)) {
            answer.body = generatedServers();
            answer.contentType = QByteArrayLiteral("text/xml; charset=utf-8");
        } else {
            answer.body = notFoundPage();
            if (!faulted)
                answer.behaviour.status = 404;
        }
        return answer;
    }
    const Port *p = port(request.server);
    if (!p)
        return answer;
    answer.behaviour = p->behaviour.http;
    if (request.path.endsWith(QLatin1String("/latency.txt"))) {
        answer.body = p->behaviour.latencyBody;
        answer.contentType = QByteArrayLiteral("text/plain");
    } else if (request.path.endsWith(QLatin1String("/upload.php"))) {
        answer.body = "size=" + QByteArray::number(request.body.size());
        answer.contentType = QByteArrayLiteral("text/plain");
    } else {
        answer.body = notFoundPage();
        if (answer.behaviour.status == 200)
            answer.behaviour.status = 404;
    }
    return answer;
}

DownloadBehaviour SpeedTestService::downloadBehaviour(int server) const
{
    const Port *p = port(server);
    return p ? p->behaviour.download : DownloadBehaviour();
}

void SpeedTestService::recordRequest(const RecordedRequest &request)
{
    m_requests.append(request);
    emit requestReceived(request.server, request.path);
}

void SpeedTestService::recordCommand(int server, const QByteArray &line)
{
    if (Port *p = port(server))
        p->commands.append(line);
    emit downloadCommandReceived(server, line);
}

void SpeedTestService::recordDownloadBytes(int server, qint64 n)
{
    if (Port *p = port(server))
        p->downloadBytes += n;
}
