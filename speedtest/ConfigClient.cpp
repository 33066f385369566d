#include "ConfigClient.h"

#include <QDomNamedNodeMap>
#include <QDomNode>

namespace {

QString textOf(const QDomNamedNodeMap &attributes, const QString &name)
{
    return attributes.namedItem(name).nodeValue();
}

// Locale-independent; a text that is not a number gives 0.
double numberOf(const QDomNamedNodeMap &attributes, const QString &name)
{
    return textOf(attributes, name).toDouble();
}

} // namespace

ConfigClient::ConfigClient()
    : m_lat(0.0), m_lon(0.0), m_rating(0.0), m_isprating(0.0), m_ispdlavg(0.0), m_ispulavg(0.0)
{
}

ConfigClient::ConfigClient(const QDomNamedNodeMap &attributes)
    : m_ip(textOf(attributes, QStringLiteral("ip"))),
      m_lat(numberOf(attributes, QStringLiteral("lat"))),
      m_lon(numberOf(attributes, QStringLiteral("lon"))),
      m_rating(numberOf(attributes, QStringLiteral("rating"))),
      m_isp(textOf(attributes, QStringLiteral("isp"))),
      m_isprating(numberOf(attributes, QStringLiteral("isprating"))),
      m_ispdlavg(numberOf(attributes, QStringLiteral("ispdlavg"))),
      m_ispulavg(numberOf(attributes, QStringLiteral("ispulavg")))
{
}

ConfigClient::~ConfigClient() = default;

QString ConfigClient::ip() const
{
    return m_ip;
}
double ConfigClient::lat() const
{
    return m_lat;
}
double ConfigClient::lon() const
{
    return m_lon;
}
double ConfigClient::rating() const
{
    return m_rating;
}
QString ConfigClient::isp() const
{
    return m_isp;
}
double ConfigClient::isprating() const
{
    return m_isprating;
}
double ConfigClient::ispdlavg() const
{
    return m_ispdlavg;
}
double ConfigClient::ispulavg() const
{
    return m_ispulavg;
}
