#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "Client.h"
#include "ServerCache.h"
#include "ServerList.h"
#include "SpeedTestService.h"

namespace {

ServerItem berlin()
{
    ServerItem item;
    item.setLatitude(52.5);
    item.setLongitude(13.4);
    item.setDistance(12.5);
    item.setCountry("Germany");
    item.setName("Berlin");
    item.setHost("127.0.0.1:8080");
    item.setSponsor("Alpha");
    item.setUrl("http://127.0.0.1:8080/speedtest/upload.php");
    item.setLatencyUrl("http://127.0.0.1:8080/speedtest/latency.txt");
    return item;
}

ServerItem sparse()
{
    ServerItem item;
    item.setLongitude(-0.25);
    item.setHost("127.0.0.1:9");
    item.setUrl("http://127.0.0.1:9/u.php");
    return item;
}

// All nine fields, not only the two that equality looks at.
QString describe(const ServerItem &s)
{
    return QStringLiteral("%1|%2|%3|%4|%5|%6|%7|%8|%9")
        .arg(QString::number(s.latitude(), 'g', 17), QString::number(s.longitude(), 'g', 17),
             QString::number(s.distance(), 'g', 17), s.country(), s.name(), s.host(), s.sponsor(),
             s.url(), s.latencyUrl());
}

QStringList describeAll(const QList<ServerItem> &list)
{
    QStringList out;
    for (const ServerItem &s : list)
        out << describe(s);
    return out;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool setModified(const QString &path, const QDateTime &time)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite)
        && file.setFileTime(time, QFileDevice::FileModificationTime);
}

const QByteArray ExpectedLayout =
    "[\n"
    "    {\n"
    "        \"country\": \"Germany\",\n"
    "        \"distance\": 12.5,\n"
    "        \"host\": \"127.0.0.1:8080\",\n"
    "        \"latencyUrl\": \"http://127.0.0.1:8080/speedtest/latency.txt\",\n"
    "        \"latitude\": 52.5,\n"
    "        \"longitude\": 13.4,\n"
    "        \"name\": \"Berlin\",\n"
    "        \"sponsor\": \"Alpha\",\n"
    "        \"url\": \"http://127.0.0.1:8080/speedtest/upload.php\"\n"
    "    },\n"
    "    {\n"
    "        \"country\": \"\",\n"
    "        \"distance\": 0,\n"
    "        \"host\": \"127.0.0.1:9\",\n"
    "        \"latencyUrl\": \"\",\n"
    "        \"latitude\": 0,\n"
    "        \"longitude\": -0.25,\n"
    "        \"name\": \"\",\n"
    "        \"sponsor\": \"\",\n"
    "        \"url\": \"http://127.0.0.1:9/u.php\"\n"
    "    }\n"
    "]\n";

} // namespace

class tst_ServerCache : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void location();
    void exactLayout();
    void roundTrip();
    void fetchedListWrittenAsFetched();
    void numbersAsStrings();
    void loose_data();
    void loose();
    void unusable_data();
    void unusable();
    void unreadableFile();
    void age_data();
    void age();
    void missingFileIsNotFresh();
    void loadChangesNothing();
    void saveRewritesInPlace();
    void emptyListNotWritten();
    void unwritable();
    void clearCache();

private:
    QString path() const { return ServerCache::filePath(m_dir->path()); }
    QScopedPointer<QTemporaryDir> m_dir;
};

void tst_ServerCache::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void tst_ServerCache::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void tst_ServerCache::location()
{
    const QString platform = QStandardPaths::standardLocations(QStandardPaths::CacheLocation).value(0);
    QVERIFY(!platform.isEmpty());
    const QString dir = ServerCache::cacheDirectory();
    QCOMPARE(dir, platform + "/kavimeter/");
    QCOMPARE(ServerCache::filePath(dir), platform + "/kavimeter//servers.json");

    QVERIFY(ServerCache::createDirectory(dir));
    QVERIFY(QFileInfo(dir).isDir());
    QVERIFY(ServerCache::createDirectory(dir)); // already there
    QVERIFY(QDir(dir).removeRecursively());

    // A file standing where a level should be.
    QVERIFY(writeFile(m_dir->filePath("blocked"), "x"));
    QVERIFY(!ServerCache::createDirectory(m_dir->filePath("blocked/kavimeter/")));
}

void tst_ServerCache::exactLayout()
{
    Client client;
    ServerList list(&client);
    list.setServers({ berlin(), sparse() });
    QVERIFY(ServerCache::save(path(), &list));
    QCOMPARE(readFile(path()), ExpectedLayout);
    QCOMPARE(ServerCache::toJson({ berlin(), sparse() }), ExpectedLayout);
}

void tst_ServerCache::roundTrip()
{
    Client client;
    ServerList list(&client);
    list.setServers({ berlin(), sparse(), berlin() });
    QVERIFY(ServerCache::save(path(), &list));
    QCOMPARE(describeAll(ServerCache::load(path())), describeAll({ berlin(), sparse(), berlin() }));
}

