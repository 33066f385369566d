#ifndef CONFIGDOWNLOAD_H
#define CONFIGDOWNLOAD_H

#include <QtGlobal>

class QDomNamedNodeMap;

// How the download test is run: the "download" element of the configuration
// document. Every field is read as a size text (readSizeAttribute).
class ConfigDownload
{
public:
    ConfigDownload();
    explicit ConfigDownload(const QDomNamedNodeMap &attributes);
    ConfigDownload(const ConfigDownload &other) = default;
    ConfigDownload &operator=(const ConfigDownload &other) = default;
    virtual ~ConfigDownload();

    qint32 testlength() const; // seconds
    qint64 initialtest() const;
    qint64 mintestsize() const;
    qint32 threadsperurl() const; // parallel connections to one server

private:
    qint32 m_testlength;
    qint64 m_initialtest;
    qint64 m_mintestsize;
    qint32 m_threadsperurl;
};

#endif // CONFIGDOWNLOAD_H
