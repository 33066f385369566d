#ifndef DOWNLOADER_H
#define DOWNLOADER_H

#include <QObject>
#include <QString>

#include "ServerItem.h"

class Client;
class DownloaderPrivate;
class QTcpSocket;

// Download throughput of one test server: parallel TCP connections, each
// asking for a large amount of data, every byte counted and dropped, each
// connection ended by its own timer. "threads" means connections; everything
// runs on the owner's event loop.
class Downloader : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int delayTime READ delayTime NOTIFY delayTimeChanged)
    Q_PROPERTY(int downloadTime READ downloadTime NOTIFY downloadTimeChanged)
    Q_PROPERTY(int downloadBytes READ downloadBytes NOTIFY downloadBytesChanged)
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)
    Q_PROPERTY(Status status READ status NOTIFY statusChanged)

public:
    enum Status { Idle = 0, Connecting = 1, Requesting = 2, Downloading = 3, Finished = 4 };
    Q_ENUM(Status)

    explicit Downloader(Client *client, QObject *parent = nullptr);
    ~Downloader() override;

    // Milliseconds from start to the first established connection; -1 while
    // none is established.
    int delayTime() const;
    // Milliseconds from the first established connection to the last arrival
    // of data; -1 while both are the same instant.
    int downloadTime() const;
    // The low 32 bits of the byte count, for readers of the int property.
    int downloadBytes() const;
    // The full byte count of the run; compute rates from this one.
    qint64 downloadBytes64() const;
    QString error() const;
    Status status() const;
    // Connections of the current run still alive.
    int connectionCount() const;

signals:
    void finished();
    void delayTimeChanged();
    void downloadTimeChanged();
    void downloadBytesChanged();
    void errorChanged();
    void statusChanged();

public slots:
    void start(const ServerItem &server, int timeout, int threads);
    void start(const ServerItem &server, int timeout);
    void start(const ServerItem &server);

private:
    void onConnected(QTcpSocket *socket);
    void onReadyRead(QTcpSocket *socket);
    void onSocketError(QTcpSocket *socket);
    void onSocketDestroyed(QTcpSocket *socket);
    void setError(const QString &error);
    void raiseStatus(Status status);

    DownloaderPrivate *d;
};

#endif // DOWNLOADER_H
