#ifndef BLOCKINGSENDER_H
#define BLOCKINGSENDER_H

#include <QtGlobal>

// The benchmark's own download server on 127.0.0.1: a child process of its
// own (so that the receiver's CPU and memory figures are the receiver's
// alone) with one blocking send loop per connection. It reads the request
// line of a connection and ignores the count in it: each connection of a
// round gets the byte count given to prepare(), then the sender closes it.
// In the HTTP mode the request is read up to its blank line and the bytes
// are the body of a "200 OK" answer with their Content-Length.
// Create it before any thread or Qt application object exists.
class BlockingSender
{
public:
    enum class Protocol { Download, Http };

    explicit BlockingSender(int connections, Protocol protocol = Protocol::Download);
    ~BlockingSender();
    BlockingSender(const BlockingSender &) = delete;
    BlockingSender &operator=(const BlockingSender &) = delete;

    bool isValid() const;
    quint16 port() const;

    // The next round: the next `connections` accepted connections each get
    // bytesPerConnection bytes.
    bool prepare(qint64 bytesPerConnection);

private:
    static void serve(int listener, int control, int connections, Protocol protocol);

    int m_connections;
    int m_control;
    quint16 m_port;
    qint64 m_child;
};

#endif // BLOCKINGSENDER_H
