#include <QtTest>

#include "LocalService.h"
#include "Recorder.h"
#include "ReplyGuard.h"
#include "ServerCache.h"
#include "TestSpeed.h"
#include "WorkDir.h"

namespace {
QString CacheFile;

enum Cache { NoCache, Fresh, Stale, Unreadable, Cleared };
// What the configuration, the server list or the near server's latency file does.
enum Where { Config, List, Latency };
enum Fault {
    Ok,
    Slowly,
    Moved,
    ErrorPage,
    Silent,
    NotXml,
    Cut,
    Huge,
    Declared,
    AtLimit,
    NoContent,
    WrongBody
};
// The test servers, or the caller.
enum Twist { Plain, Twenty, Gigabytes, CancelAtStart, CancelAtDownload };
const qint64 Half = 256 * 1024, MiB = 1024 * 1024; // Half: what a server closing early sends
} // namespace

// One row: the set-up, then what the test shows and writes. <latency>, <speed> and <time> stand for
// figures checked against what the local service did.
struct Case
{
    int cache = NoCache, where = Config, fault = Ok, twist = Plain;
    QString numbers = "1 2 1"; // testlength threadsperurl timeout
    bool https = false;
    QStringList events; // status values in brackets, status texts, <error>, <errorString>, finished
    QString chosen; // the best server: "sponsor (name) [distance km]: latency"
    QStringList report;
    int error = TestSpeed::DownloadError;
    QString errorString = QStringLiteral("The remote host closed the connection");
    qint64 bytes = 2 * Half; // received in the download
    int cached = 2; // servers in the cache file afterwards; 0 none, -1 a directory
    qint64 size = MiB; // what AtLimit pads to; past 1 MiB the product's own body limit holds
};
Q_DECLARE_METATYPE(Case)

namespace {
// The route at path, answering good unless the fault says otherwise.
void serve(LocalService &s, const QString &path, int fault, const QByteArray &good,
           const QByteArray &empty, qint64 size = MiB)
{
    Route r;
    r.body = fault == NotXml     ? "plain text"
            : fault == NoContent ? empty
            : fault == WrongBody ? "TEST=TEST"
                                 : good;
    if (fault == ErrorPage)
        r.status = 500;
    if (fault == Moved) {
        r = Route{ 302, "", path.toLatin1() + "?moved" };
        s.route(path + "?moved", good);
    }
    if (fault == Declared)
        r.fillerBytes = 2 * 1024 * 1024;
    if (fault == AtLimit) // padded to size exactly
        r.body = good.left(good.lastIndexOf('<')) + QByteArray(size - good.size(), ' ')
                + good.mid(good.lastIndexOf('<'));
    const QHash<int, Behaviour> how{ { Slowly, Behaviour::Slow },
                                     { Silent, Behaviour::Silent },
                                     { Declared, Behaviour::Trickle },
                                     { Cut, Behaviour::CloseEarly },
                                     { Huge, Behaviour::Endless } };
    r.behaviour = how.value(fault, Behaviour::Normal);
    s.route(path, r);
}
} // namespace

class tst_SpeedTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void run_data();
    void run();
};

void tst_SpeedTest::initTestCase()
{
    // A cache of this process alone: another build's run may go on beside it.
    static QTemporaryDir cache;
    QVERIFY(cache.isValid() && qputenv("XDG_CACHE_HOME", QFile::encodeName(cache.path())));
    CacheFile = ServerCache::filePath(ServerCache::cacheDirectory());
#ifndef Q_OS_WIN // Windows keeps it in the user's own folder, under this program's name
    QVERIFY(CacheFile.startsWith(cache.path()));
#endif
    LocalService::trustTestCertificate();
}

void tst_SpeedTest::init()
{
    // Not even its folder: the test makes that itself.
    QDir(QFileInfo(CacheFile).path()).removeRecursively();
}

