#include "ServiceConnection.h"

#include <QTcpSocket>
#include <QUrl>

#include "PacedWriter.h"
#include "SpeedTestService.h"

namespace {

const QByteArray DownloadPrefix = QByteArrayLiteral("DOWNLOAD ");
// Larger requests are refused: no test needs them and memory stays bounded.
const int MaxRequestBytes = 1024 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

Pacing pacingOf(const HttpBehaviour &b)
{
    Pacing p;
    p.delayMs = b.delayMs;
    p.bytesPerSecond = b.bytesPerSecond;
    p.pieces = b.pieces;
    p.pieceIntervalMs = b.pieceIntervalMs;
    p.closeAfterBytes = b.closeAfterBytes;
    return p;
}

Pacing pacingOf(const DownloadBehaviour &b)
{
    Pacing p;
    p.delayMs = b.delayMs;
    p.bytesPerSecond = b.bytesPerSecond;
    p.closeAfterBytes = b.closeAfterBytes;
    return p;
}

} // namespace

ServiceConnection::ServiceConnection(QTcpSocket *socket, int server, SpeedTestService *service,
                                     QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_server(server)
    , m_service(service)
    , m_writer(nullptr)
    , m_mode(Mode::Undecided)
    , m_closed(false)
{
    m_socket->setParent(this);
    m_writer = new PacedWriter(m_socket, this);
    connect(m_socket, &QTcpSocket::readyRead, this, &ServiceConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        if (m_closed)
            return;
        m_closed = true;
        emit closed();
        deleteLater();
    });
    connect(m_writer, &PacedWriter::bodyBytesSent, this, [this](qint64 n) {
        if (m_mode == Mode::Download)
            m_service->recordDownloadBytes(m_server, n);
    });
    connect(m_writer, &PacedWriter::done, this, [this] {
        if (m_mode == Mode::Download)
            runDownloads();
        else
            m_socket->disconnectFromHost();
    });
    // Bytes that arrived before the connection was set up are read at once.
    if (m_socket->bytesAvailable() > 0)
        onReadyRead();
}

ServiceConnection::~ServiceConnection()
{
    if (!m_closed) {
        m_closed = true;
        emit closed();
    }
}

void ServiceConnection::onReadyRead()
{
    const QByteArray bytes = m_socket->readAll();
    if (m_mode == Mode::Answered)
        return;
    if (m_mode == Mode::Silent) {
        if (m_input.size() < MaxRequestBytes)
            m_input += bytes;
        return;
    }
    m_input += bytes;
    if (m_mode == Mode::Undecided) {
        if (m_input.size() < DownloadPrefix.size() && DownloadPrefix.startsWith(m_input))
            return; // could still become a download command
        m_mode = m_input.startsWith(DownloadPrefix) ? Mode::Download : Mode::Http;
    }
    if (m_mode == Mode::Download)
        readDownload();
    else
        readHttp();
}

void ServiceConnection::readHttp()
{
    const int headEnd = m_input.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        if (m_input.size() > MaxRequestBytes)
            fail(400);
        return;
    }
    RecordedRequest request;
    request.server = m_server;
    const QList<QByteArray> lines = m_input.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/")) {
        fail(400);
        return;
    }
    request.method = requestLine.at(0);
    request.target = requestLine.at(1);
    const int query = request.target.indexOf('?');
    request.path = QUrl::fromPercentEncoding(query < 0 ? request.target : request.target.left(query));
    qint64 contentLength = 0;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        request.headers.append(qMakePair(name, value));
        if (qstricmp(name.constData(), "content-length") == 0)
            contentLength = value.toLongLong();
    }
    if (contentLength < 0 || contentLength > MaxRequestBytes) {
        fail(400);
        return;
    }
    const int bodyStart = headEnd + 4;
    if (m_input.size() - bodyStart < contentLength)
        return; // wait for the rest of the body
    request.body = m_input.mid(bodyStart, int(contentLength));
    m_input.clear();
    m_service->recordRequest(request);
    answerHttp(request);
}

void ServiceConnection::answerHttp(const RecordedRequest &request)
{
    const SpeedTestService::Answer answer = m_service->answerFor(request);
    const HttpBehaviour &b = answer.behaviour;
    if (b.silent) {
        m_mode = Mode::Silent;
        return;
    }
    m_mode = Mode::Answered;
    int status = b.status;
    QByteArray body = b.body ? *b.body : answer.body;
    QByteArray head;
    if (!b.redirectTo.isEmpty()) {
        if (status < 300 || status > 399)
            status = 302;
        if (!b.body)
            body.clear();
        head += "Location: " + b.redirectTo + "\r\n";
    }
    head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n" + head;
    head += "Content-Type: " + answer.contentType + "\r\n";
    if (!b.endless)
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    head += "Connection: close\r\n\r\n";
    if (request.method == "HEAD")
        m_writer->send(head, QByteArray(), pacingOf(b));
    else if (b.endless)
        m_writer->sendFiller(head, -1, pacingOf(b));
    else
        m_writer->send(head, body, pacingOf(b));
}

void ServiceConnection::readDownload()
{
    int end;
    while ((end = m_input.indexOf('\n')) >= 0) {
        const QByteArray line = m_input.left(end + 1);
        m_input.remove(0, end + 1);
        m_service->recordCommand(m_server, line);
        m_commands.append(line);
    }
    if (m_input.size() > MaxRequestBytes)
        m_input.clear(); // no line ever gets that long: drop the noise
    runDownloads();
}

void ServiceConnection::runDownloads()
{
    while (!m_writer->isBusy() && !m_commands.isEmpty()
           && m_socket->state() == QAbstractSocket::ConnectedState) {
        const QByteArray line = m_commands.takeFirst();
        const DownloadBehaviour b = m_service->downloadBehaviour(m_server);
        if (b.silent)
            continue;
        bool ok = false;
        const qint64 count = line.startsWith(DownloadPrefix)
            ? line.mid(DownloadPrefix.size()).trimmed().toLongLong(&ok) : 0;
        if (b.ignoreCount)
            m_writer->sendFiller(QByteArray(), -1, pacingOf(b));
        else if (ok && count >= 0)
            m_writer->sendFiller(QByteArray(), count, pacingOf(b));
        // Anything else is not a command of ours: left unanswered.
    }
}

void ServiceConnection::fail(int status)
{
    m_mode = Mode::Answered;
    m_input.clear();
    m_writer->send("HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status)
                       + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
                   QByteArray(), Pacing());
}
