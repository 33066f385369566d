#include <QDomDocument>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include "Client.h"
#include "Columns.h"
#include "DownloadList.h"
#include "FuzzTargets.h"
#include "ReadSizeAttribute.h"
#include "RecordText.h"
#include "ServerCache.h"
#include "DownloadMgr.h"
#include "ServerList.h"
#include "TestSpeed.h"
#include "WorkDir.h"

using Servers = QList<ServerItem>;
using Entries = QVector<QString>;
Q_DECLARE_METATYPE(ServerItem)
using FuzzFunction = int (*)(const uint8_t *, size_t);
Q_DECLARE_METATYPE(FuzzFunction)
using Figure = double (*)(qint64, qint64);
Q_DECLARE_METATYPE(Figure)

namespace {

ServerItem server(double lat, double lon, double distance, const QString &name)
{
    ServerItem s;
    s.setLatitude(lat), s.setLongitude(lon), s.setDistance(distance), s.setName(name),
            s.setCountry(name + "land");
    s.setHost(name + ":1"), s.setSponsor(name + "Inc"), s.setUrl(name + "/u"),
            s.setLatencyUrl(name + "/l");
    return s;
}

// What Qt's XML parser says of body; the parsers pass it on.
QString xmlMessage(const QByteArray &body)
{
    QString message;
    QDomDocument().setContent(body, false, &message);
    return message;
}

} // namespace

