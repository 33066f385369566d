#include <QDomDocument>
#include <QNetworkReply>
#include <QtTest>

#include "Client.h"
#include "ErrorLog.h"
#include "ReplyGuard.h"
#include "SpeedTestService.h"

Q_DECLARE_METATYPE(HttpBehaviour)

namespace {

const int IdleBoundMs = 300;
const qint64 BodyLimit = 256 * 1024;

const QByteArray FullDocument =
    "<?xml version='1.0' encoding='UTF-8'?>\n"
    "<!-- before the root -->\n"
    "<settings>\n"
    "  <!-- between the children -->\n"
    "  <client ip='203.0.113.7' lat='52.5' lon='13.4' isp='Acme Net' rating='0' isprating='3.7' ispdlavg='41032' ispulavg='9811' loggedin='0'/>\n"
    "  <server-config threadcount='4' ignoreids=''/>\n"
    "  <licensekey>abc<!-- not text -->def</licensekey>\n"
    "  <customer>Shop<b>inner</b></customer>\n"
    "  <mixed a='1'>dropped text</mixed>\n"
    "  <download testlength='10' initialtest='250K' mintestsize='10m' threadsperurl='4'/>\n"
    "  <upload testlength='10' ratio='5'/>\n"
    "  <latency testlength='10' waittime='50' timeout='20'/>\n"
    "  <socket-download testlength='15'/>\n"
    "  <?processing instruction?>\n"
    "  <socket-latency testlength='11' waittime='51' timeout='3'/>\n"
    "  <empty/>\n"
    "  <Client isp='Upper case is another element'/>\n"
    "  <cdata><![CDATA[raw <text>]]></cdata>\n"
    "</settings>\n";

} // namespace

class tst_Client : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void defaults();
    void setters_data();
    void setters();
    void fullDocument();
    void sameDocumentAgain();
    void laterElementWins();
    void bodyInPieces();
    void dataRestartsTheIdleBound();
    void redirectFollowed();
    void concurrentFetchesKeepTheirBodies();
    void errors_data();
    void errors();
    void errorStaysAfterSuccess();
    void userAgentHeader();
    void debugTrace();
    void destroyedWhileFetching();
    void parseWithoutNetwork();

private:
    void waitIdle(Client &client);
    SpeedTestService m_svc;
};

void tst_Client::initTestCase()
{
    // The product's bounds, before the tests shorten them.
    QCOMPARE(ReplyGuard::idleTimeout(), 30000);
    QCOMPARE(ReplyGuard::bodyLimit(), qint64(32 * 1024 * 1024));
    ReplyGuard::setIdleTimeoutForTesting(IdleBoundMs);
    ReplyGuard::setBodyLimitForTesting(BodyLimit);
    QVERIFY(m_svc.start());
}

void tst_Client::init()
{
    m_svc.resetDocument(SpeedTestService::ConfigPath);
    m_svc.clearDocumentFault(SpeedTestService::ConfigPath);
    m_svc.clearRecords();
}

// The reply is gone, so its body has been parsed.
void tst_Client::waitIdle(Client &client)
{
    QTRY_VERIFY(client.findChildren<QNetworkReply *>().isEmpty());
}

void tst_Client::defaults()
{
    Client client;
    QCOMPARE(client.configsUrl(), QString("https://www.speedtest.net/speedtest-config.php"));
    QCOMPARE(client.userAgent(), QString("Linkometer/1.0.0"));
    QVERIFY(client.configs().isEmpty());
    QVERIFY(client.error().isEmpty());
    QVERIFY(client.configClient().isp().isNull());
    QCOMPARE(client.configDownload().testlength(), 0);
    QCOMPARE(client.configLatency().timeout(), 0);
    QVERIFY(client.findChildren<QNetworkReply *>().isEmpty());
    QCOMPARE(client.metaObject()->className(), "Client");
    QCOMPARE(client.property("configsUrl").toString(), client.configsUrl());
}

void tst_Client::setters_data()
{
    QTest::addColumn<QByteArray>("property");
    QTest::newRow("configsUrl") << QByteArray("configsUrl");
    QTest::newRow("userAgent") << QByteArray("userAgent");
}

