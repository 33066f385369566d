#ifndef SERVERSORTERITEM_H
#define SERVERSORTERITEM_H

#include "ServerItem.h"

// A server with its measured latency in milliseconds: NotMeasured until a
// probe ran, Failed when the probe failed or timed out. Equality ignores
// the latency.
class ServerSorterItem : public ServerItem
{
public:
    static const int NotMeasured = -1;
    static const int Failed = 2147483647;

    ServerSorterItem();
    ServerSorterItem(const ServerItem &item); // implicit: a server is a candidate
    ServerSorterItem(const ServerSorterItem &other) = default;
    ServerSorterItem &operator=(const ServerSorterItem &other) = default;
    ~ServerSorterItem() override;

    int latency() const;
    void setLatency(int latency);

private:
    int m_latency;
};

#endif // SERVERSORTERITEM_H
