#include "FuzzTargets.h"

#include <QDomDocument>
#include <QDomElement>
#include <QRegularExpression>
#include <QStringList>

#include <cmath>

#include "Client.h"
#include "DownloadList.h"
#include "ReadSizeAttribute.h"
#include "RecordText.h"
#include "ServerCache.h"
#include "ServerList.h"

#define FUZZ_CHECK(condition) \
  ((condition) ? void() : qFatal("%s:%d: broken invariant: %s", __FILE__, __LINE__, #condition))

namespace {

const double HalfCircumference = 3.141592653589793 * 6378.137;

QByteArray bytesOf(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

// A record is there exactly when configs holds its element, and reads as
// one made from the attributes held there.
template<typename Record>
bool agrees(const std::optional<Record> &record, const QVariantMap &configs, const char *tag)
{
    QDomDocument document;
    QDomElement element = document.createElement(QStringLiteral("e"));
    const QVariantMap attributes = configs.value(QLatin1String(tag)).toMap();
    for (auto it = attributes.begin(); it != attributes.end(); ++it)
        element.setAttribute(it.key(), it.value().toString());
    return bool(record) == configs.contains(QLatin1String(tag))
            && (!record || text(*record) == text(Record(element.attributes())));
}

bool onEarth(double lat, double lon)
{
    return lat >= -90 && lat <= 90 && lon >= -180 && lon <= 180;
}

void checkDistance(double lat1, double lon1, double lat2, double lon2, double distance)
{
    if (onEarth(lat1, lon1) && onEarth(lat2, lon2))
        FUZZ_CHECK(distance >= 0 && distance <= HalfCircumference * (1 + 1e-12));
}

// Digits and K, M, G in either case, read long hand; false for other texts.
bool longHand(const QString &text, qint64 *value)
{
    if (!QRegularExpression(QStringLiteral("\\A[0-9kKmMgG]*\\z")).match(text).hasMatch())
        return false;
    QString digits;
    for (const QChar c : text)
        digits += c.isDigit()
                ? QString(c)
                : QString(3 * (QStringLiteral("kmg").indexOf(c.toLower()) + 1), QLatin1Char('0'));
    digits.remove(QRegularExpression(QStringLiteral("\\A0+")));
    const bool fits = digits.size() < 19
            || (digits.size() == 19 && digits <= QLatin1String("9223372036854775807"));
    *value = fits ? digits.toLongLong() : 0; // beyond 64 bits: not a number
    return true;
}

} // namespace

// Read with at least one setting or refused with a fixed text
// and nothing else; every record holds what its element's attributes say.
int fuzzConfigDocument(const uint8_t *data, size_t size)
{
    const QByteArray body = bytesOf(data, size);
    const ConfigDocument doc = Client::parseConfigDocument(body);
    FUZZ_CHECK(doc.error.isEmpty() != doc.configs.isEmpty());
    FUZZ_CHECK((doc.error == QLatin1String("Empty config file")) == body.isEmpty());
    FUZZ_CHECK(doc.error.isEmpty() || body.isEmpty()
               || doc.error.startsWith(QLatin1String("Config file error: ")));
    // After an error the map is empty, so no record may be there either.
    FUZZ_CHECK(agrees(doc.client, doc.configs, "client")
               && agrees(doc.download, doc.configs, "download"));
    FUZZ_CHECK(agrees(doc.latency, doc.configs, "latency")
               && agrees(doc.socketLatency, doc.configs, "socket-latency"));
    return 0;
}

// A latency address beside every url; real distances between real
// coordinates, also at the antipode.
int fuzzServerList(const uint8_t *data, size_t size)
{
    const QByteArray body = bytesOf(data, size);
    QString error;
    const QList<ServerItem> servers = ServerList::parseServers(body, 0, 0, &error);
    FUZZ_CHECK(error.isEmpty()
               || (error.startsWith(QLatin1String("Servers file error: ")) && servers.isEmpty()));
    for (const ServerItem &item : servers) {
        const QString base = item.latencyUrl().chopped(qMin(item.latencyUrl().size(), 11));
        FUZZ_CHECK(item.latencyUrl().endsWith(QLatin1String("latency.txt"))
                   && base.endsWith(QLatin1Char('/')));
        FUZZ_CHECK(item.url().startsWith(base)
                   && item.url().indexOf(QLatin1Char('/'), base.size()) < 0);

        const double lat = item.latitude();
        const double lon = item.longitude();
        checkDistance(lat, lon, 0, 0, item.distance());
        const double antipodeLon = lon > 0 ? lon - 180 : lon + 180;
        const double farthest = ServerList::haversineDistance(lat, lon, -lat, antipodeLon);
        checkDistance(lat, lon, -lat, antipodeLon, farthest);
        FUZZ_CHECK(!onEarth(lat, lon) || std::fabs(farthest - HalfCircumference) < 1e-3);
    }
    return 0;
}

// What is read survives writing and reading field by field.
int fuzzServerCache(const uint8_t *data, size_t size)
{
    const QByteArray json = bytesOf(data, size);
    const QList<ServerItem> servers = ServerCache::fromJson(json);
    const QByteArray written = ServerCache::toJson(servers);
    const QList<ServerItem> reloaded = ServerCache::fromJson(written);
    FUZZ_CHECK(texts(reloaded) == texts(servers));
    FUZZ_CHECK(ServerCache::toJson(reloaded) == written);
    return 0;
}

// The entries are the non-empty simplified lines of a plain reading (text
// mode drops every carriage return; lines end at line feeds).
int fuzzDownloadList(const uint8_t *data, size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    const QVector<QString> entries = DownloadList::parse(bytes);
    QVector<QString> plain;
    for (const QByteArray &line : QByteArray(bytes).replace('\r', "").split('\n')) {
        const QString entry = QString::fromUtf8(line).simplified();
        if (!entry.isEmpty())
            plain.append(entry);
    }
    FUZZ_CHECK(entries == plain);
    return 0;
}

// On digits and unit letters the long-hand reading; never negative without
// a minus.
int fuzzSizeText(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(bytesOf(data, size));
    const qint64 value = sizeFromText(text);
    qint64 reading = 0;
    FUZZ_CHECK(text.size() > 32 || !longHand(text, &reading) || value == reading);
    FUZZ_CHECK(value >= 0 || text.trimmed().startsWith(QLatin1Char('-')));
    return 0;
}
