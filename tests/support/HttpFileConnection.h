#ifndef HTTPFILECONNECTION_H
#define HTTPFILECONNECTION_H

#include <QByteArray>
#include <QObject>

#include "HttpRoute.h"

class HttpFileServer;
class QTcpSocket;
class QTimer;

// One connection of HttpFileServer: reads one request, answers it from the
// server's routes and closes (or, for a silent or stalled route, stays open
// until the client goes). Owns its socket; deletes itself when the client
// disconnects.
class HttpFileConnection : public QObject
{
    Q_OBJECT

public:
    HttpFileConnection(QTcpSocket *socket, HttpFileServer *server);
    ~HttpFileConnection() override;

private:
    void readRequest();
    void answer();
    void pump();
    void sendChunk();
    QByteArray body(qint64 offset, qint64 size) const;
    qint64 pendingBytes() const;

    QTcpSocket *m_socket;
    HttpFileServer *m_server;
    QTimer *m_chunkTimer;
    QByteArray m_buffer;
    HttpRoute m_route;
    bool m_requestRead;
    bool m_sending;
    qint64 m_total;
    qint64 m_limit;
    qint64 m_sent;
};

#endif // HTTPFILECONNECTION_H
