#include <QDomDocument>
#include <QNetworkReply>
#include <QtTest>

#include "Client.h"
#include "ErrorLog.h"
#include "ReplyGuard.h"
#include "ServerList.h"
#include "SpeedTestService.h"

Q_DECLARE_METATYPE(HttpBehaviour)

namespace {

const int IdleBoundMs = 300;
const qint64 BodyLimit = 256 * 1024;

const QByteArray MixedDocument =
    "<?xml version='1.0' encoding='UTF-8'?>\n"
    "<settings>\n"
    "<servers>\n"
    "  <server url='http://127.0.0.1:8080/speedtest/upload.php' lat='52.5' lon='13.4' name='Berlin' country='Germany' cc='DE' sponsor='Alpha' id='1' host='127.0.0.1:8080'/>\n"
    "  <!-- a comment among the entries -->\n"
    "  <server lat='1' lon='1' name='No url' host='127.0.0.1:1'/>\n"
    "  <server url='upload.php' lat='1' lon='1' name='No slash' host='127.0.0.1:2'/>\n"
    "  <other url='http://127.0.0.1:8081' lat='0' lon='1' name='No path' country='Equator' sponsor='Gamma' host='127.0.0.1:8081'/>\n"
    "  <server url='' name='Empty url'/>\n"
    "  <server url='https://127.0.0.1:8443/x/y/file.php' lat='north' lon='' name='Words' country='Nowhere' sponsor='Delta' host='127.0.0.1:8443'/>\n"
    "</servers>\n"
    "<more><server url='http://127.0.0.1:9/not/read.php' name='Second child'/></more>\n"
    "</settings>\n";

} // namespace

class tst_ServerList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void defaults();
    void haversine_data();
    void haversine();
    void keptAndDroppedEntries();
    void distancesFromTheFetchedClient();
    void generatedListOfTestServers();
    void userAgentHeader();
    void fetchWhileFetchingIsIgnored();
    void secondFetchParsesOnlyItsBody();
    void noEntries();
    void setServers();
    void setServersUrl();
    void downloadProgressForwarded();
    void errors_data();
    void errors();
    void failedFetchEmptiesTheList();
    void destroyedWhileFetching();
    void parseWithoutNetwork();

private:
    void waitIdle(ServerList &list);
    SpeedTestService m_svc;
};

void tst_ServerList::initTestCase()
{
    ReplyGuard::setIdleTimeoutForTesting(IdleBoundMs);
    ReplyGuard::setBodyLimitForTesting(BodyLimit);
    QVERIFY(m_svc.start());
}

void tst_ServerList::init()
{
    m_svc.resetDocument(SpeedTestService::ServersPath);
    m_svc.clearDocumentFault(SpeedTestService::ServersPath);
    m_svc.resetDocument(SpeedTestService::ConfigPath);
    m_svc.clearRecords();
}

void tst_ServerList::waitIdle(ServerList &list)
{
    QTRY_VERIFY(list.findChildren<QNetworkReply *>().isEmpty());
}

void tst_ServerList::defaults()
{
    Client client;
    ServerList list(&client);
    QCOMPARE(list.serversUrl(), QString("https://www.speedtest.net/speedtest-servers-static.php"));
    QCOMPARE(list.count(), 0);
    QVERIFY(!list.isFetched());
    QVERIFY(list.error().isEmpty());
    QCOMPARE(list.client(), &client);
    QCOMPARE(list.property("count").toInt(), 0);
    QVERIFY(!list.setProperty("count", 3));
}

void tst_ServerList::haversine_data()
{
    QTest::addColumn<double>("lat1");
    QTest::addColumn<double>("lon1");
    QTest::addColumn<double>("lat2");
    QTest::addColumn<double>("lon2");
    QTest::addColumn<double>("expected");
    QTest::newRow("same place") << 52.5 << 13.4 << 52.5 << 13.4 << 0.0;
    QTest::newRow("origin") << 0.0 << 0.0 << 0.0 << 0.0 << 0.0;
    QTest::newRow("equatorial degree") << 0.0 << 0.0 << 0.0 << 1.0 << 111.31949079327356;
    QTest::newRow("equatorial degree back") << 0.0 << 1.0 << 0.0 << 0.0 << 111.31949079327356;
    QTest::newRow("antipodal on the equator") << 0.0 << 0.0 << 0.0 << 180.0 << 20037.508342789242;
    QTest::newRow("pole to pole") << 90.0 << 0.0 << -90.0 << 0.0 << 20037.508342789242;
    // Here the sum under the root comes out a hair above 1.
    QTest::newRow("antipodal, rounded past 1") << -87.5 << -166.6 << 87.5 << 13.4 << 20037.508342789242;
}

