#include <QtTest>

#include "Columns.h"
#include "LocalService.h"
#include "Recorder.h"
#include "ReplyGuard.h"
#include "ServerCache.h"
#include "TestSpeed.h"
#include "WorkDir.h"

Q_DECLARE_METATYPE(Route)

// Whole speed tests against a local service under every fault it can show,
// with the 21 servers of its list: a far one, the near one, and 19 nearer
// ones whose probes fail.
class tst_SpeedTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A cache of this process alone: another build's run may go on beside it.
        static QTemporaryDir cache;
        QVERIFY(qputenv("XDG_CACHE_HOME", QFile::encodeName(cache.path())));
        ReplyGuard::setBodyLimitForTesting(1 << 20);
    }
    void run_data();
    void run();
};

void tst_SpeedTest::run_data()
{
    // days: age of the cache file beforehand, -1 none, -2 a folder in its place; route: how path
    // is answered (a null body: the good one); numbers: testlength threadsperurl timeout; cancelAt:
    // the status at which the caller cancels; seen: the signals, the best server, the report, then
    // servers and age of the cache file, settings read, the download's status and connections,
    // the documents asked for and the user agents (<>: a time, a latency or a speed).
    columns<int, QString, Route, QString, int, QString>("days", "path", "route", "numbers",
                                                        "cancelAt", "seen");
    const QString go = "1 | Retrieving configuration from server... | ",
                  fetch = "Retrieving servers list from server... | 2 | ",
                  pick = "3 | Check latencies... | best | Selected server: Sponsor Near (Near) "
                         "[111.303km]: <> | 4 | Downloading... | ",
                  end = "6 | finished | Finished\n", time = "Test time: <> \n",
                  ran = "error 4 | The remote host closed the connection | Download Speed: <> | ",
                  near = "Testland|111.30253586533662|N|<>|http://N/speedtest/latency.txt|1|0|"
                         "Near|Sponsor Near|http://N/speedtest/upload.php\n",
                  none = "|0||-1ms||0|0|||\n", isp = "ISP: Acme Net \n",
                  chosen = isp + "Server: Sponsor Near (Near) \nLatency: <> \n",
                  report = chosen + "Dowload: <> \nLoss: not available \n",
                  config = "/speedtest-config.php ", list = "/speedtest-servers-static.php ",
                  agent = "Linkometer/1.0.0 ", asked = config + list + agent + agent.trimmed();
    const auto row = [](const char *name, const QString &seen, int days = -1,
                        const QString &path = "", const Route &route = {},
                        const char *numbers = "1 1 1", int cancelAt = 0) {
        QTest::newRow(name) << days << path << route << QString(numbers) << cancelAt << seen;
    };
    const QString whole =
            go + fetch + pick + ran + end + near + time + report + "21 0 3 4 1 " + asked;
    const auto failed = [&](int error, const QString &text) {
        return go + (error > 1 ? fetch : "") + "error " + QString::number(error) + " | " + text
                + " | " + end + none + time
                + (error > 1 ? isp + "0 0 3 0 0 " + config + list : "0 0 0 0 0 " + config) + agent;
    };
    const auto slow = [](Behaviour b) { return Route{ 200, {}, {}, -1, b }; };
    const Route moved{ 302, {}, "?m" };

    row("list fetched, the 20 nearest probed", whole);
    row("cache 7 days old",
        QString(whole)
                .replace(fetch, "Servers list is updated. | ")
                .replace(list, "")
                .replace("21 0", "21 7"),
        7);
    const QString updated =
            QString(whole).replace(fetch, "Updating servers list from server... | 2 | ");
    row("cache 8 days old", updated, 8);
    row("a folder in the cache's place", QString(updated).replace("21 0", "0 0"), -2);

    const QString past = "Document too large (more than 1 MiB)";
    row("configuration at the size limit", whole, -1, ConfigPath,
        { 200, configDocument("1", "1", "1").leftJustified(1 << 20) });
    row("configuration in pieces", whole, -1, ConfigPath, slow(Behaviour::Slow));
    row("configuration moved", QString(whole).replace(config, config + config.trimmed() + "?m "),
        -1, ConfigPath, moved);
    row("configuration not XML",
        failed(1, "Config file error: error occurred while parsing element"), -1, ConfigPath,
        { 200, "plain text" });
    row("configuration without settings",
        failed(1, "Config file error: No settings in the document"), -1, ConfigPath,
        { 200, "<settings/>" });
    row("configuration silent",
        failed(1, "Config file error: Request timed out after 0.4 s without data"), -1, ConfigPath,
        slow(Behaviour::Silent));
    row("configuration endless", failed(1, "Config file error: " + past), -1, ConfigPath,
        slow(Behaviour::Endless));
    row("configuration cut short",
        failed(1, "Config file error: Connection closed")
                .replace("Finished\n", "Finished | Config file error: unexpected end of file\n"),
        -1, ConfigPath, slow(Behaviour::CloseEarly));

    row("server list moved", QString(whole).replace(list, list + list.trimmed() + "?m "), -1,
        ListPath, moved);
    row("server list error page",
        failed(2,
               "Server file error: Error transferring W/speedtest-servers-static.php - server "
               "replied: Status"),
        -1, ListPath, { 500 });
    row("server list not XML",
        failed(2, "Servers file error: error occurred while parsing element"), -1, ListPath,
        { 200, "plain text" });
    row("server list declared too large", failed(2, "Server file error: " + past), -1, ListPath,
        { 200, {}, {}, 2 << 20, Behaviour::Trickle });
    row("server list without servers",
        go + fetch
                + "3 | Check latencies... | best | Selected server:  () [0km]: -1ms | 4 | "
                  "Downloading... | error 4 | Invalid server | "
                + end + none + time + isp + "Server:  () \nLatency: -1ms \n0 0 3 0 0 " + config
                + list + agent,
        -1, ListPath, { 200, "<settings><servers/></settings>" });

    // Every probe fails, all latencies are equal: the last probed, the farthest, comes first.
    const QString failedProbes = QString(whole)
                                         .replace("]: <>", "]: 2147483647ms")
                                         .replace("|N|<>|", "|N|2147483647ms|")
                                         .replace("Latency: <>", "Latency: 2147483647ms");
    row("latency file wrong", failedProbes, -1, LatencyPath, { 200, "TEST=TEST" });
    row("latency file silent", failedProbes, -1, LatencyPath, slow(Behaviour::Silent));
    row("latency file moved", whole, -1, LatencyPath, moved);

    row("1k connections: 16", QString(whole).replace("4 1 /", "4 16 /"), -1, "", {}, "1 1k 1");
    row("no connection",
        go + fetch + pick + "error 4 | Invalid connection count: 0 | " + end + near + time + chosen
                + "21 0 3 0 0 " + asked,
        -1, "", {}, "1 0 1");

    // Nothing more is reported, even of answers already on their way.
    row("cancel at the start",
        "1 | Retrieving configuration from server...\n" + none + time + "0 0 3 0 0 " + config
                + agent,
        -1, "", {}, "1 1 1", 1);
    row("cancel at the download",
        go + fetch + pick.chopped(3) + "\n" + near + time + chosen + "21 0 3 4 1 " + asked, -1, "",
        {}, "1 1 1", 4);
}