void tst_Client::setters()
{
    QFETCH(QByteArray, property);
    Client client;
    QSignalSpy urlSpy(&client, &Client::configsUrlChanged);
    QSignalSpy agentSpy(&client, &Client::userAgentChanged);
    QSignalSpy &spy = property == "configsUrl" ? urlSpy : agentSpy;
    QSignalSpy &other = property == "configsUrl" ? agentSpy : urlSpy;
    const QString current = client.property(property).toString();
    QVERIFY(client.setProperty(property, current));
    QCOMPARE(spy.count(), 0);
    QVERIFY(client.setProperty(property, QString("http://127.0.0.1:1/x")));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(client.property(property).toString(), QString("http://127.0.0.1:1/x"));
    QVERIFY(client.setProperty(property, QString("http://127.0.0.1:1/x")));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(other.count(), 0);
    // Read-only properties stay read-only.
    QVERIFY(!client.setProperty("configs", QVariantMap()));
    QVERIFY(!client.setProperty("error", QString("x")));
}

void tst_Client::fullDocument()
{
    m_svc.setConfigDocument(FullDocument);
    Client client;
    client.setConfigsUrl(m_svc.configUrl());
    QSignalSpy changed(&client, &Client::configsChanged);
    QSignalSpy errors(&client, &Client::errorChanged);
    client.fetch();
    QTRY_COMPARE(changed.count(), 1);
    waitIdle(client);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(errors.count(), 0);

    const ConfigClient c = client.configClient();
    QCOMPARE(c.ip(), QString("203.0.113.7"));
    QCOMPARE(c.lat(), 52.5);
    QCOMPARE(c.lon(), 13.4);
    QCOMPARE(c.isp(), QString("Acme Net"));
    QCOMPARE(c.isprating(), 3.7);
    QCOMPARE(c.ispdlavg(), 41032.0);
    QCOMPARE(c.ispulavg(), 9811.0);
    QCOMPARE(client.configDownload().testlength(), 10);
    QCOMPARE(client.configDownload().initialtest(), qint64(250000));
    QCOMPARE(client.configDownload().mintestsize(), qint64(10000000));
    QCOMPARE(client.configDownload().threadsperurl(), 4);
    // "latency", not "socket-latency".
    QCOMPARE(client.configLatency().testlength(), 10);
    QCOMPARE(client.configLatency().waittime(), 50);
    QCOMPARE(client.configLatency().timeout(), 20);

    const QVariantMap configs = client.configs();
    QCOMPARE(configs.keys(), QStringList({ "Client", "cdata", "client", "customer", "download",
                                           "empty", "latency", "licensekey", "mixed",
                                           "server-config", "socket-download", "socket-latency",
                                           "upload" }));
    const QVariantMap clientMap = configs.value("client").toMap();
    QCOMPARE(clientMap.keys(), QStringList({ "ip", "isp", "ispdlavg", "isprating", "ispulavg",
                                             "lat", "loggedin", "lon", "rating" }));
    QCOMPARE(clientMap.value("lat").userType(), int(QMetaType::QString));
    QCOMPARE(clientMap.value("lat"), QVariant(QString("52.5")));
    QCOMPARE(clientMap.value("isp"), QVariant(QString("Acme Net")));
    QCOMPARE(configs.value("server-config").toMap().value("ignoreids"), QVariant(QString("")));
    QCOMPARE(configs.value("socket-latency").toMap(),
             QVariantMap({ { "testlength", QString("11") }, { "waittime", QString("51") },
                           { "timeout", QString("3") } }));
    QCOMPARE(configs.value("download").toMap().value("mintestsize"), QVariant(QString("10m")));
    // Elements without attributes hold their text, comments left out.
    QCOMPARE(configs.value("licensekey"), QVariant(QString("abcdef")));
    QCOMPARE(configs.value("customer"), QVariant(QString("Shopinner")));
    QCOMPARE(configs.value("cdata"), QVariant(QString("raw <text>")));
    QCOMPARE(configs.value("empty").userType(), int(QMetaType::QString));
    QCOMPARE(configs.value("empty").toString(), QString());
    // Attributes win over text.
    QCOMPARE(configs.value("mixed"), QVariant(QVariantMap({ { "a", QString("1") } })));
    QCOMPARE(configs.value("Client").toMap().value("isp"),
             QVariant(QString("Upper case is another element")));
    QCOMPARE(client.property("configs").toMap(), configs);
}

void tst_Client::sameDocumentAgain()
{
    Client client;
    client.setConfigsUrl(m_svc.configUrl());
    QSignalSpy changed(&client, &Client::configsChanged);
    client.fetch();
    QTRY_COMPARE(changed.count(), 1);
    waitIdle(client);
    const QVariantMap first = client.configs();

    client.fetch();
    waitIdle(client);
    QCOMPARE(m_svc.requestCount(SpeedTestService::ConfigPath), 2);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(client.configs(), first);

    m_svc.setConfigAttribute("client", "isp", "Other Net");
    client.fetch();
    QTRY_COMPARE(changed.count(), 2);
    waitIdle(client);
    QCOMPARE(client.configClient().isp(), QString("Other Net"));
    m_svc.setConfigAttribute("client", "isp", "Acme Net");
}

