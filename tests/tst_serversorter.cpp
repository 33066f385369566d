#include <QElapsedTimer>
#include <QtTest>

#include "Client.h"
#include "ServerList.h"
#include "ServerSorter.h"
#include "SpeedTestService.h"

Q_DECLARE_METATYPE(ServerBehaviour)

namespace {

const int Failed = 2147483647;

ServerItem plainItem(int index, double distance)
{
    ServerItem item;
    item.setName(QStringLiteral("n%1").arg(index));
    item.setHost(QStringLiteral("127.0.0.1:%1").arg(10000 + index));
    item.setUrl(QStringLiteral("http://127.0.0.1:%1/speedtest/upload.php").arg(10000 + index));
    item.setDistance(distance);
    return item;
}

// The list entry of a test server of svc, at the given distance.
ServerItem serviceItem(const SpeedTestService &svc, int server, double distance)
{
    ServerItem item;
    item.setName(QStringLiteral("s%1").arg(server));
    item.setSponsor(QStringLiteral("Sponsor %1").arg(server));
    item.setHost(svc.serverHost(server));
    item.setUrl(svc.serverUrl(server));
    item.setLatencyUrl(svc.serverLatencyUrl(server));
    item.setDistance(distance);
    return item;
}

QStringList namesOf(const ServerSorter &sorter)
{
    QStringList names;
    for (int i = 0; i < sorter.count(); ++i)
        names << sorter.at(i).name();
    return names;
}

// Test server indices of the latency requests, in order of arrival.
QList<int> probeOrder(const SpeedTestService &svc)
{
    QList<int> order;
    for (const RecordedRequest &r : svc.requests()) {
        if (r.path == QLatin1String(SpeedTestService::LatencyPath))
            order << r.server;
    }
    return order;
}

} // namespace

class tst_ServerSorter : public QObject
{
    Q_OBJECT

private slots:
    void item();
    void defaults();
    void selection_data();
    void selection();
    void progressSequence();
    void latencyOrdering();
    void allProbesFailReverseOrder();
    void latencyBody_data();
    void latencyBody();
    void redirects_data();
    void redirects();
    void perProbeTimeout();
    void defaultTimeout();
    void nearestTwentyOfHundredProbedNearestFirst();
    void sortWhileProbingIsIgnored();
    void sortFromChangedHandlerIsIgnored();
    void emptyList();
    void userAgentOfTheClient();
    void destroyedWhileProbing();
};

void tst_ServerSorter::item()
{
    const ServerItem base = plainItem(1, 12.5);
    ServerSorterItem a(base);
    QCOMPARE(a.latency(), -1);
    QCOMPARE(a.name(), QString("n1"));
    QCOMPARE(a.distance(), 12.5);
    QCOMPARE(ServerSorterItem().latency(), -1);
    a.setLatency(42);
    ServerSorterItem b(a);
    QCOMPARE(b.latency(), 42);
    ServerSorterItem c;
    c = a;
    QCOMPARE(c.latency(), 42);
    QCOMPARE(c.host(), base.host());
    // Equality is the server's: latency plays no part.
    b.setLatency(7);
    QVERIFY(a == b);
    ServerSorterItem other(plainItem(2, 12.5));
    QVERIFY(!(a == other));
}

void tst_ServerSorter::defaults()
{
    Client client;
    ServerList list(&client);
    ServerSorter sorter(&list);
    QCOMPARE(sorter.limit(), 20);
    QCOMPARE(sorter.count(), 0);
    QVERIFY(sorter.error().isEmpty());
    QSignalSpy limit(&sorter, &ServerSorter::limitChanged);
    sorter.setLimit(20);
    QCOMPARE(limit.count(), 0);
    sorter.setLimit(5);
    QCOMPARE(limit.count(), 1);
    QVERIFY(sorter.setProperty("limit", 5));
    QCOMPARE(limit.count(), 1);
    QVERIFY(!sorter.setProperty("error", QString("x")));
}