void tst_ServerList::haversine()
{
    QFETCH(double, lat1);
    QFETCH(double, lon1);
    QFETCH(double, lat2);
    QFETCH(double, lon2);
    QFETCH(double, expected);
    const double actual = ServerList::haversineDistance(lat1, lon1, lat2, lon2);
    // Exactly: the report and the choice of server depend on these digits.
    QVERIFY2(actual == expected, QByteArray::number(actual, 'g', 17));
}

void tst_ServerList::keptAndDroppedEntries()
{
    m_svc.setServersDocument(MixedDocument);
    Client client; // not fetched: the client stands at (0, 0)
    ServerList list(&client);
    list.setServersUrl(m_svc.serversUrl());
    QSignalSpy changed(&list, &ServerList::changed);
    ErrorLog log(&list);
    list.fetch();
    QTRY_COMPARE(changed.count(), 1);
    QCOMPARE(log.texts, QStringList());
    QVERIFY(list.isFetched());
    QCOMPARE(list.count(), 3);

    const ServerItem berlin = list.at(0);
    QCOMPARE(berlin.url(), QString("http://127.0.0.1:8080/speedtest/upload.php"));
    QCOMPARE(berlin.latencyUrl(), QString("http://127.0.0.1:8080/speedtest/latency.txt"));
    QCOMPARE(berlin.latitude(), 52.5);
    QCOMPARE(berlin.longitude(), 13.4);
    QCOMPARE(berlin.name(), QString("Berlin"));
    QCOMPARE(berlin.country(), QString("Germany"));
    QCOMPARE(berlin.sponsor(), QString("Alpha"));
    QCOMPARE(berlin.host(), QString("127.0.0.1:8080"));
    QCOMPARE(berlin.distance(), ServerList::haversineDistance(52.5, 13.4, 0, 0));

    // No path: the last "/" is the scheme's.
    const ServerItem noPath = list.at(1);
    QCOMPARE(noPath.name(), QString("No path"));
    QCOMPARE(noPath.latencyUrl(), QString("http://latency.txt"));
    QCOMPARE(noPath.distance(), 111.31949079327356);

    const ServerItem words = list.at(2);
    QCOMPARE(words.latencyUrl(), QString("https://127.0.0.1:8443/x/y/latency.txt"));
    QCOMPARE(words.latitude(), 0.0);
    QCOMPARE(words.longitude(), 0.0);
    QCOMPARE(words.distance(), 0.0);
    QCOMPARE(words.country(), QString("Nowhere"));
}

void tst_ServerList::distancesFromTheFetchedClient()
{
    m_svc.setClientPosition(52.5, 13.4);
    m_svc.setServersDocument(MixedDocument);
    Client client;
    client.setConfigsUrl(m_svc.configUrl());
    QSignalSpy configs(&client, &Client::configsChanged);
    client.fetch();
    QTRY_COMPARE(configs.count(), 1);

    ServerList list(&client);
    list.setServersUrl(m_svc.serversUrl());
    QSignalSpy changed(&list, &ServerList::changed);
    list.fetch();
    QTRY_COMPARE(changed.count(), 1);
    QCOMPARE(list.count(), 3);
    QCOMPARE(list.at(0).distance(), 0.0);
    QCOMPARE(list.at(1).distance(), ServerList::haversineDistance(0, 1, 52.5, 13.4));
    QCOMPARE(list.at(2).distance(), ServerList::haversineDistance(0, 0, 52.5, 13.4));
    m_svc.setClientPosition(52.52, 13.405);
}

