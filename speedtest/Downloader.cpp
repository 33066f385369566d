#include "Downloader.h"

#include <QDateTime>
#include <QSet>
#include <QTcpSocket>
#include <QTimer>

#include <limits>

namespace {

// The same request on every connection: more than any test can receive, so
// the timers, not the server, end a normal run.
const char DownloadCommand[] = "DOWNLOAD 1000000000\n";
const int DefaultTimeout = 10000;
// What a connection takes from the system per notification, dropped at
// once: large reads keep the CPU cost per byte low, and the bound keeps
// memory the same however fast the data comes.
const int ReadBufferSize = 4 * 1024 * 1024;

// Only differences between these stamps are ever used.
QDateTime now()
{
    return QDateTime::currentDateTimeUtc();
}

int clampToInt(qint64 value)
{
    return int(qBound<qint64>(std::numeric_limits<int>::min(), value,
                              std::numeric_limits<int>::max()));
}

} // namespace

class DownloaderPrivate
{
public:
    explicit DownloaderPrivate(Client *client)
        : client(client), bytes(0), status(Downloader::Idle), connected(false)
    {
    }

    QSet<QTcpSocket *> sockets;
    Client *client; // not consulted by the measurement
    QDateTime startTime;
    QDateTime connectTime;
    QDateTime lastReadTime;
    qint64 bytes;
    QString error;
    Downloader::Status status;
    // Set by the run's first established connection. Loopback and fast
    // links connect within the millisecond of start, so the stamps alone
    // cannot tell whether that has happened.
    bool connected;
    // The sockets are unbuffered and all read into this one buffer, made
    // at the first arrival and kept until the downloader goes. A socket's
    // own buffer would allocate and free up to ReadBufferSize bytes per read
    // instead; with glibc's allocator such short-lived large blocks raise
    // its threshold for mapping blocks of their own, and the heaps keep the
    // memory.
    QByteArray readBuffer;
};

Downloader::Downloader(Client *client, QObject *parent)
    : QObject(parent), d(new DownloaderPrivate(client))
{
}

Downloader::~Downloader()
{
    // The sockets are deleted after this body, when nothing is connected to
    // this object any more; their handlers never see the record gone.
    delete d;
}

int Downloader::delayTime() const
{
    if (d->connectTime == d->startTime)
        return -1;
    return clampToInt(d->startTime.msecsTo(d->connectTime));
}

int Downloader::downloadTime() const
{
    if (d->connectTime == d->lastReadTime)
        return -1;
    return clampToInt(d->connectTime.msecsTo(d->lastReadTime));
}

int Downloader::downloadBytes() const
{
    return int(quint32(quint64(d->bytes)));
}

qint64 Downloader::downloadBytes64() const
{
    return d->bytes;
}

QString Downloader::error() const
{
    return d->error;
}

Downloader::Status Downloader::status() const
{
    return d->status;
}

int Downloader::connectionCount() const
{
    return d->sockets.size();
}

void Downloader::start(const ServerItem &server, int timeout, int threads)
{
    // A previous run's connections end; their destruction no longer counts.
    const QSet<QTcpSocket *> previous = d->sockets;
    d->sockets.clear();
    for (QTcpSocket *socket : previous) {
        // Nothing that still reaches them before their deletion (data, a
        // connection made, an error, their destruction) is the new run's.
        disconnect(socket, nullptr, this, nullptr);
        socket->deleteLater();
    }

    const QString host = server.host();
    const int colon = host.indexOf(QLatin1Char(':'));
    if (colon < 0) {
        setError(QStringLiteral("Invalid server"));
        return;
    }
    const QString hostName = host.left(colon);
    const quint16 port = quint16(host.mid(colon + 1).toInt());

    d->bytes = 0;
    d->startTime = now();
    d->connectTime = d->startTime;
    d->lastReadTime = d->startTime;
    d->connected = false;

    // A negative interval would never fire and leave the connection alive
    // for good.
    const int lifetime = qMax(0, timeout);
    for (int i = 0; i < threads; ++i) {
        auto *socket = new QTcpSocket(this);
        auto *timer = new QTimer(socket);
        timer->setInterval(lifetime);
        timer->setSingleShot(true);
        raiseStatus(Connecting);

        connect(socket, &QTcpSocket::connected, this, [this, socket] { onConnected(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QObject::destroyed, this, [this, socket] { onSocketDestroyed(socket); });
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
        connect(socket, &QAbstractSocket::errorOccurred, this,
                [this, socket] { onSocketError(socket); });
#else
        connect(socket, QOverload<QAbstractSocket::SocketError>::of(&QAbstractSocket::error), this,
                [this, socket] { onSocketError(socket); });
#endif
        connect(timer, &QTimer::timeout, socket, &QObject::deleteLater);

        d->sockets.insert(socket);
        // Started first, so that the timer bounds name lookup and connection
        // set-up as well as the transfer.
        timer->start();
        socket->connectToHost(hostName, port, QIODevice::ReadWrite | QIODevice::Unbuffered,
                              QAbstractSocket::AnyIPProtocol);
    }

    emit delayTimeChanged();
    emit downloadTimeChanged();
    emit downloadBytesChanged();
}

void Downloader::start(const ServerItem &server, int timeout)
{
    start(server, timeout, 1);
}

void Downloader::start(const ServerItem &server)
{
    start(server, DefaultTimeout, 1);
}

void Downloader::onConnected(QTcpSocket *socket)
{
    if (!d->connected) {
        d->connected = true;
        d->connectTime = now();
        // The download time counts from here: with no data yet it changes too.
        emit downloadTimeChanged();
    }
    socket->write(DownloadCommand, sizeof(DownloadCommand) - 1);
    raiseStatus(Requesting);
    emit delayTimeChanged();
}

void Downloader::onReadyRead(QTcpSocket *socket)
{
    if (d->readBuffer.isEmpty())
        d->readBuffer.resize(ReadBufferSize);
    const qint64 count = socket->read(d->readBuffer.data(), ReadBufferSize);
    // The end of the stream comes as a notification of its own, which is no
    // arrival of data.
    if (count > 0) {
        d->bytes += count;
        d->lastReadTime = now();
        raiseStatus(Downloading);
        emit downloadTimeChanged();
        emit downloadBytesChanged();
    }
    if (count < 0) {
        // An unbuffered socket that finds its connection ended, by the server
        // or by an error, emits neither errorOccurred nor disconnected: the
        // ending is handled here as those would have handled it.
        onSocketError(socket);
        socket->deleteLater();
    }
}

void Downloader::onSocketError(QTcpSocket *socket)
{
    setError(socket->errorString());
}

void Downloader::onSocketDestroyed(QTcpSocket *socket)
{
    // A previous run's socket is no longer in the set; its end tells nothing
    // about the current run unless that one has no connection at all.
    d->sockets.remove(socket);
    if (!d->sockets.isEmpty())
        return;
    raiseStatus(Finished);
    // Receivers run inside the socket's destruction: this must stay the last
    // thing done here.
    emit finished();
}

void Downloader::setError(const QString &error)
{
    if (d->error == error)
        return;
    d->error = error;
    emit errorChanged();
}

void Downloader::raiseStatus(Status status)
{
    if (d->status >= status)
        return;
    d->status = status;
    emit statusChanged();
}