void tst_Client::laterElementWins()
{
    m_svc.setConfigDocument("<s><download testlength='1' threadsperurl='2'/>"
                            "<download testlength='3'/><latency timeout='4'/></s>");
    Client client;
    client.setConfigsUrl(m_svc.configUrl());
    QSignalSpy changed(&client, &Client::configsChanged);
    client.fetch();
    QTRY_COMPARE(changed.count(), 1);
    QCOMPARE(client.configDownload().testlength(), 3);
    QCOMPARE(client.configDownload().threadsperurl(), 0);
    QCOMPARE(client.configs().value("download").toMap(),
             QVariantMap({ { "testlength", QString("3") } }));

    // A document without "client" leaves the client record as it was.
    m_svc.setConfigDocument(FullDocument);
    client.fetch();
    QTRY_COMPARE(changed.count(), 2);
    m_svc.setConfigDocument("<s><latency timeout='9'/></s>");
    client.fetch();
    QTRY_COMPARE(changed.count(), 3);
    QCOMPARE(client.configClient().isp(), QString("Acme Net"));
    QCOMPARE(client.configLatency().timeout(), 9);
    QCOMPARE(client.configs().keys(), QStringList({ "latency" }));
}

void tst_Client::bodyInPieces()
{
    m_svc.setConfigDocument(FullDocument);
    HttpBehaviour pieces;
    pieces.pieces = 5;
    pieces.pieceIntervalMs = 40;
    m_svc.setDocumentFault(SpeedTestService::ConfigPath, pieces);
    Client client;
    client.setConfigsUrl(m_svc.configUrl());
    QSignalSpy changed(&client, &Client::configsChanged);
    QSignalSpy errors(&client, &Client::errorChanged);
    client.fetch();
    QTRY_COMPARE(changed.count(), 1);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(client.configs().size(), 13);
    QCOMPARE(client.configClient().isp(), QString("Acme Net"));
}

void tst_Client::dataRestartsTheIdleBound()
{
    // Longer in all than the bound, but never silent for that long.
    HttpBehaviour slow;
    slow.pieces = 4;
    slow.pieceIntervalMs = IdleBoundMs * 2 / 3;
    m_svc.setDocumentFault(SpeedTestService::ConfigPath, slow);
    Client client;
    client.setConfigsUrl(m_svc.configUrl());
    QSignalSpy changed(&client, &Client::configsChanged);
    ErrorLog log(&client);
    client.fetch();
    QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 5000);
    QCOMPARE(log.texts, QStringList());
}

void tst_Client::redirectFollowed()
{
    m_svc.setDocument("/moved/config.php", FullDocument);
    HttpBehaviour redirect;
    redirect.redirectTo = "/moved/config.php";
    m_svc.setDocumentFault(SpeedTestService::ConfigPath, redirect);
    Client client;
    client.setConfigsUrl(m_svc.configUrl());
    QSignalSpy changed(&client, &Client::configsChanged);
    client.fetch();
    QTRY_COMPARE(changed.count(), 1);
    QCOMPARE(m_svc.requestCount("/moved/config.php"), 1);
    QCOMPARE(client.configClient().isp(), QString("Acme Net"));
    QVERIFY(client.error().isEmpty());
}

void tst_Client::concurrentFetchesKeepTheirBodies()
{
    HttpBehaviour pieces;
    pieces.pieces = 3;
    pieces.pieceIntervalMs = 50;
    m_svc.setDocumentFault(SpeedTestService::ConfigPath, pieces);
    Client client;
    client.setConfigsUrl(m_svc.configUrl());
    QSignalSpy changed(&client, &Client::configsChanged);
    ErrorLog log(&client);
    client.fetch();
    client.fetch();
    QTRY_COMPARE(m_svc.requestCount(SpeedTestService::ConfigPath), 2);
    waitIdle(client);
    // Mixed buffers would not parse; two clean bodies of one document give
    // one change.
    QCOMPARE(log.texts, QStringList());
    QCOMPARE(changed.count(), 1);
    QCOMPARE(client.configs().value("client").toMap().value("isp"), QVariant(QString("Acme Net")));
}

