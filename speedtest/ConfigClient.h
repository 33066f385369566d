#ifndef CONFIGCLIENT_H
#define CONFIGCLIENT_H

#include <QString>

class QDomNamedNodeMap;

// What the service knows about the client machine: the "client" element of
// the configuration document.
class ConfigClient
{
public:
    ConfigClient();
    explicit ConfigClient(const QDomNamedNodeMap &attributes);
    ConfigClient(const ConfigClient &other) = default;
    ConfigClient &operator=(const ConfigClient &other) = default;
    virtual ~ConfigClient();

    QString ip() const;
    double lat() const;
    double lon() const;
    double rating() const;
    QString isp() const;
    double isprating() const;
    double ispdlavg() const;
    double ispulavg() const;

private:
    QString m_ip;
    double m_lat;
    double m_lon;
    double m_rating;
    QString m_isp;
    double m_isprating;
    double m_ispdlavg;
    double m_ispulavg;
};

#endif // CONFIGCLIENT_H