void tst_ServerSorter::selection_data()
{
    QTest::addColumn<QList<double>>("distances");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("fewer than the limit") << QList<double>({ 3, 1, 2 }) << 20
                                          << QStringList({ "n1", "n2", "n0" });
    // n3 displaces n0 (5 km); n4 displaces n2, the earlier of the two at
    // 3 km; n5 at 3 km does not displace n3.
    QTest::newRow("ties at the boundary") << QList<double>({ 5, 1, 3, 3, 2, 3 }) << 3
                                          << QStringList({ "n1", "n4", "n3" });
    QTest::newRow("equal distances, later first") << QList<double>({ 2, 2, 2 }) << 5
                                                  << QStringList({ "n2", "n1", "n0" });
    QTest::newRow("limit 1") << QList<double>({ 4, 2, 3 }) << 1 << QStringList({ "n1" });
    QTest::newRow("limit 0") << QList<double>({ 1, 2 }) << 0 << QStringList();
    QTest::newRow("negative limit") << QList<double>({ 1, 2 }) << -3 << QStringList();
    QTest::newRow("empty list") << QList<double>() << 20 << QStringList();

    QList<double> hundred;
    for (int i = 0; i < 100; ++i)
        hundred << double((i * 37) % 100); // every distance 0..99 once
    QStringList nearest;
    for (int d = 0; d < 20; ++d) {
        for (int i = 0; i < 100; ++i) {
            if (hundred.at(i) == d)
                nearest << QStringLiteral("n%1").arg(i);
        }
    }
    QTest::newRow("nearest 20 of 100") << hundred << 20 << nearest;
}

void tst_ServerSorter::selection()
{
    QFETCH(QList<double>, distances);
    QFETCH(int, limit);
    QFETCH(QStringList, expected);
    QList<ServerItem> items;
    for (int i = 0; i < distances.size(); ++i)
        items << plainItem(i, distances.at(i));
    Client client;
    ServerList list(&client);
    list.setServers(items);
    ServerSorter sorter(&list);
    sorter.setLimit(limit);
    QSignalSpy changed(&sorter, &ServerSorter::changed);
    QSignalSpy progress(&sorter, &ServerSorter::latencyProgress);
    sorter.sortByDistance();
    QCOMPARE(changed.count(), 1);
    QCOMPARE(progress.count(), 0);
    QCOMPARE(namesOf(sorter), expected);
    for (int i = 0; i < sorter.count(); ++i)
        QCOMPARE(sorter.at(i).latency(), -1);
}

void tst_ServerSorter::progressSequence()
{
    SpeedTestService svc;
    Client client;
    ServerList list(&client);
    QList<ServerItem> items;
    for (int i = 0; i < 3; ++i)
        items << serviceItem(svc, svc.addTestServer(), i + 1);
    list.setServers(items);
    ServerSorter sorter(&list);
    QStringList events;
    connect(&sorter, &ServerSorter::latencyProgress, this,
            [&](int current, int total) { events << QStringLiteral("%1/%2").arg(current).arg(total); });
    connect(&sorter, &ServerSorter::changed, this, [&] { events << "changed"; });
    sorter.sortByLatency(2000);
    QTRY_COMPARE(events.size(), 5);
    QCOMPARE(events, QStringList({ "0/3", "1/3", "2/3", "3/3", "changed" }));
    QCOMPARE(sorter.count(), 3);
}

void tst_ServerSorter::latencyOrdering()
{
    SpeedTestService svc;
    const int delays[] = { 150, 0, 60 };
    Client client;
    ServerList list(&client);
    QList<ServerItem> items;
    for (int i = 0; i < 3; ++i) {
        ServerBehaviour b;
        b.http.delayMs = delays[i];
        items << serviceItem(svc, svc.addTestServer(ServerEntry(), b), i + 1);
    }
    list.setServers(items);
    ServerSorter sorter(&list);
    QSignalSpy changed(&sorter, &ServerSorter::changed);
    sorter.sortByLatency(2000);
    QTRY_COMPARE(changed.count(), 1);
    QCOMPARE(probeOrder(svc), QList<int>({ 0, 1, 2 })); // nearest first
    QCOMPARE(namesOf(sorter), QStringList({ "s1", "s2", "s0" }));
    QVERIFY(sorter.at(0).latency() >= 0);
    QVERIFY(sorter.at(0).latency() < sorter.at(1).latency());
    QVERIFY(sorter.at(1).latency() < sorter.at(2).latency());
    QVERIFY(sorter.at(1).latency() >= 60);
    QVERIFY(sorter.at(2).latency() >= 150);
    QVERIFY(sorter.at(2).latency() != Failed);
    // The rest of each record comes along.
    QCOMPARE(sorter.at(0).host(), svc.serverHost(1));
    QCOMPARE(sorter.at(0).sponsor(), QString("Sponsor 1"));
    QCOMPARE(sorter.at(0).distance(), 2.0);
}