void tst_ServerList::generatedListOfTestServers()
{
    SpeedTestService svc;
    QVERIFY(svc.start());
    const int a = svc.addTestServer(0, 1);
    const int b = svc.addTestServer(0, 180);
    Client client;
    ServerList list(&client);
    list.setServersUrl(svc.serversUrl());
    QSignalSpy changed(&list, &ServerList::changed);
    list.fetch();
    QTRY_COMPARE(changed.count(), 1);
    QCOMPARE(list.count(), 2);
    QCOMPARE(list.at(0).host(), svc.serverHost(a));
    QCOMPARE(list.at(0).latencyUrl(), svc.serverLatencyUrl(a));
    QCOMPARE(list.at(0).distance(), 111.31949079327356);
    QCOMPARE(list.at(1).url(), svc.serverUrl(b));
    QCOMPARE(list.at(1).distance(), 20037.508342789242);
    QCOMPARE(list.at(1).name(), svc.serverEntry(b).name);
    QCOMPARE(list.at(1).sponsor(), svc.serverEntry(b).sponsor);
    QCOMPARE(list.at(1).country(), svc.serverEntry(b).country);
}

void tst_ServerList::userAgentHeader()
{
    Client client;
    client.setUserAgent("Agent of the client/3");
    ServerList list(&client);
    list.setServersUrl(m_svc.serversUrl());
    QSignalSpy changed(&list, &ServerList::changed);
    list.fetch();
    QTRY_COMPARE(changed.count(), 1);
    QCOMPARE(m_svc.lastRequestHeaders(SpeedTestService::ServersPath).value("user-agent"),
             QByteArray("Agent of the client/3"));
}

void tst_ServerList::fetchWhileFetchingIsIgnored()
{
    m_svc.setServersDocument(MixedDocument);
    HttpBehaviour slow;
    slow.delayMs = 150;
    m_svc.setDocumentFault(SpeedTestService::ServersPath, slow);
    Client client;
    ServerList list(&client);
    list.setServersUrl(m_svc.serversUrl());
    QSignalSpy changed(&list, &ServerList::changed);
    QSignalSpy errors(&list, &ServerList::errorChanged);
    list.fetch();
    list.fetch();
    QTRY_COMPARE(changed.count(), 1);
    waitIdle(list);
    QTest::qWait(50);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(m_svc.requestCount(SpeedTestService::ServersPath), 1);
    QCOMPARE(list.count(), 3);

    // Finished: the next fetch is taken.
    list.fetch();
    QTRY_COMPARE(changed.count(), 2);
    QCOMPARE(m_svc.requestCount(SpeedTestService::ServersPath), 2);
}

void tst_ServerList::secondFetchParsesOnlyItsBody()
{
    m_svc.setServersDocument(MixedDocument);
    Client client;
    ServerList list(&client);
    list.setServersUrl(m_svc.serversUrl());
    QSignalSpy changed(&list, &ServerList::changed);
    list.fetch();
    QTRY_COMPARE(changed.count(), 1);
    QCOMPARE(list.count(), 3);

    m_svc.setServersDocument("<s><l><server url='http://127.0.0.1:7/only/one.php' name='One'/></l></s>");
    list.fetch();
    QTRY_COMPARE(changed.count(), 2);
    QCOMPARE(list.count(), 1);
    QCOMPARE(list.at(0).name(), QString("One"));
    QVERIFY(list.error().isEmpty());
}

void tst_ServerList::noEntries()
{
    Client client;
    ServerList list(&client);
    list.setServersUrl(m_svc.serversUrl());
    QSignalSpy changed(&list, &ServerList::changed);
    for (const QByteArray &doc : { QByteArray("<settings><servers>  <!-- none --> </servers></settings>"),
                                   QByteArray("<settings/>") }) {
        m_svc.setServersDocument(doc);
        const int before = changed.count();
        list.fetch();
        QTRY_COMPARE(changed.count(), before + 1);
        QCOMPARE(list.count(), 0);
        QVERIFY(list.isFetched());
        QVERIFY(list.error().isEmpty());
        waitIdle(list);
    }
}