void tst_Client::errors_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<HttpBehaviour>("behaviour");
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("changes");

    m_svc.resetDocument(SpeedTestService::ConfigPath);
    const QString url = m_svc.configUrl();
    const QByteArray doc = m_svc.configDocument();
    HttpBehaviour b;

    b = HttpBehaviour();
    b.body = QByteArray();
    QTest::newRow("empty body") << url << b << doc << QStringList({ "Empty config file" }) << 0;

    b = HttpBehaviour();
    b.body = QByteArray("just some text");
    QTest::newRow("plain text") << url << b << doc
                                << QStringList({ "Config file error: " + domMessage("just some text") })
                                << 0;

    QTest::newRow("no child elements")
        << url << HttpBehaviour() << QByteArray("<settings>\n  <!-- none -->\n</settings>\n")
        << QStringList({ "Config file error: No settings in the document" }) << 0;

    const QString refused = QString("http://127.0.0.1:%1/speedtest-config.php")
                                .arg(SpeedTestService::closedPort());
    QTest::newRow("connection refused")
        << refused << HttpBehaviour() << doc
        << QStringList({ "Config file error: Connection refused", "Empty config file" }) << 0;

    b = HttpBehaviour();
    b.status = 503;
    b.body = QByteArray("<html><p>Down for maintenance<br></html>");
    QTest::newRow("HTTP error page")
        << url << b << doc
        << QStringList({ "Config file error: Error transferring " + url
                             + " - server replied: Service Unavailable",
                         "Config file error: " + domMessage(*b.body) })
        << 0;

    // An error page that happens to be XML is still read as a document.
    b = HttpBehaviour();
    b.status = 404;
    b.body = QByteArray("<html><body>gone</body></html>");
    QTest::newRow("HTTP error page as XML")
        << url << b << doc
        << QStringList({ "Config file error: Error transferring " + url
                         + " - server replied: Not Found" })
        << 1;

    b = HttpBehaviour();
    b.closeAfterBytes = 100;
    QTest::newRow("connection closed mid-body")
        << url << b << doc
        << QStringList({ "Config file error: Connection closed",
                         "Config file error: " + domMessage(doc.left(100)) })
        << 0;

    b = HttpBehaviour();
    b.silent = true;
    QTest::newRow("silence")
        << url << b << doc
        << QStringList({ "Config file error: Request timed out after 0.3 s without data" }) << 0;

    // The first piece arrives, then nothing: the cut body is not parsed.
    b = HttpBehaviour();
    b.pieces = 2;
    b.pieceIntervalMs = 5000;
    QTest::newRow("silence mid-body")
        << url << b << doc
        << QStringList({ "Config file error: Request timed out after 0.3 s without data" }) << 0;

    b = HttpBehaviour();
    b.endless = true;
    QTest::newRow("endless body")
        << url << b << doc
        << QStringList({ "Config file error: Document too large (more than 262144 bytes)" }) << 0;

    QTest::newRow("declared too large")
        << url << HttpBehaviour() << QByteArray("<s>" + QByteArray(int(BodyLimit), ' ') + "<a/></s>")
        << QStringList({ "Config file error: Document too large (more than 262144 bytes)" }) << 0;
}

void tst_Client::errors()
{
    QFETCH(QString, url);
    QFETCH(HttpBehaviour, behaviour);
    QFETCH(QByteArray, document);
    QFETCH(QStringList, expected);
    QFETCH(int, changes);

    m_svc.setConfigDocument(document);
    m_svc.setDocumentFault(SpeedTestService::ConfigPath, behaviour);
    Client client;
    client.setConfigsUrl(url);
    QSignalSpy changed(&client, &Client::configsChanged);
    ErrorLog log(&client);
    client.fetch();
    QTRY_COMPARE(log.texts.size(), expected.size());
    waitIdle(client);
    QCOMPARE(log.texts, expected);
    QCOMPARE(client.error(), expected.last());
    QCOMPARE(changed.count(), changes);
    if (changes == 0) {
        QVERIFY(client.configs().isEmpty());
        QVERIFY(client.configClient().isp().isNull());
        QCOMPARE(client.configDownload().testlength(), 0);
    }
    // A cut request is really given up: the service sees it closed.
    QTRY_COMPARE(m_svc.openConnectionCount(), 0);
}