void tst_ServerSorter::allProbesFailReverseOrder()
{
    SpeedTestService svc;
    ServerBehaviour wrong;
    wrong.latencyBody = "TEST=TEST";
    Client client;
    ServerList list(&client);
    QList<ServerItem> items;
    for (int i = 0; i < 3; ++i)
        items << serviceItem(svc, svc.addTestServer(ServerEntry(), wrong), i + 1);
    list.setServers(items);
    ServerSorter sorter(&list);
    QSignalSpy changed(&sorter, &ServerSorter::changed);
    QSignalSpy errors(&sorter, &ServerSorter::errorChanged);
    sorter.sortByLatency(2000);
    QTRY_COMPARE(changed.count(), 1);
    QCOMPARE(probeOrder(svc), QList<int>({ 0, 1, 2 }));
    // Equal latencies: the later probe first, so the farthest leads.
    QCOMPARE(namesOf(sorter), QStringList({ "s2", "s1", "s0" }));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(sorter.at(i).latency(), Failed);
    QCOMPARE(errors.count(), 0);
    QVERIFY(sorter.error().isEmpty());
}

void tst_ServerSorter::latencyBody_data()
{
    QTest::addColumn<ServerBehaviour>("behaviour");
    QTest::addColumn<bool>("success");
    ServerBehaviour b;
    QTest::newRow("test=test and a line break") << b << true;
    b.latencyBody = "test=test";
    QTest::newRow("test=test") << b << true;
    b.latencyBody = " \t test=test \r\n\n";
    QTest::newRow("white space around") << b << true;
    b.latencyBody = "TEST=TEST";
    QTest::newRow("upper case") << b << false;
    b.latencyBody = "test=test2";
    QTest::newRow("more letters") << b << false;
    b.latencyBody = "test = test";
    QTest::newRow("inner spaces") << b << false;
    b.latencyBody = "";
    QTest::newRow("empty") << b << false;
    b = ServerBehaviour();
    b.http.status = 500;
    QTest::newRow("error status, right body") << b << true;
    b = ServerBehaviour();
    b.http.closeAfterBytes = 4;
    QTest::newRow("closed mid-body") << b << false;
    b = ServerBehaviour();
    b.http.pieces = 3;
    QTest::newRow("body in pieces") << b << true;
}

void tst_ServerSorter::latencyBody()
{
    QFETCH(ServerBehaviour, behaviour);
    QFETCH(bool, success);
    SpeedTestService svc;
    const int server = svc.addTestServer(ServerEntry(), behaviour);
    Client client;
    ServerList list(&client);
    list.setServers({ serviceItem(svc, server, 1) });
    ServerSorter sorter(&list);
    QSignalSpy changed(&sorter, &ServerSorter::changed);
    sorter.sortByLatency(2000);
    QTRY_COMPARE(changed.count(), 1);
    QCOMPARE(sorter.count(), 1);
    if (success) {
        QVERIFY(sorter.at(0).latency() >= 0);
        QVERIFY(sorter.at(0).latency() < 2000);
    } else {
        QCOMPARE(sorter.at(0).latency(), Failed);
    }
}

void tst_ServerSorter::redirects_data()
{
    QTest::addColumn<bool>("toLatencyFile");
    QTest::addColumn<bool>("success");
    QTest::newRow("to another server's latency file") << true << true;
    QTest::newRow("to other content") << false << false;
}

