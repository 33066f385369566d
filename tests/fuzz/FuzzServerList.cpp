// Server list document: the parse is repeatable, the client's position
// changes nothing but the distances, every entry has a latency address
// beside its url, and distances between real coordinates are real.
#include <QByteArray>
#include <QList>
#include <QString>

#include <cmath>

#include "FuzzTargets.h"
#include "ServerItem.h"
#include "ServerList.h"

namespace {

const double HalfCircumference = 3.141592653589793 * 6378.137;
const char LatencyFile[] = "latency.txt";

bool sameNumber(double a, double b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

// Everything but the distance, which depends on the client's position.
bool sameEntry(const ServerItem &a, const ServerItem &b)
{
    return sameNumber(a.latitude(), b.latitude()) && sameNumber(a.longitude(), b.longitude())
        && a.country() == b.country() && a.name() == b.name() && a.host() == b.host()
        && a.sponsor() == b.sponsor() && a.url() == b.url() && a.latencyUrl() == b.latencyUrl();
}

bool onEarth(double lat, double lon)
{
    return lat >= -90 && lat <= 90 && lon >= -180 && lon <= 180;
}

void checkDistance(double lat1, double lon1, double lat2, double lon2, double distance)
{
    if (!onEarth(lat1, lon1) || !onEarth(lat2, lon2))
        return;
    FUZZ_CHECK(distance >= 0 && distance <= HalfCircumference * (1 + 1e-12));
}

} // namespace

int fuzzServerList(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), int(size));
    QString error;
    const QList<ServerItem> servers = ServerList::parseServers(body, 0, 0, &error);

    if (!error.isEmpty()) {
        FUZZ_CHECK(error.startsWith(QLatin1String("Servers file error: ")));
        FUZZ_CHECK(servers.isEmpty());
    }

    // Again, from the first server's own position.
    double clientLat = 0;
    double clientLon = 0;
    if (!servers.isEmpty()) {
        clientLat = servers.first().latitude();
        clientLon = servers.first().longitude();
    }
    QString againError = QStringLiteral("not cleared");
    const QList<ServerItem> again = ServerList::parseServers(body, clientLat, clientLon, &againError);
    FUZZ_CHECK(againError == error);
    FUZZ_CHECK(again.size() == servers.size());
    if (!again.isEmpty() && onEarth(clientLat, clientLon))
        FUZZ_CHECK(again.first().distance() == 0);

    for (int i = 0; i < servers.size(); ++i) {
        const ServerItem &item = servers.at(i);
        FUZZ_CHECK(sameEntry(item, again.at(i)));
        FUZZ_CHECK(item.latencyUrl().endsWith(QLatin1String(LatencyFile)));
        const QString base = item.latencyUrl().chopped(int(sizeof LatencyFile) - 1);
        FUZZ_CHECK(base.endsWith(QLatin1Char('/')));
        FUZZ_CHECK(item.url().startsWith(base));
        FUZZ_CHECK(item.url().indexOf(QLatin1Char('/'), base.size()) < 0);

        const double lat = item.latitude();
        const double lon = item.longitude();
        checkDistance(lat, lon, 0, 0, item.distance());
        checkDistance(lat, lon, clientLat, clientLon, again.at(i).distance());
        // The farthest a client can be: the server's antipode, half the
        // circumference away (give or take the rounding near a = 1).
        const double antipodeLon = lon > 0 ? lon - 180 : lon + 180;
        const double farthest = ServerList::haversineDistance(lat, lon, -lat, antipodeLon);
        checkDistance(lat, lon, -lat, antipodeLon, farthest);
        if (onEarth(lat, lon))
            FUZZ_CHECK(std::fabs(farthest - HalfCircumference) < 1e-3);
    }
    return 0;
}
