#include <QDomDocument>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTcpSocket>
#include <QtTest>

#include "SpeedTestService.h"

Q_DECLARE_METATYPE(HttpBehaviour)

// The local speed-test service is what every engine test talks to, so its
// own promises are checked here with real Qt clients on loopback.
class tst_SpeedTestService : public QObject
{
    Q_OBJECT

private slots:
    void generatedDocuments();
    void setDocumentAndRecords();
    void httpFaults_data();
    void httpFaults();
    void bodyInPieces();
    void boundedRate();
    void testServerHttp();
    void download_data();
    void download();
    void downloadLargeCountStreams();
    void downloadSilentRecordsCommand();
    void downloadEndless();
    void downloadRate();
    void stoppedAndClosedPorts();

private:
    struct Fetched
    {
        QNetworkReply::NetworkError error = QNetworkReply::NoError;
        int status = 0;
        QByteArray body;
        int reads = 0;
        bool finished = false;
    };
    // GETs url and waits up to waitMs for the reply to finish.
    Fetched get(const QString &url, int waitMs = 5000, qint64 abortAfter = -1);
};

tst_SpeedTestService::Fetched tst_SpeedTestService::get(const QString &url, int waitMs,
                                                        qint64 abortAfter)
{
    QNetworkAccessManager manager;
    QNetworkRequest request{QUrl(url)};
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArrayLiteral("ServiceTest/1"));
    QNetworkReply *reply = manager.get(request);
    Fetched f;
    connect(reply, &QNetworkReply::readyRead, this, [&] {
        ++f.reads;
        f.body += reply->readAll();
        if (abortAfter >= 0 && f.body.size() > abortAfter)
            reply->abort();
    });
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(waitMs);
    f.finished = reply->isFinished();
    f.error = reply->error();
    f.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (f.finished && reply->isOpen())
        f.body += reply->readAll();
    delete reply;
    return f;
}

void tst_SpeedTestService::generatedDocuments()
{
    SpeedTestService svc;
    QVERIFY(svc.start());
    const int a = svc.addTestServer(10.5, -20.25);
    const int b = svc.addTestServer(0, 0);
    QCOMPARE(a, 0);
    QCOMPARE(b, 1);

    const Fetched config = get(svc.configUrl());
    QCOMPARE(config.error, QNetworkReply::NoError);
    QCOMPARE(config.status, 200);
    QDomDocument doc;
    QVERIFY(doc.setContent(config.body));
    QStringList names;
    for (QDomElement e = doc.documentElement().firstChildElement(); !e.isNull();
         e = e.nextSiblingElement())
        names << e.tagName();
    QCOMPARE(names, QStringList({ "client", "server-config", "download", "upload", "latency",
                                  "socket-download", "socket-latency" }));
    const QDomElement client = doc.documentElement().firstChildElement("client");
    QCOMPARE(client.attribute("isp"), QString("Acme Net"));
    QCOMPARE(client.attribute("lat"), QString("52.52"));

    svc.setClientPosition(-1.5, 2.25);
    svc.setConfigAttribute("download", "testlength", "3");
    svc.setConfigAttribute("extra", "x", "y");
    QVERIFY(doc.setContent(get(svc.configUrl()).body));
    QCOMPARE(doc.documentElement().firstChildElement("client").attribute("lat"), QString("-1.5"));
    QCOMPARE(doc.documentElement().firstChildElement("client").attribute("lon"), QString("2.25"));
    QCOMPARE(doc.documentElement().firstChildElement("download").attribute("testlength"), QString("3"));
    QCOMPARE(doc.documentElement().lastChildElement().tagName(), QString("extra"));

    const Fetched servers = get(svc.serversUrl());
    QCOMPARE(servers.status, 200);
    QVERIFY(doc.setContent(servers.body));
    const QDomNodeList entries = doc.documentElement().firstChild().childNodes();
    QCOMPARE(entries.size(), 2);
    const QDomElement first = entries.at(0).toElement();
    QCOMPARE(first.attribute("url"), svc.serverUrl(a));
    QCOMPARE(first.attribute("host"), QString("127.0.0.1:%1").arg(svc.serverPort(a)));
    QCOMPARE(first.attribute("lat"), QString("10.5"));
    QCOMPARE(first.attribute("lon"), QString("-20.25"));
    QCOMPARE(first.attribute("id"), QString("1000"));
    for (const char *attribute : { "name", "country", "cc", "sponsor" })
        QVERIFY2(!first.attribute(attribute).isEmpty(), attribute);
    QCOMPARE(entries.at(1).toElement().attribute("host"), svc.serverHost(b));
    QCOMPARE(svc.serversDocument(), servers.body);
}