void tst_SpeedTest::run_data()
{
    QTest::addColumn<Case>("c");
    const QString retrieving = "Retrieving servers list from server...",
                  updating = "Updating servers list from server...";
    const QStringList start{ "[1]", "Retrieving configuration from server..." },
            end{ "[6]", "finished", "Finished" };
    const QStringList fetched{ retrieving, "[2]" }, stale{ updating, "[2]" },
            cached{ "Servers list is updated." };
    const auto chosen = [](const QString &server) {
        return QStringList{ "[3]", "Check latencies...", "Selected server: " + server + "ms", "[4]",
                            "Downloading..." };
    };
    const QStringList speed{ "Download Speed: <speed>mbps" }, errors{ "<error>", "<errorString>" };
    // The first n report lines of a test that chose server.
    const auto lines = [](int n, const QString &server) {
        const QString who = server.section(" [", 0, 0), ms = server.section("]: ", 1);
        return QStringList{ "Test time: <time> ",    "ISP: Acme Net ",
                            "Server: " + who + " ",  "Latency: " + ms + "ms ",
                            "Dowload: <speed>mbps ", "Loss: not available " }
                .mid(0, n);
    };
    const QString near = "Sponsor Near (Near) [111.303km]: <latency>",
                  nearFailed = "Sponsor Near (Near) [111.303km]: 2147483647";
    const QString fromCache = "Sponsor Near (Near) [5.5km]: <latency>", nobody = " () [0km]: -1";
    // A whole test; the list fetched, or as the row says.
    const auto whole = [&](Case c, const QString &server = QString(),
                           const QStringList &list = QStringList()) {
        c.chosen = server.isEmpty() ? near : server;
        c.events =
                start + (list.isEmpty() ? fetched : list) + chosen(c.chosen) + errors + speed + end;
        c.report = lines(6, c.chosen);
        return c;
    };
    // first: an error text that came before, when the body that followed the error failed too.
    const auto failed = [&](Case c, int error, const QString &text,
                            const QString &first = QString()) {
        const bool config = error == TestSpeed::GetConfigsError;
        c.events = start + (config ? QStringList() : fetched)
                + (first.isEmpty() ? errors : QStringList{ "<error>", "! " + first }) + end
                + (first.isEmpty() ? QStringList() : QStringList("<errorString>"));
        c.report = lines(config ? 1 : 2, "");
        c.error = error, c.errorString = text, c.bytes = 0, c.cached = 0, c.chosen = nobody;
        return c;
    };
    // The download never starts: the test ends at once with the downloader's word.
    const auto noDownload = [&](Case c, const QString &server, const QString &text) {
        c.chosen = server, c.events = start + fetched + chosen(server) + errors + end,
        c.report = lines(4, server);
        c.errorString = text, c.bytes = 0;
        return c;
    };
    const auto at = [](int where, int fault) {
        Case c;
        c.where = where, c.fault = fault;
        return c;
    };
    const auto with = [](const char *numbers) {
        Case c;
        c.numbers = numbers;
        return c;
    };
    const auto cache = [](int state) {
        Case c;
        c.cache = state;
        return c;
    };
    const auto twist = [](int t) {
        Case c;
        c.twist = t;
        return c;
    };
    const auto row = [](const char *name, const Case &c) { QTest::newRow(name) << c; };

    // Nearest 20 by distance, then by latency: the 21st is never asked.
    Case all = whole(twist(Twenty));
    all.numbers = "5 2 1", all.bytes = 8 * Half,
    all.cached = 21; // four pieces per connection, 100 ms apart
    row("no cache: the whole test", all);
    Case huge = whole(twist(Gigabytes));
    huge.numbers = "600 3 1", huge.bytes = 3000000000LL;
#ifndef Q_OS_WIN // the heaviest row; the count's code is the same everywhere
    row("more than 2^31 bytes", huge);
#endif
#ifndef Q_OS_WIN // Wine lacks what Qt's Secure Channel needs to serve TLS (CertFindChainInStore);
                 // the client side works
    Case tls = whole(Case());
    tls.https = true;
    row("configuration and server list over https", tls);
#endif
    row("fresh cache", whole(cache(Fresh), fromCache, cached));
    row("cache 8 days old", whole(cache(Stale), near, stale));
    Case unreadable = whole(cache(Unreadable), near, stale);
    unreadable.cached = -1;
    row("fresh cache yielding no server: a folder at its name", unreadable);
    row("cache cleared by the caller", whole(cache(Cleared)));

    const QString cfg = "Config file error: ", lst = "Servers file error: ",
                  net = "Server file error: ";
    const QString timedOut = "Request timed out after 0.4 s without data",
                  large = "Document too large (more than 1 MiB)";
    const QString replied = "Error transferring %U - server replied: Status",
                  notParsed = "error occurred while parsing element";
    const QString truncated = "unexpected end of file";
    const int C = TestSpeed::GetConfigsError, L = TestSpeed::GetServerListError;
    row("configuration arriving slowly", whole(at(Config, Slowly)));
    row("configuration moved", whole(at(Config, Moved)));
    row("configuration as large as allowed", whole(at(Config, AtLimit)));
    // The product's own limit: a byte past it is enough to pin it (at it costs a second more).
    Case past = failed(at(Config, AtLimit), C, cfg + "Document too large (more than 32 MiB)");
    past.size = 32 * MiB + 1;
    row("configuration a byte past the product's limit", past);
    row("configuration error page", failed(at(Config, ErrorPage), C, cfg + replied));
    row("configuration silent", failed(at(Config, Silent), C, cfg + timedOut));
    const QString closed = "Connection closed";
    row("configuration cut short", failed(at(Config, Cut), C, cfg + truncated, cfg + closed));
    row("configuration too large", failed(at(Config, Huge), C, cfg + large));
    row("configuration without settings",
        failed(at(Config, NoContent), C, cfg + "No settings in the document"));

    row("server list moved", whole(at(List, Moved)));
    row("server list error page", failed(at(List, ErrorPage), L, net + replied));
    row("server list silent", failed(at(List, Silent), L, net + timedOut));
    row("server list not XML", failed(at(List, NotXml), L, lst + notParsed));
    row("server list cut short", failed(at(List, Cut), L, lst + truncated, net + closed));
    row("server list too large", failed(at(List, Huge), L, net + large));
    row("server list declared too large", failed(at(List, Declared), L, net + large));
    Case empty = noDownload(at(List, NoContent), nobody, "Invalid server");
    empty.cached = 0;
    row("server list without servers", empty);

    // Every probe fails, so all latencies are equal: the later probed, the farther, comes first.
    row("latency file wrong", whole(at(Latency, WrongBody), nearFailed));
    row("latency file moved", whole(at(Latency, Moved)));
    row("latency file silent", whole(at(Latency, Silent), nearFailed));

    // Connection counts of the service out of range (its times: tst_parsers).
    row("threadsperurl -3", noDownload(with("1 -3 1"), near, "Invalid connection count: -3"));
    Case many = whole(with("5 1k 1")); // time for sixteen connections on a loaded machine
    many.bytes = 16 * Half;
    row("threadsperurl 1k lowered to 16", many);
    row("threadsperurl not a number",
        noDownload(with("1 x 1"), near, "Invalid connection count: 0"));

    // Cancelled: nothing more is reported, even by answers on their way.
    Case cancelStart = twist(CancelAtStart);
    cancelStart.events = start, cancelStart.report = lines(1, ""), cancelStart.chosen = nobody;
    cancelStart.error = TestSpeed::NoError, cancelStart.errorString.clear(), cancelStart.bytes = 0,
    cancelStart.cached = 0;
    row("cancel at start", cancelStart);
    Case cancelDownload = noDownload(twist(CancelAtDownload), near, QString());
    cancelDownload.events = start + fetched + chosen(near),
    cancelDownload.error = TestSpeed::NoError;
    cancelDownload.bytes = 2 * Half; // the download itself runs out
    row("cancel while downloading", cancelDownload);
}