void tst_SpeedTest::run()
{
    QFETCH(int, days);
    QFETCH(QString, path);
    QFETCH(Route, route);
    QFETCH(QString, numbers);
    QFETCH(int, cancelAt);
    WorkDir work;
    LocalService web, near, dead;
    QList<TestServer> servers{ { &web, 1, 9, "Far" }, { &near, 1, 0, "Near" } };
    for (int i = 0; i < 19; ++i)
        servers << TestServer{ &dead, 1, -0.95 + 0.05 * i, "Dead" };
    const QStringList n = numbers.split(' ');
    const QHash<QString, QByteArray> good{ { ConfigPath, configDocument(n[0], n[1], n[2]) },
                                           { ListPath, serverListDocument(servers) },
                                           { LatencyPath, "test=test\n" } };
    for (const QString &p : good.keys()) {
        Route r = p == path ? route : Route();
        r.body = r.body.isNull() ? good[p] : r.body;
        LocalService &s = p == LatencyPath ? near : web;
        s.route(p, r);
        s.route(p + "?m", good[p]);
    }
    near.download = Behaviour::CloseEarly;
    // Short bounds for a silent document, and for one in pieces 100 ms apart.
    ReplyGuard::setIdleTimeoutForTesting(
            route.behaviour == Behaviour::Silent && path != LatencyPath
                    ? 400
                    : scaled(route.behaviour == Behaviour::Slow ? 500 : 30000));
    const QString cache = ServerCache::filePath(ServerCache::cacheDirectory());
    QDir(QFileInfo(cache).path()).removeRecursively();
    QVERIFY(days == -1 || QDir().mkpath(days == -2 ? cache : QFileInfo(cache).path()));
    QVERIFY(days < 0
            || work.write(cache,
                          ServerCache::toJson(ServerList::parseServers(good[ListPath], 1, -1)),
                          QDateTime::currentDateTime().addDays(-days)));

    TestSpeed test;
    test.client()->setConfigsUrl(web.url(ConfigPath));
    test.serverList()->setServersUrl(web.url(ListPath));
    Recorder r;
    r.watch(&test, &TestSpeed::statusChanged, [&] { return QString::number(test.status()); });
    r.watch(&test, &TestSpeed::statusStringChanged, [&] { return test.statusString(); });
    r.watch(&test, &TestSpeed::errorChanged,
            [&] { return "error " + QString::number(test.error()); });
    r.watch(&test, &TestSpeed::errorStringChanged, [&] { return test.errorString(); });
    r.watch(&test, &TestSpeed::bestServerChanged, [] { return QString("best"); });
    r.watch(&test, &TestSpeed::finished, [] { return QString("finished"); });
    connect(&test, &TestSpeed::statusChanged, this, [&] {
        if (test.status() == cancelAt)
            test.cancel(), test.start(); // a start after a cancel does nothing
    });
    test.start();
    const auto now = [&] {
        QVariantMap best = test.bestServer();
        best["latency"] = best["latency"].toString() + "ms";
        QStringList values;
        for (const QVariant &v : best)
            values << v.toString();
        return QString(r.events.join(" | ") + '\n' + values.join('|') + '\n'
                       + work.read("Linkometer.log")
                       + QStringLiteral("%1 %2 %3 %4 %5 ")
                                 .arg(ServerCache::load(cache).size())
                                 .arg(ServerCache::ageInDays(cache))
                                 .arg(test.client()->configs().size())
                                 .arg(test.downloader()->status())
                                 .arg(near.commands.size())
                       + web.requests.join(' ') + ' ' + web.lastHeaders["user-agent"] + ' '
                       + near.lastHeaders["user-agent"])
                .replace(web.url(), "W")
                .replace(near.host(), "N")
                .replace(QRegularExpression("(?<![-\\d])\\d{1,4}ms|(?!0mbps)[\\d.e+]+mbps|"
                                            "\\d{4}(-\\d\\d){5}-\\d{3}"),
                         "<>");
    };
    QFETCH(QString, seen);
    QTRY_COMPARE_WITH_TIMEOUT(now(), seen, scaled(10000));
    test.clearCache();
    QCOMPARE(QFileInfo::exists(cache), days == -2);
    // A new fetch starts from an empty list, whatever comes of it.
    test.serverList()->fetch();
    QCOMPARE(test.serverList()->count(), 0);
}

QTEST_GUILESS_MAIN(tst_SpeedTest)
#include "tst_speedtest.moc"