void tst_SpeedTestService::setDocumentAndRecords()
{
    SpeedTestService svc;
    QVERIFY(svc.start());
    svc.setConfigDocument("<a/>");
    QSignalSpy received(&svc, &SpeedTestService::requestReceived);
    QCOMPARE(get(svc.configUrl() + "?x=1").body, QByteArray("<a/>"));
    QCOMPARE(get(svc.baseUrl() + "/nothing").status, 404);
    QCOMPARE(received.count(), 2);
    QCOMPARE(received.at(0).at(0).toInt(), int(SpeedTestService::WebHost));
    QCOMPARE(received.at(0).at(1).toString(), QString(SpeedTestService::ConfigPath));
    QCOMPARE(svc.requestCount(SpeedTestService::ConfigPath), 1);
    QCOMPARE(svc.requestCount("/nothing"), 1);
    QCOMPARE(svc.lastRequest(SpeedTestService::ConfigPath).target,
             QByteArray("/speedtest-config.php?x=1"));
    QCOMPARE(svc.lastRequestHeaders(SpeedTestService::ConfigPath).value("user-agent"),
             QByteArray("ServiceTest/1"));
    QCOMPARE(svc.connectionCount(), 2);
    QTRY_COMPARE(svc.openConnectionCount(), 0);
    svc.resetDocument(SpeedTestService::ConfigPath);
    QVERIFY(get(svc.configUrl()).body.contains("Acme Net"));
    svc.clearRecords();
    QCOMPARE(svc.requests().size(), 0);
    QCOMPARE(svc.requestCount(SpeedTestService::ConfigPath), 0);
}

void tst_SpeedTestService::httpFaults_data()
{
    QTest::addColumn<HttpBehaviour>("behaviour");
    QTest::addColumn<bool>("finishes");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");

    HttpBehaviour b;
    QTest::newRow("healthy") << b << true << int(QNetworkReply::NoError) << 200 << QByteArray("<doc/>");
    b = HttpBehaviour();
    b.status = 500;
    b.body = QByteArray("<html>oops</html>");
    QTest::newRow("status 500") << b << true << int(QNetworkReply::InternalServerError) << 500
                                << QByteArray("<html>oops</html>");
    b = HttpBehaviour();
    b.body = QByteArray();
    QTest::newRow("empty body") << b << true << int(QNetworkReply::NoError) << 200 << QByteArray();
    b = HttpBehaviour();
    b.redirectTo = "/moved.php";
    QTest::newRow("redirect") << b << true << int(QNetworkReply::NoError) << 200 << QByteArray("moved");
    b = HttpBehaviour();
    b.closeAfterBytes = 3;
    QTest::newRow("close after 3") << b << true << int(QNetworkReply::RemoteHostClosedError) << 200
                                   << QByteArray("<do");
    b = HttpBehaviour();
    b.silent = true;
    QTest::newRow("silent") << b << false << int(QNetworkReply::NoError) << 0 << QByteArray();
}

void tst_SpeedTestService::httpFaults()
{
    QFETCH(HttpBehaviour, behaviour);
    QFETCH(bool, finishes);
    QFETCH(int, error);
    QFETCH(int, status);
    QFETCH(QByteArray, body);

    SpeedTestService svc;
    QVERIFY(svc.start());
    svc.setDocument("/doc.php", "<doc/>");
    svc.setDocument("/moved.php", "moved");
    svc.setDocumentFault("/doc.php", behaviour);
    const Fetched f = get(svc.baseUrl() + "/doc.php", finishes ? 5000 : 400);
    QCOMPARE(f.finished, finishes);
    if (!finishes) {
        QCOMPARE(svc.requestCount("/doc.php"), 1);
        QCOMPARE(f.body, QByteArray());
        return;
    }
    QCOMPARE(int(f.error), error);
    QCOMPARE(f.status, status);
    QCOMPARE(f.body, body);

    svc.clearDocumentFault("/doc.php");
    QCOMPARE(get(svc.baseUrl() + "/doc.php").body, QByteArray("<doc/>"));
}

void tst_SpeedTestService::bodyInPieces()
{
    SpeedTestService svc;
    QVERIFY(svc.start());
    const QByteArray body(4000, 'x');
    svc.setDocument("/doc.php", body);
    HttpBehaviour b;
    b.pieces = 4;
    b.pieceIntervalMs = 80;
    svc.setDocumentFault("/doc.php", b);
    QElapsedTimer clock;
    clock.start();
    const Fetched f = get(svc.baseUrl() + "/doc.php");
    QCOMPARE(f.body, body);
    QVERIFY2(f.reads >= 4, QByteArray::number(f.reads));
    QVERIFY(clock.elapsed() >= 230); // three pauses between four pieces
}

