#ifndef PACEDWRITER_H
#define PACEDWRITER_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QTcpSocket;

// How a PacedWriter hands bytes to its socket.
struct Pacing
{
    int delayMs = 0;
    qint64 bytesPerSecond = 0;  // 0: as fast as the socket drains
    int pieces = 1;             // fixed bodies only
    int pieceIntervalMs = 30;
    qint64 closeAfterBytes = -1; // over the writer's whole life, -1: never
};

// Writes one answer at a time to a socket: a head at once (after the delay),
// then a body, paced. Filler bodies are generated as the socket drains, so a
// body of gigabytes costs no memory. Test support.
class PacedWriter : public QObject
{
    Q_OBJECT

public:
    explicit PacedWriter(QTcpSocket *socket, QObject *parent = nullptr);

    // Sends head and then body.
    void send(const QByteArray &head, const QByteArray &body, const Pacing &pacing);
    // Sends head and then length filler bytes; a negative length never ends.
    void sendFiller(const QByteArray &head, qint64 length, const Pacing &pacing);

    bool isBusy() const;
    // Body bytes handed to the socket over the writer's life.
    qint64 bodyBytesWritten() const;

signals:
    // The whole body has been handed to the socket.
    void done();
    // closeAfterBytes was reached and the connection is being closed.
    void cutOff();
    // n body bytes were just handed to the socket.
    void bodyBytesSent(qint64 n);

private:
    void begin(const QByteArray &head, const Pacing &pacing);
    void pump();
    void wait(int ms);
    qint64 writeBody(qint64 n);

    QTcpSocket *m_socket;
    QTimer m_timer;
    QElapsedTimer m_rateClock;
    Pacing m_pacing;
    QByteArray m_head;
    QByteArray m_body;
    bool m_filler;
    bool m_busy;
    bool m_headPending;
    qint64 m_length;    // body length, -1 endless
    qint64 m_position;  // body bytes of this answer sent
    qint64 m_pieceEnd;
    qint64 m_rateSent;
    qint64 m_total;     // body bytes over the writer's life
};

#endif // PACEDWRITER_H
