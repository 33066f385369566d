#include "ConfigDownload.h"

#include <QDomNamedNodeMap>

#include "ReadSizeAttribute.h"
#include "SizeField.h"

ConfigDownload::ConfigDownload()
    : m_testlength(0), m_initialtest(0), m_mintestsize(0), m_threadsperurl(0)
{
}

ConfigDownload::ConfigDownload(const QDomNamedNodeMap &attributes)
    : m_testlength(lowBits32(readSizeAttribute(attributes, QStringLiteral("testlength")))),
      m_initialtest(readSizeAttribute(attributes, QStringLiteral("initialtest"))),
      m_mintestsize(readSizeAttribute(attributes, QStringLiteral("mintestsize"))),
      m_threadsperurl(lowBits32(readSizeAttribute(attributes, QStringLiteral("threadsperurl"))))
{
}

ConfigDownload::~ConfigDownload() = default;

qint32 ConfigDownload::testlength() const
{
    return m_testlength;
}
qint64 ConfigDownload::initialtest() const
{
    return m_initialtest;
}
qint64 ConfigDownload::mintestsize() const
{
    return m_mintestsize;
}
qint32 ConfigDownload::threadsperurl() const
{
    return m_threadsperurl;
}
