// Server list cache: loading is repeatable, and what is loaded survives
// being written and loaded again, field by field.
#include <QByteArray>
#include <QList>

#include <cmath>

#include "FuzzTargets.h"
#include "ServerCache.h"
#include "ServerItem.h"

namespace {

bool sameNumber(double a, double b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

bool sameServer(const ServerItem &a, const ServerItem &b)
{
    return sameNumber(a.latitude(), b.latitude()) && sameNumber(a.longitude(), b.longitude())
        && sameNumber(a.distance(), b.distance()) && a.country() == b.country()
        && a.name() == b.name() && a.host() == b.host() && a.sponsor() == b.sponsor()
        && a.url() == b.url() && a.latencyUrl() == b.latencyUrl();
}

bool sameServers(const QList<ServerItem> &a, const QList<ServerItem> &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (!sameServer(a.at(i), b.at(i)))
            return false;
    }
    return true;
}

} // namespace

int fuzzServerCache(const uint8_t *data, size_t size)
{
    const QByteArray json(reinterpret_cast<const char *>(data), int(size));
    const QList<ServerItem> servers = ServerCache::fromJson(json);
    FUZZ_CHECK(sameServers(ServerCache::fromJson(json), servers));

    const QByteArray written = ServerCache::toJson(servers);
    const QList<ServerItem> reloaded = ServerCache::fromJson(written);
    FUZZ_CHECK(sameServers(reloaded, servers));
    // Writing is a function of the list alone.
    FUZZ_CHECK(ServerCache::toJson(reloaded) == written);
    return 0;
}