void tst_SpeedTestService::boundedRate()
{
    SpeedTestService svc;
    QVERIFY(svc.start());
    svc.setDocument("/doc.php", QByteArray(20000, 'r'));
    HttpBehaviour b;
    b.delayMs = 100;
    b.bytesPerSecond = 100000;
    svc.setDocumentFault("/doc.php", b);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(get(svc.baseUrl() + "/doc.php").body.size(), 20000);
    // 100 ms delay plus 20000 bytes at 100000 B/s.
    QVERIFY2(clock.elapsed() >= 280, QByteArray::number(clock.elapsed()));

    // An endless body keeps coming until the client gives up.
    b = HttpBehaviour();
    b.endless = true;
    svc.setDocumentFault("/doc.php", b);
    const Fetched endless = get(svc.baseUrl() + "/doc.php", 5000, 3 * 1024 * 1024);
    QCOMPARE(endless.error, QNetworkReply::OperationCanceledError);
    QVERIFY(endless.body.size() > 3 * 1024 * 1024);
    QTRY_COMPARE(svc.openConnectionCount(), 0);
}

void tst_SpeedTestService::testServerHttp()
{
    SpeedTestService svc;
    ServerBehaviour wrong;
    wrong.latencyBody = "TEST=TEST";
    const int good = svc.addTestServer(1, 2);
    const int bad = svc.addTestServer(3, 4, wrong);
    const Fetched latency = get(svc.serverLatencyUrl(good));
    QCOMPARE(latency.status, 200);
    QCOMPARE(latency.body, QByteArray("test=test\n"));
    QCOMPARE(get(svc.serverLatencyUrl(bad)).body, QByteArray("TEST=TEST"));
    QCOMPARE(get(svc.serverUrl(good)).body, QByteArray("size=0"));
    QCOMPARE(svc.requestCount(SpeedTestService::LatencyPath, good), 1);
    QCOMPARE(svc.requestCount(SpeedTestService::LatencyPath, bad), 1);
    QCOMPARE(svc.requestCount(SpeedTestService::UploadPath, good), 1);
    QCOMPARE(svc.lastRequestHeaders(SpeedTestService::LatencyPath, good).value("user-agent"),
             QByteArray("ServiceTest/1"));

    ServerBehaviour slow;
    slow.http.delayMs = 150;
    svc.setServerBehaviour(good, slow);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(get(svc.serverLatencyUrl(good)).body, QByteArray("test=test\n"));
    QVERIFY(clock.elapsed() >= 140);
}

void tst_SpeedTestService::download_data()
{
    QTest::addColumn<QByteArray>("commands");
    QTest::addColumn<qint64>("closeAfter");
    QTest::addColumn<qint64>("expected");
    QTest::addColumn<bool>("closedByServer");
    QTest::newRow("one") << QByteArray("DOWNLOAD 100000\n") << qint64(-1) << qint64(100000) << false;
    QTest::newRow("zero") << QByteArray("DOWNLOAD 0\n") << qint64(-1) << qint64(0) << false;
    QTest::newRow("two commands") << QByteArray("DOWNLOAD 1000\nDOWNLOAD 2000\n") << qint64(-1)
                                  << qint64(3000) << false;
    QTest::newRow("close after k") << QByteArray("DOWNLOAD 1000000\n") << qint64(12345)
                                   << qint64(12345) << true;
    QTest::newRow("close across commands") << QByteArray("DOWNLOAD 700\nDOWNLOAD 700\n")
                                           << qint64(1000) << qint64(1000) << true;
}

void tst_SpeedTestService::download()
{
    QFETCH(QByteArray, commands);
    QFETCH(qint64, closeAfter);
    QFETCH(qint64, expected);
    QFETCH(bool, closedByServer);

    SpeedTestService svc;
    ServerBehaviour b;
    b.download.closeAfterBytes = closeAfter;
    const int server = svc.addTestServer(0, 0, b);
    QTcpSocket socket;
    QSignalSpy disconnected(&socket, &QTcpSocket::disconnected);
    qint64 received = 0;
    connect(&socket, &QTcpSocket::readyRead, this, [&] { received += socket.readAll().size(); });
    socket.connectToHost(QHostAddress::LocalHost, svc.serverPort(server));
    QVERIFY(socket.waitForConnected(3000));
    // Sent in two parts: the kind of connection is decided on whole words.
    socket.write(commands.left(4));
    socket.flush();
    QTest::qWait(20);
    socket.write(commands.mid(4));
    QTRY_COMPARE(svc.downloadCommandsReceived(server).size(), commands.count('\n'));
    QTRY_COMPARE(received, expected);
    QTRY_COMPARE(svc.downloadBytesSent(server), expected);
    QCOMPARE(svc.downloadCommandsReceived(server).size(), commands.count('\n'));
    QCOMPARE(svc.downloadCommandsReceived(server).join(), commands);
    if (closedByServer) {
        QTRY_COMPARE(disconnected.count(), 1);
    } else {
        QTest::qWait(100);
        QCOMPARE(disconnected.count(), 0);
        QCOMPARE(received, expected);
        QCOMPARE(svc.openConnectionCount(server), 1);
    }
    QCOMPARE(svc.requests().size(), 0);
}