void tst_ServerCache::fetchedListWrittenAsFetched()
{
    SpeedTestService svc;
    QVERIFY(svc.start());
    svc.setClientPosition(10, 20);
    for (int i = 0; i < 3; ++i)
        svc.addTestServer(i * 1.5, -i * 2.25);
    Client client;
    client.setConfigsUrl(svc.configUrl());
    QSignalSpy configs(&client, &Client::configsChanged);
    client.fetch();
    QTRY_COMPARE(configs.count(), 1);
    ServerList list(&client);
    list.setServersUrl(svc.serversUrl());
    QSignalSpy changed(&list, &ServerList::changed);
    list.fetch();
    QTRY_COMPARE(changed.count(), 1);
    QVERIFY(list.isFetched());
    QCOMPARE(list.count(), 3);

    QVERIFY(ServerCache::save(path(), &list));
    QList<ServerItem> fetched;
    for (int i = 0; i < list.count(); ++i)
        fetched << list.at(i);
    const QJsonArray array = QJsonDocument::fromJson(readFile(path())).array();
    QCOMPARE(array.size(), 3);
    for (int i = 0; i < array.size(); ++i) {
        const QJsonObject o = array.at(i).toObject();
        QCOMPARE(o.keys(), QStringList({ "country", "distance", "host", "latencyUrl", "latitude",
                                         "longitude", "name", "sponsor", "url" }));
        QCOMPARE(o.value("host").toString(), svc.serverHost(i));
        QCOMPARE(o.value("distance").toDouble(),
                 ServerList::haversineDistance(i * 1.5, -i * 2.25, 10, 20));
    }
    QCOMPARE(describeAll(ServerCache::load(path())), describeAll(fetched));
}

void tst_ServerCache::numbersAsStrings()
{
    const QByteArray asNumbers =
        "[{\"latitude\": 52.5, \"longitude\": -1e2, \"distance\": 12.5, \"host\": \"h:1\"}]";
    const QByteArray asStrings =
        "[{\"latitude\": \"52.5\", \"longitude\": \"-1e2\", \"distance\": \"12.5\", \"host\": \"h:1\"}]";
    const QList<ServerItem> a = ServerCache::fromJson(asNumbers);
    const QList<ServerItem> b = ServerCache::fromJson(asStrings);
    QCOMPARE(a.size(), 1);
    QCOMPARE(a.at(0).distance(), 12.5);
    QCOMPARE(a.at(0).longitude(), -100.0);
    QCOMPARE(describeAll(b), describeAll(a));
}

void tst_ServerCache::loose_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QStringList>("expected");
    ServerItem hostOnly;
    hostOnly.setHost("h:1");
    QTest::newRow("missing keys") << QByteArray("[{\"host\": \"h:1\", \"latency\": 5, \"other\": {}}]")
                                  << describeAll({ hostOnly });
    ServerItem numbers;
    numbers.setHost("8080");
    numbers.setName("0.5");
    QTest::newRow("texts given as numbers")
        << QByteArray("[{\"host\": 8080, \"name\": 0.5}]") << describeAll({ numbers });
    QTest::newRow("unusable values")
        << QByteArray("[{\"distance\": \"far\", \"latitude\": null, \"longitude\": true,"
                      " \"name\": [1], \"url\": {\"a\": 1}}]")
        << describeAll({ ServerItem() });
    QTest::newRow("texts that are no finite number")
        << QByteArray("[{\"distance\": \"nan\", \"latitude\": \"inf\", \"longitude\": \"-INF\"}]")
        << describeAll({ ServerItem() });
    QTest::newRow("elements that are not objects")
        << QByteArray("[5, \"text\", {\"host\": \"h:1\"}]")
        << describeAll({ ServerItem(), ServerItem(), hostOnly });
    QTest::newRow("compact layout")
        << QByteArray("[{\"host\":\"h:1\"}]") << describeAll({ hostOnly });
}

void tst_ServerCache::loose()
{
    QFETCH(QByteArray, json);
    QFETCH(QStringList, expected);
    QVERIFY(writeFile(path(), json));
    QCOMPARE(describeAll(ServerCache::load(path())), expected);
}

void tst_ServerCache::unusable_data()
{
    QTest::addColumn<QByteArray>("content");
    const QByteArray good = ServerCache::toJson({ berlin(), sparse() });
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("empty array") << QByteArray("[]");
    QTest::newRow("not JSON") << QByteArray("servers: many");
    QTest::newRow("object at the top") << QByteArray("{\"servers\": [{\"host\": \"h:1\"}]}");
    QTest::newRow("half written") << good.left(good.size() / 2);
    QTest::newRow("last byte missing") << good.left(good.size() - 2);
}

void tst_ServerCache::unusable()
{
    QFETCH(QByteArray, content);
    QVERIFY(writeFile(path(), content));
    QVERIFY(ServerCache::isFresh(path()));
    QVERIFY(ServerCache::load(path()).isEmpty()); // read as absent: the list is fetched
}

void tst_ServerCache::unreadableFile()
{
    // Tests run as root: a directory standing at the path cannot be read.
    QVERIFY(QDir().mkpath(path()));
    QVERIFY(ServerCache::load(path()).isEmpty());
    QVERIFY(ServerCache::load(m_dir->filePath("absent.json")).isEmpty());
}

