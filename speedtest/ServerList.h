#ifndef SERVERLIST_H
#define SERVERLIST_H

#include <QList>
#include <QObject>
#include <QString>

#include "ServerItem.h"

class Client;
class ServerListPrivate;

// The service's list of test servers, fetched as an XML document, each with
// its great-circle distance from the client.
class ServerList : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString serversUrl READ serversUrl WRITE setServersUrl NOTIFY serversUrlChanged)
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)
    Q_PROPERTY(int count READ count NOTIFY changed)

public:
    ServerList(Client *client, QObject *parent = nullptr);
    ~ServerList() override;

    QString serversUrl() const;
    void setServersUrl(const QString &serversUrl);
    QString error() const;
    int count() const;

    ServerItem at(int index) const;
    void setServers(const QList<ServerItem> &servers);
    bool isFetched() const;
    Client *client() const;

    // Kilometres between two points given in degrees, on a sphere of the
    // equatorial radius.
    static double haversineDistance(double lat1, double lon1, double lat2, double lon2);
    // Reads one server list document; fetch() uses it on every body. On a
    // document that is not XML, error receives the text to report and the
    // list is empty; otherwise error is cleared.
    static QList<ServerItem> parseServers(const QByteArray &body, double clientLat,
                                          double clientLon, QString *error = nullptr);

signals:
    void changed();
    void downloadProgress(qlonglong bytesReceived, qlonglong bytesTotal);
    void serversUrlChanged();
    void errorChanged();

public slots:
    void fetch();

private:
    void setError(const QString &error);
    void parse();

    ServerListPrivate *d;
};

#endif // SERVERLIST_H
