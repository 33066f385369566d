#include "ServerItem.h"

ServerItem::ServerItem() : m_latitude(0.0), m_longitude(0.0), m_distance(0.0) { }

ServerItem::~ServerItem() = default;

bool ServerItem::operator==(const ServerItem &other) const
{
    return m_host == other.m_host && m_url == other.m_url;
}

bool ServerItem::operator!=(const ServerItem &other) const
{
    return !(*this == other);
}

double ServerItem::latitude() const
{
    return m_latitude;
}
double ServerItem::longitude() const
{
    return m_longitude;
}
double ServerItem::distance() const
{
    return m_distance;
}
QString ServerItem::country() const
{
    return m_country;
}
QString ServerItem::name() const
{
    return m_name;
}
QString ServerItem::host() const
{
    return m_host;
}
QString ServerItem::sponsor() const
{
    return m_sponsor;
}
QString ServerItem::url() const
{
    return m_url;
}
QString ServerItem::latencyUrl() const
{
    return m_latencyUrl;
}

void ServerItem::setLatitude(double latitude)
{
    m_latitude = latitude;
}
void ServerItem::setLongitude(double longitude)
{
    m_longitude = longitude;
}
void ServerItem::setDistance(double distance)
{
    m_distance = distance;
}
void ServerItem::setCountry(const QString &country)
{
    m_country = country;
}
void ServerItem::setName(const QString &name)
{
    m_name = name;
}
void ServerItem::setHost(const QString &host)
{
    m_host = host;
}
void ServerItem::setSponsor(const QString &sponsor)
{
    m_sponsor = sponsor;
}
void ServerItem::setUrl(const QString &url)
{
    m_url = url;
}
void ServerItem::setLatencyUrl(const QString &latencyUrl)
{
    m_latencyUrl = latencyUrl;
}
