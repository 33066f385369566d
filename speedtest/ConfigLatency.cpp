#include "ConfigLatency.h"

#include <QDomNamedNodeMap>

#include "ReadSizeAttribute.h"
#include "SizeField.h"

ConfigLatency::ConfigLatency() : m_testlength(0), m_waittime(0), m_timeout(0) { }

ConfigLatency::ConfigLatency(const QDomNamedNodeMap &attributes)
    : m_testlength(lowBits32(readSizeAttribute(attributes, QStringLiteral("testlength")))),
      m_waittime(lowBits32(readSizeAttribute(attributes, QStringLiteral("waittime")))),
      m_timeout(lowBits32(readSizeAttribute(attributes, QStringLiteral("timeout"))))
{
}

ConfigLatency::~ConfigLatency() = default;

qint32 ConfigLatency::testlength() const
{
    return m_testlength;
}
qint32 ConfigLatency::waittime() const
{
    return m_waittime;
}
qint32 ConfigLatency::timeout() const
{
    return m_timeout;
}
