#include "HttpFileConnection.h"

#include <QList>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include "HttpFileServer.h"

namespace {

const qint64 ChunkBytes = 64 * 1024;
// Keep the socket's own buffer short so that large bodies are made as the
// client reads them.
const qint64 HighWaterBytes = 256 * 1024;
const int MaxHeaderBytes = 64 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 404:
        return "Not Found";
    default:
        return "Status";
    }
}

} // namespace

HttpFileConnection::HttpFileConnection(QTcpSocket *socket, HttpFileServer *server)
    : QObject(server),
      m_socket(socket),
      m_server(server),
      m_chunkTimer(new QTimer(this)),
      m_requestRead(false),
      m_sending(false),
      m_total(0),
      m_limit(0),
      m_sent(0)
{
    m_socket->setParent(this);
    connect(m_socket, &QTcpSocket::readyRead, this, &HttpFileConnection::readRequest);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &HttpFileConnection::pump);
    if (auto *tls = qobject_cast<QSslSocket *>(m_socket))
        connect(tls, &QSslSocket::encryptedBytesWritten, this, &HttpFileConnection::pump);
    connect(m_socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    connect(m_chunkTimer, &QTimer::timeout, this, &HttpFileConnection::sendChunk);
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        deleteLater();
}

HttpFileConnection::~HttpFileConnection() = default;

void HttpFileConnection::readRequest()
{
    if (m_requestRead) {
        m_socket->readAll();
        return;
    }
    m_buffer += m_socket->readAll();
    const int end = m_buffer.indexOf("\r\n\r\n");
    if (end < 0) {
        if (m_buffer.size() > MaxHeaderBytes)
            m_socket->abort();
        return;
    }
    m_requestRead = true;

    const QList<QByteArray> lines = m_buffer.left(end).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    HttpRequestRecord request;
    request.method = requestLine.value(0);
    const QByteArray target = requestLine.value(1);
    const int query = target.indexOf('?');
    request.path = QString::fromLatin1(query < 0 ? target : target.left(query));
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon > 0)
            request.headers.insert(lines.at(i).left(colon).trimmed().toLower(), lines.at(i).mid(colon + 1).trimmed());
    }
    m_route = m_server->route(request.path);
    m_server->record(request);

    if (m_route.silent)
        return;
    if (m_route.delayMsecs > 0)
        QTimer::singleShot(m_route.delayMsecs, this, &HttpFileConnection::answer);
    else
        answer();
}

void HttpFileConnection::answer()
{
    m_total = m_route.generatedSize >= 0 ? m_route.generatedSize : m_route.body.size();
    m_limit = m_route.stallAfter >= 0 ? qMin(m_route.stallAfter, m_total) : m_total;

    QByteArray head = "HTTP/1.1 " + QByteArray::number(m_route.status) + ' ' + reasonPhrase(m_route.status)
                      + "\r\nContent-Type: application/octet-stream\r\nContent-Length: "
                      + QByteArray::number(m_total) + "\r\nConnection: close\r\n";
    if (!m_route.location.isEmpty())
        head += "Location: " + m_route.location + "\r\n";
    head += "\r\n";
    m_socket->write(head);
    m_sending = true;

    if (m_route.chunkBytes > 0 && m_route.chunkIntervalMsecs > 0)
        m_chunkTimer->start(m_route.chunkIntervalMsecs);
    else
        pump();
}

void HttpFileConnection::pump()
{
    if (!m_sending || m_chunkTimer->isActive())
        return;
    while (m_sent < m_limit && pendingBytes() < HighWaterBytes) {
        const qint64 n = qMin(ChunkBytes, m_limit - m_sent);
        m_socket->write(body(m_sent, n));
        m_sent += n;
    }
    if (m_sent == m_total && m_route.stallAfter < 0) {
        m_sending = false;
        m_socket->disconnectFromHost();
    }
}

void HttpFileConnection::sendChunk()
{
    const qint64 n = qMin<qint64>(m_route.chunkBytes, m_limit - m_sent);
    if (n > 0) {
        m_socket->write(body(m_sent, n));
        m_sent += n;
    }
    if (m_sent >= m_limit) {
        m_chunkTimer->stop();
        if (m_sent == m_total && m_route.stallAfter < 0) {
            m_sending = false;
            m_socket->disconnectFromHost();
        }
    }
}

QByteArray HttpFileConnection::body(qint64 offset, qint64 size) const
{
    if (m_route.generatedSize >= 0)
        return HttpFileServer::generatedBody(offset, size);
    return m_route.body.mid(int(offset), int(size));
}

qint64 HttpFileConnection::pendingBytes() const
{
    qint64 pending = m_socket->bytesToWrite();
    if (auto *tls = qobject_cast<QSslSocket *>(m_socket))
        pending += tls->encryptedBytesToWrite();
    return pending;
}
