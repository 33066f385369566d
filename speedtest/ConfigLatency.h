#ifndef CONFIGLATENCY_H
#define CONFIGLATENCY_H

#include <QtGlobal>

class QDomNamedNodeMap;

// Latency-probe settings: the "latency" (and "socket-latency") element of
// the configuration document. Every field is read as a size text.
class ConfigLatency
{
public:
    ConfigLatency();
    explicit ConfigLatency(const QDomNamedNodeMap &attributes);
    ConfigLatency(const ConfigLatency &other) = default;
    ConfigLatency &operator=(const ConfigLatency &other) = default;
    virtual ~ConfigLatency();

    qint32 testlength() const;
    qint32 waittime() const;
    qint32 timeout() const; // seconds allowed for one probe

private:
    qint32 m_testlength;
    qint32 m_waittime;
    qint32 m_timeout;
};

#endif // CONFIGLATENCY_H