void tst_SpeedTest::run()
{
    QFETCH(Case, c);
    WorkDir work;
    QVERIFY(work.isValid());
    LocalService web(c.https), dead, far, near;
    far.route(LatencyPath, "test=test");
    serve(near, LatencyPath, c.where == Latency ? c.fault : Ok, "test=test\n", "");
    near.download = c.twist == Twenty ? Behaviour::Slow
            : c.twist == Gigabytes    ? Behaviour::Normal
                                      : Behaviour::CloseEarly;
    QList<TestServer> servers;
    if (c.twist == Twenty)
        servers << TestServer{ &far, 1, 9, "Far" };
    servers << TestServer{ &near, 1, 0, "Near" };
    for (int i = 0; i < (c.twist == Twenty ? 19 : 1); ++i)
        servers << TestServer{ &dead, 1, -0.95 + 0.1 * i, "Dead" };
    const QStringList n = c.numbers.split(' ');
    serve(web, ConfigPath, c.where == Config ? c.fault : Ok, configDocument(n[0], n[1], n[2]),
          "<settings/>", c.size);
    ReplyGuard::setBodyLimitForTesting(c.size > MiB ? 0 : MiB);
    serve(web, ListPath, c.where == List ? c.fault : Ok, serverListDocument(servers),
          "<settings><servers/></settings>");
    c.errorString.replace("%U", web.url(c.where == Config ? ConfigPath : ListPath));
    // A short bound for a silent document, and one shorter than the whole of a document in pieces
    // 100 ms apart; other answers on a loaded machine may pause long.
    ReplyGuard::setIdleTimeoutForTesting(c.where == Latency          ? 30000
                                                 : c.fault == Silent ? 400
                                                 : c.fault == Slowly ? scaled(500)
                                                                     : 30000);

    const QString entry =
            R"({"country":"Testland","distance":%1,"host":"%2","latencyUrl":"%3","latitude":1,"longitude":0,"name":"%4",)"
            R"("sponsor":"Sponsor %4","url":"%5"})";
    const auto at = [&](const LocalService *s, const char *km, const char *name) {
        return entry.arg(km, s->host(), s->url(LatencyPath), name, s->url("/speedtest/upload.php"));
    };
    const QByteArray planted =
            ('[' + at(&dead, "0.5", "Dead") + ',' + at(&near, "5.5", "Near") + ']').toUtf8();
    const QDateTime when = QDateTime::currentDateTime().addDays(c.cache == Stale ? -8 : 0);
    QVERIFY(c.cache == NoCache
            || QDir().mkpath(c.cache == Unreadable ? CacheFile : QFileInfo(CacheFile).path()));
    QVERIFY(c.cache == NoCache || c.cache == Unreadable || work.write(CacheFile, planted, when));

    TestSpeed test;
    test.client()->setConfigsUrl(web.url(ConfigPath));
    test.serverList()->setServersUrl(web.url(ListPath));
    if (c.cache == Cleared)
        test.clearCache();
    Recorder recorder;
    recorder.watch(&test, &TestSpeed::statusChanged,
                   [&] { return QStringLiteral("[%1]").arg(test.status()); });
    recorder.watch(&test, &TestSpeed::statusStringChanged, [&] { return test.statusString(); });
    recorder.watch(&test, &TestSpeed::finished, [] { return QStringLiteral("finished"); });
    recorder.watch(&test, &TestSpeed::errorChanged,
                   [&] { return QStringLiteral("<%1>").arg(test.error()); });
    recorder.watch(&test, &TestSpeed::errorStringChanged,
                   [&] { return "! " + test.errorString(); });
    Downloader *downloader = test.downloader();
    connect(downloader, &Downloader::statusChanged, this, [&] {
        if (c.twist == CancelAtDownload)
            test.cancel();
    });
    const qint64 begin = LocalService::now();
    qint64 outside = -1;
    connect(&test, &TestSpeed::finished, this, [&] { outside = LocalService::now() - begin; });
    test.start();
    if (c.twist == CancelAtStart) {
        test.cancel();
        QTRY_VERIFY_WITH_TIMEOUT(!test.client()->configs().isEmpty(), scaled(5000));
    } else if (c.twist == CancelAtDownload) {
        QTRY_COMPARE_WITH_TIMEOUT(downloader->status(), Downloader::Finished, scaled(5000));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(outside >= 0, scaled(c.bytes > INT_MAX ? 90000 : 5000));
        QTRY_COMPARE_WITH_TIMEOUT(test.errorString(), c.errorString,
                                  scaled(5000)); // a later error may replace the first
    }
    if (outside < 0)
        outside = LocalService::now() - begin;

    // The latency a probe took, within the test's own span; the speed from bytes the service really
    // sent over a time at least as long as its sending, at most as long as the test.
    const int ms = test.bestServer().value("latency").toInt();
    QVERIFY2(!c.chosen.contains("<latency>") || (ms >= 0 && ms <= outside),
             qPrintable(QString::number(ms)));
    const qint64 got = downloader->downloadBytes64();
    const LocalService::Sent sent = near.sent.value("DOWNLOAD");
    QVERIFY2(got == c.bytes && (got == 0 || got == sent.bytes),
             qPrintable(QStringLiteral("%1 of %2").arg(got).arg(sent.bytes)));
    QString log = QString::fromLocal8Bit(work.read("Linkometer.log"));
    const QString speed = QRegularExpression("Dowload: (.*)mbps").match(log).captured(1);
    const double implied = got * 8.0 / 1024 / speed.toDouble(); // ms
    QVERIFY2(speed.isEmpty()
                     || (got == 0 ? speed == "0"
                                  : implied <= outside + 1.01
                                         && (sent.first < 0
                                             || implied >= sent.last - sent.first - 1.01)),
             qPrintable(QStringLiteral("%1 bytes at %2, sent in %3 ms, seen in %4 ms")
                                .arg(got)
                                .arg(speed)
                                .arg(sent.last - sent.first)
                                .arg(outside)));
    if (c.bytes
        > INT_MAX) // the int property keeps the low 32 bits; the speed comes from the full count
        QCOMPARE(downloader->downloadBytes(), int(c.bytes - (qint64(1) << 32)));
    for (QStringList *texts : { &c.events, &c.report })
        texts->replaceInStrings("<latency>", QString::number(ms))
                .replaceInStrings("<speed>", speed)
                .replaceInStrings("<errorString>", "! " + c.errorString)
                .replaceInStrings("%U", web.url(c.where == Config ? ConfigPath : ListPath))
                .replaceInStrings("<error>", QStringLiteral("<%1>").arg(c.error));
    QCOMPARE(recorder.events.join(" | "), c.events.join(" | "));
    const QVariantMap best = test.bestServer();
    QCOMPARE(QStringLiteral("%1 (%2) [%3km]: %4")
                     .arg(best.value("sponsor").toString(), best.value("name").toString(),
                          QString::number(best.value("distance").toDouble(), 'g', 6),
                          best.value("latency").toString()),
             c.chosen.replace("<latency>", QString::number(ms)));
    QStringList fields; // the rest of the record: the near service's, or an empty one
    for (const char *key : { "host", "url", "latencyUrl", "country", "latitude", "longitude" })
        fields << best.value(key).toString();
    const QStringList nearFields{
        near.host(), near.url("/speedtest/upload.php"), near.url(LatencyPath), "Testland", "1", "0"
    };
    QCOMPARE(fields,
             c.chosen.contains("(Near)") ? nearFields : QStringList({ "", "", "", "", "0", "0" }));
    log.replace(QRegularExpression("^Test time: \\d{4}(-\\d\\d){5}-\\d{3} "), "Test time: <time> ");
    QCOMPARE(log, c.report.join('\n') + '\n');

    // Each document once (no retried or moved ones), from the client the service knows.
    const bool fetches =
            c.error != TestSpeed::GetConfigsError && c.cache != Fresh && c.twist != CancelAtStart;
    QStringList asked = web.requests.filter(QRegularExpression("php$"));
    asked.removeDuplicates();
    QCOMPARE(asked, QStringList(ConfigPath) + (fetches ? QStringList(ListPath) : QStringList()));
    QCOMPARE(web.lastHeaders.value("user-agent"), QByteArray("Linkometer/1.0.0"));
    if (!near.requests.isEmpty())
        QCOMPARE(near.lastHeaders.value("user-agent"), QByteArray("Linkometer/1.0.0"));
    QVERIFY(far.requests.isEmpty());
    QCOMPARE(QFileInfo(CacheFile).isDir(), c.cached < 0);
    const QByteArray now = work.read(CacheFile);
    QCOMPARE(QFileInfo::exists(CacheFile) ? QJsonDocument::fromJson(now).array().size() : 0,
             qMax(0, c.cached));
    QVERIFY(c.cache != Fresh || now == planted); // a list from the cache is not written back
}

QTEST_GUILESS_MAIN(tst_SpeedTest)
#include "tst_speedtest.moc"
