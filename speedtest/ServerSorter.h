#ifndef SERVERSORTER_H
#define SERVERSORTER_H

#include <QList>
#include <QObject>
#include <QString>

#include "ServerSorterItem.h"

class QDateTime;
class QNetworkReply;
class ServerList;
class ServerSorterPrivate;

// Chooses the test server: keeps the limit nearest servers of the list,
// probes their latency files one after another and publishes them ordered
// by latency.
class ServerSorter : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int limit READ limit WRITE setLimit NOTIFY limitChanged)
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)

public:
    ServerSorter(ServerList *serverList, QObject *parent = nullptr);
    ~ServerSorter() override;

    int limit() const;
    void setLimit(int limit);
    QString error() const;

    int count() const;
    ServerSorterItem at(int index) const;

signals:
    void limitChanged();
    void changed();
    void errorChanged();
    void latencyProgress(int current, int total);

public slots:
    // timeout in milliseconds per probe
    void sortByLatency(int timeout);
    void sortByLatency();
    void sortByDistance();

private:
    QList<ServerSorterItem> nearestServers() const;
    void probeNext(QList<ServerSorterItem> remaining, int total, int timeout);
    void probeFinished(QNetworkReply *reply, const QDateTime &start, const ServerSorterItem &item,
                       const QList<ServerSorterItem> &remaining, int total, int timeout);

    ServerSorterPrivate *d;
};

#endif // SERVERSORTER_H