class tst_Parsers : public QObject
{
    Q_OBJECT
    QScopedPointer<WorkDir> m_dir;
    QString path(const char *name = "servers.json") const
    {
        return m_dir->filePath(QLatin1String(name));
    }

private slots:
    void init()
    {
        m_dir.reset();
        m_dir.reset(new WorkDir);
    }
    void configDocument_data()
    {
        // records: client # download # latency # socket-latency, after the error if any
        columns<QByteArray, QString, QByteArray>("body", "records", "configs");
        const QByteArray full =
                "<?xml version='1.0'?>\n<!-- before --><settings>\n <!-- between --> <?pi x?>\n"
                " <client ip='203.0.113.7' lat='52.5' lon='13.4' rating='1' isp='Acme' "
                "isprating='3.7' ispdlavg='41032'"
                " ispulavg='9811'/>\n <download testlength='10' initialtest='250K' "
                "mintestsize='10m' threadsperurl='4'/>\n"
                " <socket-latency testlength='11' waittime='51' timeout='3'/> <latency "
                "testlength='12' waittime='50'"
                " timeout='20'/>\n <key>abc<!-- no text -->def</key> <mixed a='1'>dropped "
                "text</mixed></settings>\n";
        QTest::newRow("full")
                << full
                << "203.0.113.7|52.5|13.4|1|Acme|3.7|41032|9811#10|250000|10000000|4#12|50|20#11|"
                   "51|3"
                << QByteArray(
                           R"({"client":{"ip":"203.0.113.7","isp":"Acme","ispdlavg":"41032","isprating":"3.7",)"
                           R"("ispulavg":"9811","lat":"52.5","lon":"13.4","rating":"1"},"download":{"initialtest":"250K",)"
                           R"("mintestsize":"10m","testlength":"10","threadsperurl":"4"},"key":"abcdef","latency":{)"
                           R"("testlength":"12","timeout":"20","waittime":"50"},"mixed":{"a":"1"},"socket-latency":{)"
                           R"("testlength":"11","timeout":"3","waittime":"51"}})");
        QTest::newRow("missing elements") << QByteArray("<s><upload ratio='5'/></s>") << "-#-#-#-"
                                          << QByteArray(R"({"upload":{"ratio":"5"}})");
        QTest::newRow("missing attributes, words")
                << QByteArray("<s><client lat='north' rating='52,5'/><latency>7</latency></s>")
                << "|0|0|0||0|0|0#-#0|0|0#-"
                << QByteArray(R"({"client":{"lat":"north","rating":"52,5"},"latency":"7"})");
        QTest::newRow("last element wins")
                << QByteArray("<s><download testlength='1' threadsperurl='2'/><latency "
                              "timeout='4'/><download testlength='3'/>"
                              "</s>")
                << "-#3|0|0|0#0|0|4#-"
                << QByteArray(R"({"download":{"testlength":"3"},"latency":{"timeout":"4"}})");
        QTest::newRow("sizes out of range")
                << QByteArray("<s><download testlength='5G' initialtest='5G' "
                              "mintestsize='100000000000G' threadsperurl="
                              "'4294967297'/><latency testlength='3G' waittime='2k' "
                              "timeout='2147483647'/></s>")
                << "-#705032704|5000000000|0|1#-1294967296|2000|2147483647#-"
                << QByteArray(
                           R"({"download":{"initialtest":"5G","mintestsize":"100000000000G","testlength":"5G",)"
                           R"("threadsperurl":"4294967297"},"latency":{"testlength":"3G","timeout":"2147483647",)"
                           R"("waittime":"2k"}})");
        QTest::newRow("empty") << QByteArray() << "Empty config file" << QByteArray("{}");
        for (const QByteArray &body :
             { QByteArray("just some text"), QByteArray("<s><client ip='1'/>") })
            QTest::newRow(body.constData())
                    << body << "Config file error: " + xmlMessage(body) << QByteArray("{}");
        QTest::newRow("no settings")
                << QByteArray("<s> <!-- none --> </s>")
                << "Config file error: No settings in the document" << QByteArray("{}");
    }
    void configDocument()
    {
        QFETCH(QByteArray, body);
        const ConfigDocument doc = Client::parseConfigDocument(body);
        const QString records = QStringList{ text(doc.client), text(doc.download),
                                             text(doc.latency), text(doc.socketLatency) }
                                        .join(QLatin1Char('#'));
        QTEST(doc.error.isEmpty() ? records : doc.error + (records == "-#-#-#-" ? "" : records),
              "records");
        QTEST(QJsonDocument(QJsonObject::fromVariantMap(doc.configs))
                      .toJson(QJsonDocument::Compact),
              "configs");
    }
    void sizeText_data()
    {
        // Texts that are no digits with unit letters; the fuzz target reads those of its corpus
        // long hand.
        columns<QString, qint64>("text", "value");
        const QList<QPair<const char *, qint64>> rows = {
            { "1.5M", 0 }, { "10MB", 0 }, { "fast", 0 }, { "-3", -3 }
        };
        for (const auto &row : rows)
            QTest::newRow(row.first) << QString(row.first) << row.second;
    }
    void sizeText()
    {
        QFETCH(QString, text);
        QTEST(sizeFromText(text), "value");
    }
    void serverList_data()
    {
        // servers: after the error if any
        columns<QByteArray, double, double, QStringList>("body", "lat", "lon", "servers");
        const QByteArray mixed =
                "<settings>\n<servers>\n"
                " <server url='http://a:8080/s/upload.php' lat='0' lon='1' name='A' country='A "
                "land' cc='AL'"
                " sponsor='A Inc' host='A:8080'/>\n <!-- a comment --> <server lat='1' lon='1' "
                "name='no url'/>\n"
                " <server url='upload.php' name='no slash'/>\n <other url='http://b:8081' lat='0' "
                "lon='180' name='B'"
                " country='B land' sponsor='B Inc' host='B:8080'/>\n <server url='' name='empty "
                "url'/>\n"
                " <server url='https://c/x/y/file.php' lat='north' lon='' name='C'/>\n</servers>\n"
                "<more><server url='http://d/not/read.php'/></more>\n</settings>\n";
        QTest::newRow("kept and dropped")
                << mixed << 0.0 << 0.0
                << QStringList{ "0|1|111.31949079327356|A land|A|A:8080|A "
                                "Inc|http://a:8080/s/upload.php|http://a:8080/s/latency.txt",
                                "0|180|20037.508342789242|B land|B|B:8080|B "
                                "Inc|http://b:8081|http://latency.txt",
                                "0|0|0||C|||https://c/x/y/file.php|https://c/x/y/latency.txt" };
        // One entry at (lat, lon) seen from a client; reports and the choice of server depend on
        // these digits.
        const auto one = [](double lat, double lon, double fromLat, double fromLon, double km) {
            const QByteArray body = QString("<a><b><c url='/' lat='%1' lon='%2'/></b></a>")
                                            .arg(lat)
                                            .arg(lon)
                                            .toUtf8();
            QTest::newRow(body.constData())
                    << body << fromLat << fromLon
                    << QStringList(join(lat, lon, km) + "|||||/|/latency.txt");
        };
        one(52.5, 13.4, 52.5, 13.4, 0);
        one(0, 0, 0, 1, 111.31949079327356); // the other way round
        one(90, 0, -90, 0, 20037.508342789242);
        one(-87.5, -166.6, 87.5, 13.4,
            20037.508342789242); // rounds past 1 under the root at the antipode
        one(qQNaN(), 0, 0, 0, qQNaN());
        QTest::newRow("no entries")
                << QByteArray("<a><b> <!-- none --> </b></a>") << 0.0 << 0.0 << QStringList();
        for (const QByteArray &body :
             { QByteArray(), QByteArray("servers: none"), QByteArray("<a><b>") })
            QTest::newRow(body.constData())
                    << body << 0.0 << 0.0 << QStringList("Servers file error: " + xmlMessage(body));
    }
    void serverList()
    {
        QFETCH(QByteArray, body);
        QFETCH(double, lat);
        QFETCH(double, lon);
        QString error = "stale";
        const QStringList servers = texts(ServerList::parseServers(body, lat, lon, &error));
        QTEST(error.isEmpty() ? servers : QStringList(error) + servers, "servers");
    }
    void figures_data()
    {
        // The speed test's figure (bits / 1024 per ms) and a file's (MiB/s) from bytes and
        // milliseconds; the time-outs in ms of the download and of a latency probe from the
        // service's seconds.
        columns<Figure, qint64, qint64, double>("function", "amount", "msecs", "figure");
        const Figure file = [](qint64 bytes, qint64 msecs) {
            return double(DownloadMgr::rate(bytes, msecs));
        };
        const Figure download = [](qint64 seconds, qint64) {
            return double(TestSpeed::downloadTimeout(seconds));
        };
        const Figure latency = [](qint64 seconds, qint64) {
            return double(TestSpeed::latencyTimeout(seconds));
        };
        QTest::newRow("speed test: 1,280,000 bytes in 1 s")
                << &TestSpeed::downloadSpeed << 1280000LL << 1000LL << 10.0;
        QTest::newRow("speed test: 300,000,000 bytes in 10 s")
                << &TestSpeed::downloadSpeed << 300000000LL << 10000LL << 234.375;
        QTest::newRow("speed test: bytes in no measurable time")
                << &TestSpeed::downloadSpeed << 1000LL << 0LL << 0.0;
        QTest::newRow("speed test: no bytes") << &TestSpeed::downloadSpeed << 0LL << 1000LL << 0.0;
        QTest::newRow("file: 2 MiB in 1 s") << file << 2097152LL << 1000LL << 2.0;
        QTest::newRow("file: 1 MiB in 250 ms") << file << 1048576LL << 250LL << 4.0;
        // Bounds the speed-test rows cannot reach: their downloads end early, their probes answer
        // at once or never.
        QTest::newRow("download: the shortest test, 1 s") << download << 1LL << 0LL << 1000.0;
        QTest::newRow("download: the longest test, 3600 s")
                << download << 3600LL << 0LL << 3600000.0;
        QTest::newRow("download: longer, the usual 10 s") << download << 3601LL << 0LL << 10000.0;
        QTest::newRow("latency probe: the shortest, 1 s") << latency << 1LL << 0LL << 1000.0;
        QTest::newRow("latency probe: the longest, 60 s") << latency << 60LL << 0LL << 60000.0;
        QTest::newRow("latency probe: longer, the usual 2 s") << latency << 61LL << 0LL << 2000.0;
    }
    void figures()
    {
        QFETCH(Figure, function);
        QFETCH(qint64, amount);
        QFETCH(qint64, msecs);
        QTEST(function(amount, msecs), "figure");
    }
    void cacheRead_data()
    {
        // null content: no file
        columns<QByteArray, QStringList>("content", "servers");
        const Servers three{ server(52.5, -1e-300, 12.5, "A"), ServerItem(), server(0, 0, 0, "B") };
        QTest::newRow("written") << ServerCache::toJson(three) << texts(three);
        QTest::newRow("compact, numbers as texts")
                << QByteArray(R"([{"latitude":"52.5","longitude":"-1e2",)"
                              R"("distance":"12.5","host":8080,"name":0.5}])")
                << QStringList("52.5|-100|12.5||0.5|8080|||");
        QTest::newRow("missing and other keys")
                << QByteArray(R"([{"host": "h:1", "latency": 5, "other": {}}])")
                << QStringList("0|0|0|||h:1|||");
        QTest::newRow("unusable values") << QByteArray(
                R"([{"distance": "far", "latitude": null, "longitude": true, "name": [1], "url": {"a": 1}},)"
                R"( {"distance": "nan", "latitude": "inf", "longitude": "-INF"}, 5, "text"])")
                                         << QStringList{ "0|0|0||||||", "0|0|0||||||",
                                                         "0|0|0||||||", "0|0|0||||||" };
        const QByteArray whole = ServerCache::toJson(three);
        const QList<QPair<const char *, QByteArray>> none = {
            { "no file", QByteArray() },
            { "not JSON", "servers: many" },
            { "object", R"({"servers": [{"host": "h:1"}]})" },
            { "last byte missing", whole.left(whole.size() - 2) }
        };
        for (const auto &row : none)
            QTest::newRow(row.first) << row.second << QStringList();
    }
    void cacheRead()
    {
        QFETCH(QByteArray, content);
        QVERIFY(content.isNull() || m_dir->write(path(), content));
        QTEST(texts(ServerCache::load(path())), "servers");
    }
    void cacheAge_data()
    {
        columns<QDateTime, QDateTime, qint64, bool>("modified", "now", "days", "fresh");
        const auto at = [](int day, int hour, int min) {
            return QDateTime(QDate(2026, 11, 20 + day), QTime(hour, min));
        };
        QTest::newRow("same day") << at(0, 8, 0) << at(0, 20, 0) << qint64(0) << true;
        QTest::newRow("7 days, 00:00 to 23:59")
                << at(-7, 0, 0) << at(0, 23, 59) << qint64(7) << true;
        QTest::newRow("7 days 1 minute, 8 midnights")
                << at(-8, 23, 59) << at(0, 0, 0) << qint64(8) << false;
        QTest::newRow("in the future") << at(3, 12, 0) << at(0, 12, 0) << qint64(-3) << true;
    }
    void cacheAge()
    {
        QFETCH(QDateTime, modified);
        QFETCH(QDateTime, now);
        QVERIFY(m_dir->write(path(), "[]", modified));
        QTEST(ServerCache::isFresh(path(), now), "fresh");
        QTEST(ServerCache::ageInDays(path(), now), "days");
    }
    void cacheSave_data()
    {
        // before: what stands at the path; after: what it holds afterwards
        columns<QString, Servers, bool, QByteArray>("before", "servers", "saved", "after");
        ServerItem sparse;
        sparse.setLongitude(-0.25), sparse.setHost("h:1");
        const Servers two{ server(52.5, 13.4, 12.5, "A"), sparse };
        QTest::newRow("old long file rewritten, indented")
                << "long" << Servers{ sparse } << true
                << QByteArray("[\n    {\n        \"country\": \"\",\n        \"distance\": 0,\n    "
                              "    \"host\": \"h:1\",\n"
                              "        \"latencyUrl\": \"\",\n        \"latitude\": 0,\n        "
                              "\"longitude\": -0.25,\n"
                              "        \"name\": \"\",\n        \"sponsor\": \"\",\n        "
                              "\"url\": \"\"\n    }\n]\n");
        QTest::newRow("empty list keeps the cache")
                << "cache" << Servers() << false << ServerCache::toJson(two);
        QTest::newRow("missing parent") << "missing" << two << false << QByteArray();
    }
    void cacheSave()
    {
        QFETCH(QString, before);
        QFETCH(Servers, servers);
        QFETCH(bool, saved);
        QFETCH(QByteArray, after);
        const QString file = before == "missing" ? path("missing/servers.json") : path();
        const QDateTime old = QDateTime::currentDateTime().addDays(-30);
        QVERIFY(before != "long" || m_dir->write(file, QByteArray(100000, ' '), old));
        QVERIFY(before != "cache" || m_dir->write(file, after, old));
        ServerList list(nullptr);
        list.setServers(servers);
        QCOMPARE(ServerCache::save(file, &list), saved);
        QCOMPARE(m_dir->read(file), after);
    }
    void downloadList_data()
    {
        // null content: no file. The fuzz target checks the reading of the texts of its corpus.
        columns<QByteArray, Entries>("content", "entries");
        QTest::newRow("CRLF") << QByteArray("http://a/1\r\n\r\nhttps://b/2\r\n")
                              << Entries{ "http://a/1", "https://b/2" };
        QTest::newRow("no file") << QByteArray() << Entries();
    }
    void downloadList()
    {
        QFETCH(QByteArray, content);
        const QString file = path("downloadConfig.txt");
        QVERIFY(content.isNull() || m_dir->write(file, content));
        QTEST(DownloadList::read(file), "entries");
        QVERIFY(!content.isNull()
                || (QDir().mkpath(file) && DownloadList::read(file).isEmpty())); // nor a directory
    }
    // Every file of each fuzz corpus: the seeds and each input that once
    // broke a parser. A broken invariant aborts; the row names the input.
    void corpus_data()
    {
        // no file: the corpus has none
        columns<FuzzFunction, QString>("function", "file");
        const QList<QPair<QString, FuzzFunction>> targets = { { "configdocument",
                                                                fuzzConfigDocument },
                                                              { "serverlist", fuzzServerList },
                                                              { "servercache", fuzzServerCache },
                                                              { "downloadlist", fuzzDownloadList },
                                                              { "sizetext", fuzzSizeText } };
        for (const auto &target : targets) {
            const QDir dir(QStringLiteral(OSP_FUZZ_CORPUS_DIR "/") + target.first);
            const QStringList files = dir.entryList(QDir::Files | QDir::Hidden, QDir::Name);
            for (const QString &file : files)
                QTest::newRow(qPrintable(target.first + '/' + file))
                        << target.second << dir.filePath(file);
            if (files.isEmpty())
                QTest::newRow(qPrintable(target.first)) << target.second << QString();
        }
    }
    void corpus()
    {
        QFETCH(FuzzFunction, function);
        QFETCH(QString, file);
        QVERIFY2(QFileInfo(file).isFile(), "no corpus file");
        const QByteArray input = m_dir->read(file);
        QCOMPARE(function(reinterpret_cast<const uint8_t *>(input.constData()),
                          size_t(input.size())),
                 0);
    }
};

QTEST_GUILESS_MAIN(tst_Parsers)
#include "tst_parsers.moc"