void tst_ServerList::setServers()
{
    Client client;
    ServerList list(&client);
    list.setServersUrl(m_svc.serversUrl());
    QSignalSpy changed(&list, &ServerList::changed);
    list.fetch();
    QTRY_COMPARE(changed.count(), 1);
    QVERIFY(list.isFetched());

    ServerItem a;
    a.setHost("127.0.0.1:1");
    a.setUrl("http://127.0.0.1:1/u.php");
    a.setDistance(1234.5); // kept as given, not recomputed
    ServerItem b;
    b.setHost("127.0.0.1:2");
    list.setServers({ a, b });
    QCOMPARE(changed.count(), 2);
    QCOMPARE(list.count(), 2);
    QVERIFY(!list.isFetched());
    QCOMPARE(list.at(0).distance(), 1234.5);
    QCOMPARE(list.at(1).host(), QString("127.0.0.1:2"));
    list.setServers({ a, b });
    QCOMPARE(changed.count(), 3);
    list.setServers({});
    QCOMPARE(changed.count(), 4);
    QCOMPARE(list.count(), 0);
}

void tst_ServerList::setServersUrl()
{
    Client client;
    ServerList list(&client);
    QSignalSpy spy(&list, &ServerList::serversUrlChanged);
    list.setServersUrl(list.serversUrl());
    QCOMPARE(spy.count(), 0);
    list.setServersUrl(m_svc.serversUrl());
    QCOMPARE(spy.count(), 1);
    QVERIFY(list.setProperty("serversUrl", m_svc.serversUrl()));
    QCOMPARE(spy.count(), 1);
}

void tst_ServerList::downloadProgressForwarded()
{
    m_svc.setServersDocument(MixedDocument);
    HttpBehaviour pieces;
    pieces.pieces = 3;
    pieces.pieceIntervalMs = 150; // the reply reports progress at most every 100 ms
    m_svc.setDocumentFault(SpeedTestService::ServersPath, pieces);
    Client client;
    ServerList list(&client);
    list.setServersUrl(m_svc.serversUrl());
    QSignalSpy changed(&list, &ServerList::changed);
    QSignalSpy progress(&list, &ServerList::downloadProgress);
    list.fetch();
    QTRY_COMPARE(changed.count(), 1);
    QVERIFY2(progress.count() >= 2, QByteArray::number(progress.count()));
    QVERIFY(progress.first().at(0).toLongLong() < qlonglong(MixedDocument.size()));
    const QList<QVariant> last = progress.last();
    QCOMPARE(last.at(0).toLongLong(), qlonglong(MixedDocument.size()));
    QCOMPARE(last.at(1).toLongLong(), qlonglong(MixedDocument.size()));
}

void tst_ServerList::errors_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<HttpBehaviour>("behaviour");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("count"); // -1: no changed()

    const QString url = m_svc.serversUrl();
    HttpBehaviour b;

    QTest::newRow("connection refused")
        << QString("http://127.0.0.1:%1/s.php").arg(SpeedTestService::closedPort()) << b
        << QStringList({ "Server file error: Connection refused",
                         "Servers file error: " + domMessage(QByteArray()) })
        << -1;

    b = HttpBehaviour();
    b.body = QByteArray();
    QTest::newRow("empty body") << url << b
                                << QStringList({ "Servers file error: " + domMessage(QByteArray()) })
                                << -1;

    b = HttpBehaviour();
    b.body = QByteArray("servers: none");
    QTest::newRow("plain text") << url << b
                                << QStringList({ "Servers file error: " + domMessage("servers: none") })
                                << -1;

    b = HttpBehaviour();
    b.status = 500;
    b.body = QByteArray("<html><p>broken<br></html>");
    QTest::newRow("HTTP error page")
        << url << b
        << QStringList({ "Server file error: Error transferring " + url
                             + " - server replied: Internal Server Error",
                         "Servers file error: " + domMessage(*b.body) })
        << -1;

    // Well-formed XML is read as a list, whatever the status.
    b = HttpBehaviour();
    b.status = 404;
    b.body = QByteArray("<html><body><p url='http://127.0.0.1:3/a.php'/></body></html>");
    QTest::newRow("HTTP error page as XML")
        << url << b
        << QStringList({ "Server file error: Error transferring " + url
                         + " - server replied: Not Found" })
        << 1;

    b = HttpBehaviour();
    b.silent = true;
    QTest::newRow("silence")
        << url << b
        << QStringList({ "Server file error: Request timed out after 0.3 s without data" }) << -1;

    b = HttpBehaviour();
    b.pieces = 2;
    b.pieceIntervalMs = 5000;
    QTest::newRow("silence mid-body")
        << url << b
        << QStringList({ "Server file error: Request timed out after 0.3 s without data" }) << -1;

    b = HttpBehaviour();
    b.endless = true;
    QTest::newRow("endless body")
        << url << b
        << QStringList({ "Server file error: Document too large (more than 262144 bytes)" }) << -1;
}

