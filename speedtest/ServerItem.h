#ifndef SERVERITEM_H
#define SERVERITEM_H

#include <QString>

// One test server of the public speed-test network. Two items are equal when
// their host and url are.
class ServerItem
{
public:
    ServerItem();
    ServerItem(const ServerItem &other) = default;
    ServerItem &operator=(const ServerItem &other) = default;
    virtual ~ServerItem();

    bool operator==(const ServerItem &other) const;
    bool operator!=(const ServerItem &other) const;

    double latitude() const;
    double longitude() const;
    double distance() const; // kilometres from the client
    QString country() const;
    QString name() const;
    QString host() const; // host name, colon, port
    QString sponsor() const;
    QString url() const;
    QString latencyUrl() const;

    void setLatitude(double latitude);
    void setLongitude(double longitude);
    void setDistance(double distance);
    void setCountry(const QString &country);
    void setName(const QString &name);
    void setHost(const QString &host);
    void setSponsor(const QString &sponsor);
    void setUrl(const QString &url);
    void setLatencyUrl(const QString &latencyUrl);

private:
    double m_latitude;
    double m_longitude;
    double m_distance;
    QString m_country;
    QString m_name;
    QString m_host;
    QString m_sponsor;
    QString m_url;
    QString m_latencyUrl;
};

#endif // SERVERITEM_H
