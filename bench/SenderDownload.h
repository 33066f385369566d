#ifndef SENDERDOWNLOAD_H
#define SENDERDOWNLOAD_H

#include <QEventLoop>

#include "Downloader.h"
#include "ServerItem.h"

// One run of downloader against the local sender on port. The sender's close
// ends every connection; the timer is only a bound.
inline void downloadFromSender(Downloader &downloader, quint16 port, int connections)
{
    ServerItem server;
    server.setHost(QStringLiteral("127.0.0.1:%1").arg(port));
    QEventLoop loop;
    QObject::connect(&downloader, &Downloader::finished, &loop, &QEventLoop::quit,
                     Qt::QueuedConnection);
    downloader.start(server, 30 * 60 * 1000, connections);
    loop.exec();
}

#endif // SENDERDOWNLOAD_H