void tst_SpeedTestService::downloadLargeCountStreams()
{
    SpeedTestService svc;
    const int server = svc.addTestServer(0, 0);
    QTcpSocket socket;
    const qint64 count = 256LL * 1024 * 1024;
    qint64 received = 0;
    connect(&socket, &QTcpSocket::readyRead, this, [&] { received += socket.skip(socket.bytesAvailable()); });
    socket.connectToHost(QHostAddress::LocalHost, svc.serverPort(server));
    QVERIFY(socket.waitForConnected(3000));
    socket.write("DOWNLOAD " + QByteArray::number(count) + "\n");
    QTRY_COMPARE_WITH_TIMEOUT(received, count, 30000);
    QCOMPARE(svc.downloadBytesSent(server), count);
}

void tst_SpeedTestService::downloadSilentRecordsCommand()
{
    SpeedTestService svc;
    ServerBehaviour b;
    b.download.silent = true;
    const int server = svc.addTestServer(0, 0, b);
    QSignalSpy commands(&svc, &SpeedTestService::downloadCommandReceived);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, svc.serverPort(server));
    QVERIFY(socket.waitForConnected(3000));
    socket.write("DOWNLOAD 1000000000\n");
    QTRY_COMPARE(commands.count(), 1);
    QCOMPARE(commands.at(0).at(0).toInt(), server);
    QCOMPARE(commands.at(0).at(1).toByteArray(), QByteArray("DOWNLOAD 1000000000\n"));
    QTest::qWait(150);
    QCOMPARE(socket.bytesAvailable(), qint64(0));
    QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
    socket.abort();
    QTRY_COMPARE(svc.openConnectionCount(server), 0);
}

void tst_SpeedTestService::downloadEndless()
{
    SpeedTestService svc;
    ServerBehaviour b;
    b.download.ignoreCount = true;
    const int server = svc.addTestServer(0, 0, b);
    QTcpSocket socket;
    qint64 received = 0;
    connect(&socket, &QTcpSocket::readyRead, this, [&] { received += socket.skip(socket.bytesAvailable()); });
    socket.connectToHost(QHostAddress::LocalHost, svc.serverPort(server));
    QVERIFY(socket.waitForConnected(3000));
    socket.write("DOWNLOAD 10\n");
    QTRY_VERIFY(received > 8 * 1024 * 1024);
    socket.disconnectFromHost();
    QTRY_COMPARE(svc.openConnectionCount(server), 0);
}

void tst_SpeedTestService::downloadRate()
{
    SpeedTestService svc;
    ServerBehaviour b;
    b.download.bytesPerSecond = 200000;
    b.download.delayMs = 50;
    const int server = svc.addTestServer(0, 0, b);
    QTcpSocket socket;
    qint64 received = 0;
    connect(&socket, &QTcpSocket::readyRead, this, [&] { received += socket.readAll().size(); });
    socket.connectToHost(QHostAddress::LocalHost, svc.serverPort(server));
    QVERIFY(socket.waitForConnected(3000));
    QElapsedTimer clock;
    clock.start();
    socket.write("DOWNLOAD 60000\n");
    QTRY_COMPARE(received, qint64(60000));
    // 50 ms delay plus 60000 bytes at 200000 B/s.
    QVERIFY2(clock.elapsed() >= 320, QByteArray::number(clock.elapsed()));
}

void tst_SpeedTestService::stoppedAndClosedPorts()
{
    SpeedTestService svc;
    const int server = svc.addTestServer(0, 0);
    QTcpSocket held;
    held.connectToHost(QHostAddress::LocalHost, svc.serverPort(server));
    QVERIFY(held.waitForConnected(3000));
    QTRY_COMPARE(svc.openConnectionCount(server), 1);
    svc.stopTestServer(server);
    QCOMPARE(svc.openConnectionCount(server), 0);
    QTRY_COMPARE(held.state(), QAbstractSocket::UnconnectedState);

    for (quint16 port : { svc.serverPort(server), SpeedTestService::closedPort() }) {
        QVERIFY(port != 0);
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!socket.waitForConnected(3000));
        QCOMPARE(socket.error(), QAbstractSocket::ConnectionRefusedError);
    }
}

QTEST_GUILESS_MAIN(tst_SpeedTestService)
#include "tst_speedtestservice.moc"