void tst_ServerCache::age_data()
{
    QTest::addColumn<QDateTime>("modified");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<qint64>("days");
    QTest::addColumn<bool>("fresh");
    const QDate d(2026, 11, 20);
    QTest::newRow("same day") << QDateTime(d, QTime(8, 0)) << QDateTime(d, QTime(20, 0)) << qint64(0) << true;
    QTest::newRow("7 days, 00:00 to 23:59") << QDateTime(d.addDays(-7), QTime(0, 0))
                                            << QDateTime(d, QTime(23, 59)) << qint64(7) << true;
    QTest::newRow("7 days 1 minute across 8 midnights")
        << QDateTime(d.addDays(-8), QTime(23, 59)) << QDateTime(d, QTime(0, 0)) << qint64(8) << false;
    QTest::newRow("8 days") << QDateTime(d.addDays(-8), QTime(0, 0)) << QDateTime(d, QTime(23, 59))
                            << qint64(8) << false;
    QTest::newRow("a month") << QDateTime(d.addDays(-31), QTime(12, 0)) << QDateTime(d, QTime(12, 0))
                             << qint64(31) << false;
    QTest::newRow("in the future") << QDateTime(d.addDays(3), QTime(12, 0)) << QDateTime(d, QTime(12, 0))
                                   << qint64(-3) << true;
}

void tst_ServerCache::age()
{
    QFETCH(QDateTime, modified);
    QFETCH(QDateTime, now);
    QFETCH(qint64, days);
    QFETCH(bool, fresh);
    QVERIFY(writeFile(path(), ServerCache::toJson({ berlin() })));
    QVERIFY(setModified(path(), modified));
    QCOMPARE(QFileInfo(path()).lastModified(), modified);
    QCOMPARE(ServerCache::ageInDays(path(), now), days);
    QCOMPARE(ServerCache::isFresh(path(), now), fresh);

    // A rewrite renews the age, whatever the birth time says.
    Client client;
    ServerList list(&client);
    list.setServers({ sparse() });
    QVERIFY(ServerCache::save(path(), &list));
    QVERIFY(ServerCache::isFresh(path()));
    QCOMPARE(ServerCache::ageInDays(path()), qint64(0));
}

void tst_ServerCache::missingFileIsNotFresh()
{
    QVERIFY(!ServerCache::isFresh(path()));
    QVERIFY(writeFile(path(), ServerCache::toJson({ berlin() })));
    QVERIFY(ServerCache::isFresh(path())); // written today
}

void tst_ServerCache::loadChangesNothing()
{
    const QByteArray content = ServerCache::toJson({ berlin(), sparse() });
    QVERIFY(writeFile(path(), content));
    const QDateTime old = QDateTime::currentDateTime().addDays(-3);
    QVERIFY(setModified(path(), old));
    QCOMPARE(ServerCache::load(path()).size(), 2);
    QCOMPARE(readFile(path()), content);
    QCOMPARE(QFileInfo(path()).lastModified().toMSecsSinceEpoch() / 1000, old.toMSecsSinceEpoch() / 1000);
}

void tst_ServerCache::saveRewritesInPlace()
{
    QVERIFY(writeFile(path(), QByteArray(100000, ' ')));
    Client client;
    ServerList list(&client);
    list.setServers({ berlin() });
    QVERIFY(ServerCache::save(path(), &list));
    QCOMPARE(readFile(path()), ServerCache::toJson({ berlin() }));
}

void tst_ServerCache::emptyListNotWritten()
{
    Client client;
    ServerList list(&client);
    QVERIFY(!ServerCache::save(path(), &list));
    QVERIFY(!QFile::exists(path()));
    // An existing cache survives an empty fetch.
    const QByteArray content = ServerCache::toJson({ berlin() });
    QVERIFY(writeFile(path(), content));
    list.setServers({});
    QVERIFY(!ServerCache::save(path(), &list));
    QCOMPARE(readFile(path()), content);
    QVERIFY(!ServerCache::save(path(), nullptr));
}

void tst_ServerCache::unwritable()
{
    Client client;
    ServerList list(&client);
    list.setServers({ berlin() });
    QVERIFY(QDir().mkpath(path())); // a directory stands at the path
    QVERIFY(!ServerCache::save(path(), &list));
    QVERIFY(QFileInfo(path()).isDir());
    QVERIFY(!ServerCache::save(m_dir->filePath("missing/servers.json"), &list));
    QVERIFY(!QFile::exists(m_dir->filePath("missing")));
}

void tst_ServerCache::clearCache()
{
    QVERIFY(writeFile(path(), ServerCache::toJson({ berlin() })));
    QVERIFY(ServerCache::clear(path()));
    QVERIFY(!QFile::exists(path()));
    QVERIFY(QFileInfo(m_dir->path()).isDir()); // the directory stays
    QVERIFY(!ServerCache::clear(path()));
    QVERIFY(!ServerCache::isFresh(path()));
}

QTEST_GUILESS_MAIN(tst_ServerCache)
#include "tst_servercache.moc"