void tst_ServerList::errors()
{
    QFETCH(QString, url);
    QFETCH(HttpBehaviour, behaviour);
    QFETCH(QStringList, expected);
    QFETCH(int, count);

    m_svc.addTestServer(0, 0); // a non-empty default list
    m_svc.setDocumentFault(SpeedTestService::ServersPath, behaviour);
    Client client;
    ServerList list(&client);
    list.setServersUrl(url);
    QSignalSpy changed(&list, &ServerList::changed);
    ErrorLog log(&list);
    list.fetch();
    QTRY_COMPARE(log.texts.size(), expected.size());
    waitIdle(list);
    QCOMPARE(log.texts, expected);
    QCOMPARE(list.error(), expected.last());
    if (count < 0) {
        QCOMPARE(changed.count(), 0);
        QCOMPARE(list.count(), 0);
        QVERIFY(!list.isFetched());
    } else {
        QCOMPARE(changed.count(), 1);
        QCOMPARE(list.count(), count);
    }
    QTRY_COMPARE(m_svc.openConnectionCount(), 0);

    // The failed request no longer blocks the next one, and the error stays.
    m_svc.clearDocumentFault(SpeedTestService::ServersPath);
    list.setServersUrl(m_svc.serversUrl());
    const int before = changed.count();
    list.fetch();
    QTRY_COMPARE(changed.count(), before + 1);
    QVERIFY(list.count() > 0);
    QVERIFY(list.isFetched());
    QCOMPARE(list.error(), expected.last());
}

void tst_ServerList::failedFetchEmptiesTheList()
{
    Client client;
    ServerList list(&client);
    list.setServersUrl(m_svc.serversUrl());
    m_svc.setServersDocument(MixedDocument);
    QSignalSpy changed(&list, &ServerList::changed);
    list.fetch();
    QTRY_COMPARE(changed.count(), 1);
    QCOMPARE(list.count(), 3);
    QVERIFY(list.isFetched());

    HttpBehaviour broken;
    broken.body = QByteArray("not xml");
    m_svc.setDocumentFault(SpeedTestService::ServersPath, broken);
    QSignalSpy errors(&list, &ServerList::errorChanged);
    list.fetch();
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(list.count(), 0);
    QCOMPARE(changed.count(), 1);
    // The flag still tells about the last completed parse.
    QVERIFY(list.isFetched());
}

void tst_ServerList::destroyedWhileFetching()
{
    HttpBehaviour silent;
    silent.silent = true;
    m_svc.setDocumentFault(SpeedTestService::ServersPath, silent);
    Client client;
    auto *list = new ServerList(&client);
    list->setServersUrl(m_svc.serversUrl());
    int emitted = 0;
    connect(list, &ServerList::changed, this, [&] { ++emitted; });
    connect(list, &ServerList::errorChanged, this, [&] { ++emitted; });
    list->fetch();
    QTRY_COMPARE(m_svc.requestCount(SpeedTestService::ServersPath), 1);
    delete list;
    QTRY_COMPARE(m_svc.openConnectionCount(), 0);
    QTest::qWait(IdleBoundMs + 100);
    QCOMPARE(emitted, 0);
}

void tst_ServerList::parseWithoutNetwork()
{
    QString error = "stale";
    const QList<ServerItem> servers = ServerList::parseServers(MixedDocument, 52.5, 13.4, &error);
    QVERIFY(error.isEmpty());
    QCOMPARE(servers.size(), 3);
    QCOMPARE(servers.at(0).distance(), 0.0);
    QVERIFY(ServerList::parseServers("<a><b/></a>", 0, 0, &error).isEmpty());
    QVERIFY(error.isEmpty());
    QVERIFY(ServerList::parseServers("<a>", 0, 0, &error).isEmpty());
    QCOMPARE(error, "Servers file error: " + domMessage("<a>"));
    QVERIFY(ServerList::parseServers("<a>", 0, 0).isEmpty()); // no error wanted
}

QTEST_GUILESS_MAIN(tst_ServerList)
#include "tst_serverlist.moc"