void tst_ServerSorter::redirects()
{
    QFETCH(bool, toLatencyFile);
    QFETCH(bool, success);
    SpeedTestService svc;
    const int moved = svc.addTestServer();
    const int target = svc.addTestServer();
    ServerBehaviour redirect;
    redirect.http.redirectTo = (toLatencyFile ? svc.serverLatencyUrl(target) : svc.serverUrl(target)).toUtf8();
    svc.setServerBehaviour(moved, redirect);
    Client client;
    ServerList list(&client);
    list.setServers({ serviceItem(svc, moved, 1) });
    ServerSorter sorter(&list);
    QSignalSpy changed(&sorter, &ServerSorter::changed);
    sorter.sortByLatency(2000);
    QTRY_COMPARE(changed.count(), 1);
    QCOMPARE(svc.requests().size(), 2);
    QCOMPARE(svc.requests().at(1).server, target);
    QCOMPARE(sorter.at(0).latency() != Failed, success);
}

void tst_ServerSorter::perProbeTimeout()
{
    SpeedTestService svc;
    ServerBehaviour silent;
    silent.http.silent = true;
    ServerBehaviour late;
    late.http.delayMs = 600;
    const int s0 = svc.addTestServer(ServerEntry(), silent);
    const int s1 = svc.addTestServer(ServerEntry(), late);
    const int s2 = svc.addTestServer();
    Client client;
    ServerList list(&client);
    ServerItem closed;
    closed.setName("closed");
    closed.setHost(QStringLiteral("127.0.0.1:%1").arg(SpeedTestService::closedPort()));
    closed.setLatencyUrl(QStringLiteral("http://%1/speedtest/latency.txt").arg(closed.host()));
    closed.setDistance(4);
    list.setServers({ serviceItem(svc, s0, 1), serviceItem(svc, s1, 2), serviceItem(svc, s2, 3), closed });
    ServerSorter sorter(&list);
    QSignalSpy changed(&sorter, &ServerSorter::changed);
    QSignalSpy progress(&sorter, &ServerSorter::latencyProgress);
    QElapsedTimer clock;
    clock.start();
    sorter.sortByLatency(200);
    QTRY_COMPARE(changed.count(), 1);
    // Two probes ran into the time-out.
    QVERIFY(clock.elapsed() >= 2 * 180);
    QCOMPARE(progress.count(), 5);
    QCOMPARE(namesOf(sorter), QStringList({ "s2", "closed", "s1", "s0" }));
    QVERIFY(sorter.at(0).latency() < 200);
    for (int i = 1; i < 4; ++i)
        QCOMPARE(sorter.at(i).latency(), Failed);
    // The timed-out probes were really given up.
    QTRY_COMPARE(svc.openConnectionCount(s0), 0);
}

void tst_ServerSorter::defaultTimeout()
{
    SpeedTestService svc;
    ServerBehaviour silent;
    silent.http.silent = true;
    const int server = svc.addTestServer(ServerEntry(), silent);
    Client client;
    ServerList list(&client);
    list.setServers({ serviceItem(svc, server, 1) });
    ServerSorter sorter(&list);
    QSignalSpy changed(&sorter, &ServerSorter::changed);
    QElapsedTimer clock;
    clock.start();
    sorter.sortByLatency();
    QVERIFY(!changed.wait(1500));
    QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 5000);
    QVERIFY(clock.elapsed() >= 1800); // a coarse timer may fire a little early
    QCOMPARE(sorter.at(0).latency(), Failed);
}

void tst_ServerSorter::nearestTwentyOfHundredProbedNearestFirst()
{
    SpeedTestService svc;
    Client client;
    ServerList list(&client);
    QList<ServerItem> items;
    for (int i = 0; i < 100; ++i) {
        const int server = svc.addTestServer();
        QVERIFY(server >= 0);
        items << serviceItem(svc, server, double((i * 37) % 100) + 0.5);
    }
    list.setServers(items);
    ServerSorter sorter(&list);
    QSignalSpy changed(&sorter, &ServerSorter::changed);
    sorter.sortByLatency(2000);
    QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 20000);
    QList<int> expected;
    for (int d = 0; d < 20; ++d) {
        for (int i = 0; i < 100; ++i) {
            if ((i * 37) % 100 == d)
                expected << i;
        }
    }
    QCOMPARE(probeOrder(svc), expected);
    QCOMPARE(sorter.count(), 20);
    for (int i = 0; i < 20; ++i)
        QVERIFY(sorter.at(i).latency() != Failed);
}