void tst_Client::errorStaysAfterSuccess()
{
    Client client;
    client.setConfigsUrl(QString("http://127.0.0.1:%1/speedtest-config.php")
                             .arg(SpeedTestService::closedPort()));
    QSignalSpy changed(&client, &Client::configsChanged);
    ErrorLog log(&client);
    client.fetch();
    QTRY_COMPARE(log.texts.size(), 2);
    client.setConfigsUrl(m_svc.configUrl());
    client.fetch();
    QTRY_COMPARE(changed.count(), 1);
    waitIdle(client);
    QCOMPARE(client.error(), QString("Empty config file"));
    QCOMPARE(log.texts.size(), 2);
}

void tst_Client::userAgentHeader()
{
    Client client;
    client.setConfigsUrl(m_svc.configUrl());
    QSignalSpy changed(&client, &Client::configsChanged);
    client.fetch();
    QTRY_COMPARE(changed.count(), 1);
    QCOMPARE(m_svc.lastRequestHeaders(SpeedTestService::ConfigPath).value("user-agent"),
             QByteArray("Linkometer/1.0.0"));
    QCOMPARE(m_svc.lastRequest(SpeedTestService::ConfigPath).method, QByteArray("GET"));

    client.setUserAgent("Custom Agent/2.0");
    client.fetch();
    QTRY_COMPARE(m_svc.requestCount(SpeedTestService::ConfigPath), 2);
    QCOMPARE(m_svc.lastRequestHeaders(SpeedTestService::ConfigPath).value("user-agent"),
             QByteArray("Custom Agent/2.0"));
    waitIdle(client);
}

void tst_Client::debugTrace()
{
    const QByteArray doc = "<s><client isp='x'/></s>";
    m_svc.setConfigDocument(doc);
    Client client;
    client.setConfigsUrl(m_svc.configUrl());
    QTest::ignoreMessage(QtDebugMsg, "client start fetch: ");
    QTest::ignoreMessage(QtDebugMsg, QByteArray("reply: " + QByteArray::number(doc.size())).constData());
    QTest::ignoreMessage(QtDebugMsg, "buffer size: 1");
    QTest::ignoreMessage(QtDebugMsg, QByteArray("reply byte: " + QByteArray::number(doc.size())).constData());
    client.fetch();
    waitIdle(client);
    QCOMPARE(client.configClient().isp(), QString("x"));

    client.setConfigsUrl(QString("http://127.0.0.1:%1/c").arg(SpeedTestService::closedPort()));
    QTest::ignoreMessage(QtDebugMsg, "client start fetch: ");
    QTest::ignoreMessage(QtDebugMsg, "config error: Connection refused");
    QTest::ignoreMessage(QtDebugMsg, "buffer size: 0"); // nothing was read
    QTest::ignoreMessage(QtDebugMsg, "reply byte: 0");
    client.fetch();
    waitIdle(client);
}

void tst_Client::destroyedWhileFetching()
{
    HttpBehaviour silent;
    silent.silent = true;
    m_svc.setDocumentFault(SpeedTestService::ConfigPath, silent);
    int emitted = 0;
    auto *client = new Client;
    client->setConfigsUrl(m_svc.configUrl());
    connect(client, &Client::errorChanged, this, [&] { ++emitted; });
    connect(client, &Client::configsChanged, this, [&] { ++emitted; });
    client->fetch();
    QTRY_COMPARE(m_svc.requestCount(SpeedTestService::ConfigPath), 1);
    delete client;
    QTRY_COMPARE(m_svc.openConnectionCount(), 0);
    QTest::qWait(IdleBoundMs + 100);
    QCOMPARE(emitted, 0);
}

void tst_Client::parseWithoutNetwork()
{
    const ConfigDocument doc = Client::parseConfigDocument(FullDocument);
    QVERIFY(doc.error.isEmpty());
    QVERIFY(doc.client && doc.download && doc.latency && doc.socketLatency);
    QCOMPARE(doc.socketLatency->timeout(), 3);
    QCOMPARE(doc.configs.size(), 13);

    const ConfigDocument partial = Client::parseConfigDocument("<s><upload a='1'/></s>");
    QVERIFY(partial.error.isEmpty());
    QVERIFY(!partial.client && !partial.download && !partial.latency && !partial.socketLatency);

    QCOMPARE(Client::parseConfigDocument(QByteArray()).error, QString("Empty config file"));
    QCOMPARE(Client::parseConfigDocument("<s>").error, "Config file error: " + domMessage("<s>"));
    QCOMPARE(Client::parseConfigDocument("<s/>").error,
             QString("Config file error: No settings in the document"));
}

QTEST_GUILESS_MAIN(tst_Client)
#include "tst_client.moc"
