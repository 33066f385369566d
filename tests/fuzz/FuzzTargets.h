#ifndef FUZZTARGETS_H
#define FUZZTARGETS_H

#include "Client.h"
#include "ServerCache.h"
#include "ServerList.h"

// The input parsers on arbitrary bytes, with what must hold of every result.
// A broken rule aborts, so that libFuzzer reports a crash. Each returns 0,
// as libFuzzer wants.
inline void check(bool holds)
{
    if (!holds)
        qFatal("broken invariant");
}
inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

// Read with some setting, or refused with a text.
inline int fuzzConfigDocument(const uint8_t *data, size_t size)
{
    const ConfigDocument doc = Client::parseConfigDocument(bytes(data, size));
    check(doc.error.isEmpty() != doc.configs.isEmpty());
    return 0;
}

// A latency file beside every test server; none farther than half the earth.
inline int fuzzServerList(const uint8_t *data, size_t size)
{
    for (const ServerItem &s : ServerList::parseServers(bytes(data, size), 0, 0))
        check(s.latencyUrl().endsWith("/latency.txt") && !(s.distance() > 20037.51));
    return 0;
}

// What is read survives writing and reading again.
inline int fuzzServerCache(const uint8_t *data, size_t size)
{
    const QByteArray once = ServerCache::toJson(ServerCache::fromJson(bytes(data, size)));
    check(ServerCache::toJson(ServerCache::fromJson(once)) == once);
    return 0;
}

#endif // FUZZTARGETS_H