void tst_ServerSorter::sortWhileProbingIsIgnored()
{
    SpeedTestService svc;
    ServerBehaviour slow;
    slow.http.delayMs = 150;
    const int a = svc.addTestServer(ServerEntry(), slow);
    const int b = svc.addTestServer();
    Client client;
    ServerList list(&client);
    list.setServers({ serviceItem(svc, a, 1), serviceItem(svc, b, 2) });
    ServerSorter sorter(&list);
    QStringList events;
    connect(&sorter, &ServerSorter::latencyProgress, this,
            [&](int current, int total) { events << QStringLiteral("%1/%2").arg(current).arg(total); });
    connect(&sorter, &ServerSorter::changed, this, [&] { events << "changed"; });
    sorter.sortByLatency(2000);
    QCOMPARE(events, QStringList({ "0/2" }));
    sorter.sortByLatency(2000);
    sorter.sortByLatency();
    QCOMPARE(events, QStringList({ "0/2" }));
    QTRY_COMPARE(events.size(), 4);
    QTest::qWait(100);
    QCOMPARE(events, QStringList({ "0/2", "1/2", "2/2", "changed" }));
    QCOMPARE(probeOrder(svc), QList<int>({ a, b }));
}

void tst_ServerSorter::sortFromChangedHandlerIsIgnored()
{
    SpeedTestService svc;
    const int server = svc.addTestServer();
    Client client;
    ServerList list(&client);
    list.setServers({ serviceItem(svc, server, 1) });
    ServerSorter sorter(&list);
    int changes = 0;
    connect(&sorter, &ServerSorter::changed, this, [&] {
        ++changes;
        sorter.sortByLatency(2000); // the last reply is not deleted yet
    });
    sorter.sortByLatency(2000);
    QTRY_COMPARE(changes, 1);
    QTest::qWait(100);
    QCOMPARE(changes, 1);
    QCOMPARE(svc.requestCount(SpeedTestService::LatencyPath, server), 1);

    // Once control went back to the event loop, a new chain is taken.
    sorter.sortByLatency(2000);
    QTRY_COMPARE(changes, 2);
}

void tst_ServerSorter::emptyList()
{
    Client client;
    ServerList list(&client);
    ServerSorter sorter(&list);
    QStringList events;
    connect(&sorter, &ServerSorter::latencyProgress, this,
            [&](int current, int total) { events << QStringLiteral("%1/%2").arg(current).arg(total); });
    connect(&sorter, &ServerSorter::changed, this, [&] { events << "changed"; });
    sorter.sortByLatency(2000);
    QCOMPARE(events, QStringList({ "0/0", "changed" }));
    QCOMPARE(sorter.count(), 0);
}

void tst_ServerSorter::userAgentOfTheClient()
{
    SpeedTestService svc;
    const int server = svc.addTestServer();
    Client client;
    client.setUserAgent("Sorter agent/1");
    ServerList list(&client);
    list.setServers({ serviceItem(svc, server, 1) });
    ServerSorter sorter(&list);
    QSignalSpy changed(&sorter, &ServerSorter::changed);
    sorter.sortByLatency(2000);
    QTRY_COMPARE(changed.count(), 1);
    QCOMPARE(svc.lastRequestHeaders(SpeedTestService::LatencyPath, server).value("user-agent"),
             QByteArray("Sorter agent/1"));
}

void tst_ServerSorter::destroyedWhileProbing()
{
    SpeedTestService svc;
    ServerBehaviour silent;
    silent.http.silent = true;
    const int server = svc.addTestServer(ServerEntry(), silent);
    Client client;
    ServerList list(&client);
    list.setServers({ serviceItem(svc, server, 1), serviceItem(svc, server, 2) });
    auto *sorter = new ServerSorter(&list);
    int emitted = 0;
    connect(sorter, &ServerSorter::changed, this, [&] { ++emitted; });
    connect(sorter, &ServerSorter::latencyProgress, this, [&] { ++emitted; });
    sorter->sortByLatency(200);
    QCOMPARE(emitted, 1);
    QTRY_COMPARE(svc.requestCount(SpeedTestService::LatencyPath, server), 1);
    delete sorter;
    QTest::qWait(300);
    QCOMPARE(emitted, 1);
    QTRY_COMPARE(svc.openConnectionCount(server), 0);
}

QTEST_GUILESS_MAIN(tst_ServerSorter)
#include "tst_serversorter.moc"
