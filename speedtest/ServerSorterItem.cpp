#include "ServerSorterItem.h"

ServerSorterItem::ServerSorterItem() : m_latency(NotMeasured) { }

ServerSorterItem::ServerSorterItem(const ServerItem &item)
    : ServerItem(item), m_latency(NotMeasured)
{
}

ServerSorterItem::~ServerSorterItem() = default;

int ServerSorterItem::latency() const
{
    return m_latency;
}

void ServerSorterItem::setLatency(int latency)
{
    m_latency = latency;
}
