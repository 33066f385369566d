#include <QJsonDocument>
#include <QtTest>

#include "Columns.h"
#include "LocalService.h"
#include "Recorder.h"
#include "ReplyGuard.h"
#include "ServerCache.h"
#include "TestSpeed.h"
#include "WorkDir.h"

// Whole speed tests against a local service, with the 21 servers of its list: a far one, the
// near one, and 19 nearer ones whose probes fail.
class tst_SpeedTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A cache of this process alone: another build's run may go on beside it.
        static QTemporaryDir cache;
        QVERIFY(qputenv("XDG_CACHE_HOME", QFile::encodeName(cache.path())));
        ReplyGuard::setIdleTimeoutForTesting(700);
    }
    void run_data();
    void run();
};

void tst_SpeedTest::run_data()
{
    // days: age of the cache file beforehand, -1 none, -2 a folder in its place; path, body, how:
    // one document answered otherwise; cancelAt: the status at which the caller cancels;
    // seen: the signals, the report, servers and age of the cache file, the documents asked for
    // (<>: a time, a latency or a speed).
    columns<int, QString, Route, int, QString>("days", "path", "answer", "cancelAt", "seen");
    const QString
            go = "1 | Retrieving configuration from server... | ",
            fetch = "Retrieving servers list from server... | 2 | ",
            pick = "3 | Check latencies... | "
                   R"({"country":"Testland",<>,"host":"<>",<>,"latencyUrl":"http://<>/speedtest/)"
                   R"(latency.txt","latitude":1,"longitude":0,"name":"Near","sponsor":"Sponsor )"
                   R"(Near","url":"http://<>/speedtest/upload.php"} | Selected server: Sponsor )"
                   "Near (Near) [111.303km]: ",
            ran = " | 4 | Downloading... | error 4 | The remote host closed the connection | "
                  "Download Speed: <> | ",
            end = "6 | Finished\nTest time: <> \n", isp = "ISP: Acme Net \n",
            chosen = isp + "Server: Sponsor Near (Near) \nLatency: ",
            report = " \nDowload: <> \nLoss: not available \n",
            asked = " /speedtest-config.php /speedtest-servers-static.php";
    const auto row = [](const char *name, const QString &seen, int days = -1,
                        const QString &path = "", const char *body = "", int cancelAt = 0,
                        Behaviour how = {}) {
        QTest::newRow(name) << days << path << Route{ 200, body, {}, -1, how } << cancelAt << seen;
    };
    const QString whole = pick + "<>" + ran + end + chosen + "<>" + report;

    row("list fetched, the 20 nearest probed", go + fetch + whole + "21 0" + asked);
    row("cache 7 days old",
        go + "Servers list is updated. | " + whole + "21 7 /speedtest-config.php", 7);
    const QString updated = go + "Updating servers list from server... | 2 | " + whole;
    row("cache 8 days old", updated + "21 0" + asked, 8);
    row("a folder in the cache's place", updated + "0 0" + asked, -2);

    row("configuration not XML",
        go + "error 1 | Config file error: error occurred while parsing element | " + end
                + "0 0 /speedtest-config.php",
        -1, ConfigPath, "plain text");
    row("server list not XML",
        go + fetch + "error 2 | Servers file error: error occurred while parsing element | " + end
                + isp + "0 0" + asked,
        -1, ListPath, "plain text");
    // Each piece of a document restarts the bound, which the whole outlasts.
    row("configuration in pieces", go + fetch + whole + "21 0" + asked, -1, ConfigPath,
        configDocument(), 0, Behaviour::Slow);
    // Cut off: the reason is the error, not the abort that follows.
    row("server list without end",
        go + fetch + "error 2 | Server file error: Document too large (more than 32 MiB) | " + end
                + isp + "0 0" + asked,
        -1, ListPath, "", 0, Behaviour::Endless);
    row("configuration silent",
        go + "error 1 | Config file error: Request timed out after 0.7 s without data | " + end
                + "0 0 /speedtest-config.php",
        -1, ConfigPath, "", 0, Behaviour::Silent);
    // Every probe fails, all latencies are equal: the last probed, the farthest, comes first.
    row("latency file wrong",
        go + fetch + pick + "2147483647ms" + ran + end + chosen + "2147483647ms" + report + "21 0"
                + asked,
        -1, LatencyPath, "TEST=TEST");

    // Nothing more is reported, even of answers already on their way.
    row("cancel at the start",
        "1 | Retrieving configuration from server...\nTest time: <> \n0 0 /speedtest-config.php",
        -1, "", "", 1);
}

void tst_SpeedTest::run()
{
    QFETCH(int, days);
    QFETCH(QString, path);
    QFETCH(Route, answer);
    QFETCH(int, cancelAt);
    WorkDir work;
    LocalService web, near, dead;
    QList<TestServer> servers{ { &web, 1, 9, "Far" }, { &near, 1, 0, "Near" } };
    for (int i = 0; i < 19; ++i)
        servers << TestServer{ &dead, 1, -0.95 + 0.05 * i, "Dead" };
    const QByteArray list = serverListDocument(servers);
    web.route(ConfigPath, configDocument());
    web.route(ListPath, list);
    near.route(LatencyPath, "test=test\n");
    (path == LatencyPath ? near : web).route(path, answer);
    near.download = Behaviour::CloseEarly;
    const QString dir = ServerCache::cacheDirectory(), cache = ServerCache::filePath(dir);
    QDir(dir).removeRecursively();
    QVERIFY(QDir().mkpath(days == -2 ? cache : dir));
    QVERIFY(days < 0
            || work.write(cache, ServerCache::toJson(ServerList::parseServers(list, 1, -1)),
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
    r.watch(&test, &TestSpeed::bestServerChanged, [&] {
        return QJsonDocument::fromVariant(test.bestServer()).toJson(QJsonDocument::Compact);
    });
    connect(&test, &TestSpeed::statusChanged, this, [&] {
        if (test.status() == cancelAt)
            test.cancel(), test.start(); // a start after a cancel does nothing
    });
    test.start();
    const auto now = [&] {
        return QString(r.events.join(" | ") + '\n' + work.read("Linkometer.log")
                       + QString::number(ServerCache::load(cache).size()) + ' '
                       + QString::number(ServerCache::ageInDays(cache)) + ' '
                       + web.requests.join(' '))
                .replace(QRegularExpression("\\b\\d{1,4}ms|[\\d.e+]+mbps|\\d{4}(-\\d\\d){5}-\\d{3}|"
                                            "127\\.0\\.0\\.1:\\d+|\"(latency|distance)\":[\\d.]+"),
                         "<>");
    };
    QFETCH(QString, seen);
    QTRY_COMPARE_WITH_TIMEOUT(now(), seen, scaled(10000));
    // A new fetch starts from an empty list, whatever comes of it.
    test.serverList()->fetch();
    QCOMPARE(test.serverList()->count(), 0);
}

QTEST_GUILESS_MAIN(tst_SpeedTest)
#include "tst_speedtest.moc"
