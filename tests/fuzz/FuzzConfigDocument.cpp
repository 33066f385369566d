// Configuration document: the parse is repeatable, its error and its map
// agree, and every typed record holds what its element's attributes say.
#include <QByteArray>
#include <QVariantMap>

#include <cmath>

#include "Client.h"
#include "FuzzTargets.h"
#include "ReadSizeAttribute.h"
#include "SizeField.h"

namespace {

bool sameNumber(double a, double b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

bool sameClient(const ConfigClient &a, const ConfigClient &b)
{
    return a.ip() == b.ip() && sameNumber(a.lat(), b.lat()) && sameNumber(a.lon(), b.lon())
        && sameNumber(a.rating(), b.rating()) && a.isp() == b.isp()
        && sameNumber(a.isprating(), b.isprating()) && sameNumber(a.ispdlavg(), b.ispdlavg())
        && sameNumber(a.ispulavg(), b.ispulavg());
}

bool sameDownload(const ConfigDownload &a, const ConfigDownload &b)
{
    return a.testlength() == b.testlength() && a.initialtest() == b.initialtest()
        && a.mintestsize() == b.mintestsize() && a.threadsperurl() == b.threadsperurl();
}

bool sameLatency(const ConfigLatency &a, const ConfigLatency &b)
{
    return a.testlength() == b.testlength() && a.waittime() == b.waittime()
        && a.timeout() == b.timeout();
}

template <typename Record, typename Same>
bool sameOptional(const std::optional<Record> &a, const std::optional<Record> &b, Same same)
{
    return a.has_value() == b.has_value() && (!a || same(*a, *b));
}

// The attribute texts of an element as the map holds them; an element kept
// as its text content has none.
QString attributeText(const QVariantMap &configs, const char *tag, const char *name)
{
    const QVariant entry = configs.value(QLatin1String(tag));
    if (entry.type() != QVariant::Map)
        return QString();
    return entry.toMap().value(QLatin1String(name)).toString();
}

qint32 size32(const QVariantMap &configs, const char *tag, const char *name)
{
    return lowBits32(sizeFromText(attributeText(configs, tag, name)));
}

double number(const QVariantMap &configs, const char *tag, const char *name)
{
    return attributeText(configs, tag, name).toDouble();
}

void checkLatency(const ConfigLatency &latency, const QVariantMap &configs, const char *tag)
{
    FUZZ_CHECK(latency.testlength() == size32(configs, tag, "testlength"));
    FUZZ_CHECK(latency.waittime() == size32(configs, tag, "waittime"));
    FUZZ_CHECK(latency.timeout() == size32(configs, tag, "timeout"));
}

} // namespace

int fuzzConfigDocument(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), int(size));
    const ConfigDocument document = Client::parseConfigDocument(body);

    const ConfigDocument again = Client::parseConfigDocument(body);
    FUZZ_CHECK(again.error == document.error);
    FUZZ_CHECK(again.configs == document.configs);
    FUZZ_CHECK(sameOptional(again.client, document.client, sameClient));
    FUZZ_CHECK(sameOptional(again.download, document.download, sameDownload));
    FUZZ_CHECK(sameOptional(again.latency, document.latency, sameLatency));
    FUZZ_CHECK(sameOptional(again.socketLatency, document.socketLatency, sameLatency));

    // A document is either read, with at least one setting, or refused with
    // one of the fixed texts and nothing else.
    FUZZ_CHECK(document.error.isEmpty() != document.configs.isEmpty());
    FUZZ_CHECK((document.error == QLatin1String("Empty config file")) == body.isEmpty());
    if (!document.error.isEmpty()) {
        FUZZ_CHECK(body.isEmpty() || document.error.startsWith(QLatin1String("Config file error: ")));
        FUZZ_CHECK(!document.client && !document.download && !document.latency
                   && !document.socketLatency);
        return 0;
    }

    const QVariantMap &configs = document.configs;
    FUZZ_CHECK(bool(document.client) == configs.contains(QStringLiteral("client")));
    FUZZ_CHECK(bool(document.download) == configs.contains(QStringLiteral("download")));
    FUZZ_CHECK(bool(document.latency) == configs.contains(QStringLiteral("latency")));
    FUZZ_CHECK(bool(document.socketLatency) == configs.contains(QStringLiteral("socket-latency")));

    if (document.client) {
        const ConfigClient &client = *document.client;
        FUZZ_CHECK(client.ip() == attributeText(configs, "client", "ip"));
        FUZZ_CHECK(client.isp() == attributeText(configs, "client", "isp"));
        FUZZ_CHECK(sameNumber(client.lat(), number(configs, "client", "lat")));
        FUZZ_CHECK(sameNumber(client.lon(), number(configs, "client", "lon")));
        FUZZ_CHECK(sameNumber(client.rating(), number(configs, "client", "rating")));
        FUZZ_CHECK(sameNumber(client.isprating(), number(configs, "client", "isprating")));
        FUZZ_CHECK(sameNumber(client.ispdlavg(), number(configs, "client", "ispdlavg")));
        FUZZ_CHECK(sameNumber(client.ispulavg(), number(configs, "client", "ispulavg")));
    }
    if (document.download) {
        const ConfigDownload &download = *document.download;
        FUZZ_CHECK(download.testlength() == size32(configs, "download", "testlength"));
        FUZZ_CHECK(download.initialtest()
                   == sizeFromText(attributeText(configs, "download", "initialtest")));
        FUZZ_CHECK(download.mintestsize()
                   == sizeFromText(attributeText(configs, "download", "mintestsize")));
        FUZZ_CHECK(download.threadsperurl() == size32(configs, "download", "threadsperurl"));
    }
    if (document.latency)
        checkLatency(*document.latency, configs, "latency");
    if (document.socketLatency)
        checkLatency(*document.socketLatency, configs, "socket-latency");
    return 0;
}
