#include <QtTest>

#include "LocalService.h"
#include "Recorder.h"
#include "ReplyGuard.h"
#include "ServerCache.h"
#include "TestSpeed.h"
#include "WorkDir.h"

namespace {
const QString ConfigPath = QStringLiteral("/speedtest-config.php");
const QString ListPath = QStringLiteral("/speedtest-servers-static.php");
const QString LatencyPath = QStringLiteral("/speedtest/latency.txt");
const QString Retrieving = QStringLiteral("Retrieving configuration from server...");
QString CacheFile;

enum Cache { NoCache, Fresh, Week, Stale, EmptyCache, Unreadable };
// What the configuration, the server list or the near server's latency file does.
enum Where { Config, List, Latency };
enum Fault { Ok, Slowly, Moved, ErrorPage, Silent, Garbage, NotFound, NotXml, Cut, Huge, NoContent, WrongBody };
// The test servers, or the caller.
enum Twist { Plain, Twenty, Gigabytes, Refuse, Vanish, CancelAtStart, CancelAtDownload };
const qint64 Some = -1, NoDownload = -2, Half = 256 * 1024; // Half: what a server closing early sends

const QString Near = QStringLiteral("Sponsor Near (Near) [111.303km]: %L");
const QString NearFailed = QStringLiteral("Sponsor Near (Near) [111.303km]: 2147483647");
const QString Cached = QStringLiteral("Sponsor Near (Near) [5.5km]: %L"), Nobody = " () [0km]: -1";
const QString Closed = QStringLiteral("The remote host closed the connection");
const QString Cfg = "Config file error: ", Lst = "Servers file error: ", Net = "Server file error: ";
const QString TimedOut = "Request timed out after 0.4 s without data", Large = "Document too large (more than 1 MiB)";
const QString Replied = "Error transferring %U - server replied: Status", NoSettings = "No settings in the document";
const QString NotParsed = QStringLiteral("error occurred while parsing element");
const QString Truncated = QStringLiteral("unexpected end of file"), Count = "Invalid connection count: ";

// The route at path, answering good unless the fault says otherwise.
void serve(LocalService &s, const QString &path, int fault, const QByteArray &good, const QByteArray &empty)
{
    Route r;
    r.body = fault == NotXml ? "plain text" : fault == NoContent ? empty : fault == WrongBody ? "TEST=TEST" : good;
    if (fault == NotFound)
        r.status = 404, r.body = "not found";
    if (fault == ErrorPage)
        r.status = 500;
    if (fault == Moved) {
        r = Route{ 302, "", path.toLatin1() + "?moved" };
        s.route(path + "?moved", good);
    }
    const QHash<int, Behaviour> how{ { Slowly, Behaviour::Slow }, { Silent, Behaviour::Silent },
                                     { Garbage, Behaviour::Garbage }, { Cut, Behaviour::CloseEarly },
                                     { Huge, Behaviour::Endless } };
    r.behaviour = how.value(fault, Behaviour::Normal);
    s.route(path, r);
}

QJsonObject entry(const LocalService &s, const QString &name, double km)
{
    return { { "country", "Testland" }, { "distance", km }, { "host", s.host() },
             { "latencyUrl", s.url(LatencyPath) }, { "latitude", 0 }, { "longitude", 1 }, { "name", name },
             { "sponsor", "Sponsor " + name }, { "url", s.url("/speedtest/upload.php") } };
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
    QVERIFY(CacheFile.startsWith(cache.path()));
    ReplyGuard::setIdleTimeoutForTesting(400); // a silent web host, cut short
    ReplyGuard::setBodyLimitForTesting(1024 * 1024);
}

void tst_SpeedTest::init()
{
    QDir(CacheFile).removeRecursively();
    QFile::remove(CacheFile);
    QVERIFY(QDir().mkpath(QFileInfo(CacheFile).path()));
}

void tst_SpeedTest::run_data()
{
    QTest::addColumn<int>("cache");
    QTest::addColumn<int>("where");
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("twist");
    QTest::addColumn<QString>("numbers"); // testlength threadsperurl timeout
    QTest::addColumn<QString>("selected");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("errorString");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<int>("cached"); // servers in the cache file; 0 none, -1 a directory

    const auto row = [](const char *name, int cache, int where, int fault, int twist, const char *numbers,
                        const QString &selected, int error, const QString &errorString, qint64 bytes, int cached) {
        QTest::newRow(name) << cache << where << fault << twist << QString(numbers) << selected << error
                            << errorString << bytes << cached;
    };
    const int C = TestSpeed::GetConfigsError, L = TestSpeed::GetServerListError, D = TestSpeed::DownloadError;
    // Nearest 20 by distance, then by latency: the 21st is never asked.
    row("no cache: the whole test", NoCache, Config, Ok, Twenty, "1 2 1", Near, 0, "", Some, 21);
    row("more than 2^31 bytes", NoCache, Config, Ok, Gigabytes, "600 3 1", Near, D, Closed, 3000000000LL, 2);
    row("fresh cache", Fresh, Config, Ok, Plain, "1 2 1", Cached, D, Closed, 2 * Half, 2);
    row("cache 7 days old", Week, Config, Ok, Plain, "1 2 1", Cached, D, Closed, 2 * Half, 2);
    row("cache 8 days old", Stale, Config, Ok, Plain, "1 2 1", Near, D, Closed, 2 * Half, 2);
    row("fresh but empty cache", EmptyCache, Config, Ok, Plain, "1 2 1", Near, D, Closed, 2 * Half, 2);
    row("unreadable cache", Unreadable, Config, Ok, Plain, "1 2 1", Near, D, Closed, 2 * Half, -1);

    row("configuration arriving slowly", NoCache, Config, Slowly, Plain, "1 2 1", Near, D, Closed, 2 * Half, 2);
    row("configuration moved", NoCache, Config, Moved, Plain, "1 2 1", Near, D, Closed, 2 * Half, 2);
    row("configuration error page", NoCache, Config, ErrorPage, Plain, "1 2 1", "", C, Cfg + Replied, NoDownload, 0);
    row("configuration silent", NoCache, Config, Silent, Plain, "1 2 1", "", C, Cfg + TimedOut, NoDownload, 0);
    row("configuration garbage", NoCache, Config, Garbage, Plain, "1 2 1", "", C, "Empty config file", NoDownload, 0);
    row("configuration 404", NoCache, Config, NotFound, Plain, "1 2 1", "", C, Cfg + NotParsed, NoDownload, 0);
    row("configuration not XML", NoCache, Config, NotXml, Plain, "1 2 1", "", C, Cfg + NotParsed, NoDownload, 0);
    row("configuration cut short", NoCache, Config, Cut, Plain, "1 2 1", "", C, Cfg + Truncated, NoDownload, 0);
    row("configuration too large", NoCache, Config, Huge, Plain, "1 2 1", "", C, Cfg + Large, NoDownload, 0);
    row("configuration without settings", NoCache, Config, NoContent, Plain, "1 2 1", "", C, Cfg + NoSettings, NoDownload, 0);

    row("server list moved", NoCache, List, Moved, Plain, "1 2 1", Near, D, Closed, 2 * Half, 2);
    row("server list error page", NoCache, List, ErrorPage, Plain, "1 2 1", "", L, Net + Replied, NoDownload, 0);
    row("server list silent", NoCache, List, Silent, Plain, "1 2 1", "", L, Net + TimedOut, NoDownload, 0);
    row("server list garbage", NoCache, List, Garbage, Plain, "1 2 1", "", L, Lst + Truncated, NoDownload, 0);
    row("server list 404", NoCache, List, NotFound, Plain, "1 2 1", "", L, Lst + NotParsed, NoDownload, 0);
    row("server list not XML", NoCache, List, NotXml, Plain, "1 2 1", "", L, Lst + NotParsed, NoDownload, 0);
    row("server list cut short", NoCache, List, Cut, Plain, "1 2 1", "", L, Lst + Truncated, NoDownload, 0);
    row("server list too large", NoCache, List, Huge, Plain, "1 2 1", "", L, Net + Large, NoDownload, 0);
    row("server list without servers", NoCache, List, NoContent, Plain, "1 2 1", Nobody, D, "Invalid server", NoDownload, 0);

    // Every probe fails: the later probed, the farther, comes first.
    row("latency file wrong", NoCache, Latency, WrongBody, Plain, "1 2 1", NearFailed, D, Closed, 2 * Half, 2);
    row("latency file missing", NoCache, Latency, NotFound, Plain, "1 2 1", NearFailed, D, Closed, 2 * Half, 2);
    row("latency file moved", NoCache, Latency, Moved, Plain, "1 2 1", Near, D, Closed, 2 * Half, 2);
    row("latency file silent", NoCache, Latency, Silent, Plain, "1 2 1", NearFailed, D, Closed, 2 * Half, 2);
    row("test server refuses", NoCache, Config, Ok, Refuse, "1 2 1", Near, D, "Connection refused", 0, 2);
    row("test server vanishes mid-run", NoCache, Config, Ok, Vanish, "1 1 1", Near, D, Closed, Some, 2);

    // Numbers of the service out of range fall back to the usual ones.
    row("testlength 0", NoCache, Config, Ok, Plain, "0 2 1", Near, D, Closed, 2 * Half, 2);
    row("testlength not a number", NoCache, Config, Ok, Plain, "x 3 1", Near, D, Closed, 3 * Half, 2);
    row("testlength x 1000 past int", NoCache, Config, Ok, Plain, "2147484 1 1", Near, D, Closed, Half, 2);
    row("threadsperurl -3", NoCache, Config, Ok, Plain, "1 -3 1", Near, D, Count + "-3", NoDownload, 2);
    row("threadsperurl 1k lowered to 16", NoCache, Config, Ok, Plain, "1 1k 1", Near, D, Closed, 16 * Half, 2);
    row("threadsperurl not a number", NoCache, Config, Ok, Plain, "1 x 1", Near, D, Count + "0", NoDownload, 2);
    row("timeout not a number", NoCache, Config, Ok, Plain, "1 2 x", Near, D, Closed, 2 * Half, 2);

    // Cancelled: nothing more is reported, even by answers on their way.
    row("cancel at start", NoCache, Config, Ok, CancelAtStart, "1 2 1", "", 0, "", NoDownload, 0);
    row("cancel while downloading", NoCache, Config, Ok, CancelAtDownload, "1 2 1", Near, 0, "", NoDownload, 2);
}

void tst_SpeedTest::run()
{
    QFETCH(int, cache);
    QFETCH(int, where);
    QFETCH(int, fault);
    QFETCH(int, twist);
    QFETCH(QString, numbers);
    QFETCH(QString, selected);
    QFETCH(int, error);
    QFETCH(QString, errorString);
    QFETCH(qint64, bytes);
    QFETCH(int, cached);

    WorkDir work;
    QVERIFY(work.isValid());
    QObject owner;
    LocalService web, dead, far;
    QPointer<LocalService> near = new LocalService(false, &owner);
    far.route(LatencyPath, "test=test");
    serve(*near, LatencyPath, where == Latency ? fault : Ok, "test=test\n", "");
    near->download = twist == Twenty ? Behaviour::Slow : twist == Vanish ? Behaviour::Endless
        : twist == Gigabytes ? Behaviour::Normal : Behaviour::CloseEarly;
    QList<TestServer> servers;
    if (twist == Twenty)
        servers << TestServer{ &far, 1, 9, "Far" };
    servers << TestServer{ near, 1, 0, "Near",
                           twist == Refuse ? QStringLiteral("127.0.0.1:%1").arg(LocalService::closedPort()) : "" };
    for (int i = 0; i < (twist == Twenty ? 19 : 1); ++i)
        servers << TestServer{ &dead, 1, -0.95 + 0.1 * i, "Dead" };
    const QStringList n = numbers.split(' ');
    serve(web, ConfigPath, where == Config ? fault : Ok, configDocument(1, -1, "Acme Net", n[0], n[1], n[2]),
          "<settings/>");
    serve(web, ListPath, where == List ? fault : Ok, serverListDocument(servers), "<settings><servers/></settings>");
    errorString.replace("%U", web.url(where == Config ? ConfigPath : ListPath));

    const bool fromCache = cache == Fresh || cache == Week;
    QByteArray planted;
    if (cache == Unreadable) {
        QVERIFY(QDir().mkpath(CacheFile));
    } else if (cache != NoCache) {
        planted = cache == EmptyCache ? "[]"
                                      : QJsonDocument(QJsonArray{ entry(dead, "Dead", 0.5), entry(*near, "Near", 5.5) })
                                            .toJson(QJsonDocument::Compact);
        QFile file(CacheFile);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(planted) == planted.size() && file.flush());
        const QDateTime when = QDateTime::currentDateTime().addDays(cache == Week ? -7 : cache == Stale ? -8 : 0);
        QVERIFY(file.setFileTime(when, QFileDevice::FileModificationTime));
    }

    TestSpeed test;
    test.client()->setConfigsUrl(web.url(ConfigPath));
    test.serverList()->setServersUrl(web.url(ListPath));
    Recorder recorder;
    recorder.watch(&test, &TestSpeed::statusChanged, [&] { return QStringLiteral("[%1]").arg(test.status()); });
    recorder.watch(&test, &TestSpeed::statusStringChanged, [&] { return test.statusString(); });
    recorder.watch(&test, &TestSpeed::finished, [] { return QStringLiteral("finished"); });
    Downloader *downloader = test.downloader();
    connect(downloader, &Downloader::statusChanged, this, [&] {
        if (twist == Vanish && downloader->status() == Downloader::Downloading)
            near->deleteLater();
        if (twist == CancelAtDownload)
            test.cancel();
    });
    test.start();
    if (twist == CancelAtStart) {
        test.cancel();
        QTRY_VERIFY(!test.client()->configs().isEmpty());
    } else if (twist == CancelAtDownload) {
        QTRY_COMPARE(downloader->status(), Downloader::Finished);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(recorder.events.contains("finished"), (bytes > INT_MAX ? 300000 : 5000));
        QTRY_COMPARE(test.errorString(), errorString); // a later error may replace the first
    }

    // What the test should have shown and written, from the row.
    const QString listText = fromCache ? "Servers list is updated."
        : cache == NoCache             ? "Retrieving servers list from server..."
                                       : "Updating servers list from server...";
    const QRegularExpressionMatch choice = QRegularExpression("(.*) \\[.*\\]: (.*)").match(selected);
    QStringList lines{ "Test time: %T ", "ISP: Acme Net ", "Server: " + choice.captured(1) + " ",
                       "Latency: " + choice.captured(2) + "ms ", "Dowload: %Smbps ", "Loss: not available " };
    QStringList expected{ "[1]", Retrieving };
    int written = 1;
    if (error != TestSpeed::GetConfigsError) {
        expected << listText << (fromCache ? QStringList() : QStringList("[2]"));
        written = 2;
        if (error != TestSpeed::GetServerListError) {
            expected << "[3]" << "Check latencies..." << "Selected server: " + selected + "ms" << "[4]" << "Downloading...";
            written = 4;
            if (bytes != NoDownload)
                expected << "Download Speed: %Smbps", written = 6;
        }
    }
    expected << "[6]" << "finished" << "Finished";
    if (twist == CancelAtStart)
        expected = expected.mid(0, 2), written = 1;
    if (twist == CancelAtDownload)
        expected = expected.mid(0, expected.indexOf("Downloading...") + 1);

    const int ms = test.bestServer().value("latency").toInt();
    QVERIFY2(!selected.contains("%L") || (ms >= 0 && ms < 2000), qPrintable(QString::number(ms)));
    const qint64 got = downloader->downloadBytes64();
    const int time = downloader->downloadTime();
    const QString speed = QString::number(got > 0 && time > 0 ? got * 8.0 / 1024 / time : 0.0, 'g', 6);
    for (QStringList *texts : { &expected, &lines })
        for (QString &text : *texts)
            text.replace("%L", QString::number(ms)).replace("%S", speed);

    QCOMPARE(recorder.events, expected);
    // The chosen server as a caller reads it.
    const QVariantMap best = test.bestServer();
    QCOMPARE(QStringLiteral("%1 (%2) [%3km]: %4").arg(best.value("sponsor").toString(), best.value("name").toString(),
             QString::number(best.value("distance").toDouble(), 'g', 6), best.value("latency").toString()),
             QString(selected.isEmpty() ? Nobody : selected).replace("%L", QString::number(ms)));
    QCOMPARE(best.value("latencyUrl").toString(), best.value("url").toString().replace("upload.php", "latency.txt"));
    QCOMPARE(int(test.error()), error);
    QCOMPARE(test.errorString(), errorString);
    QString log = QString::fromLocal8Bit(work.read("Linkometer.log"));
    log.replace(QRegularExpression("^Test time: \\d{4}(-\\d\\d){5}-\\d{3} "), "Test time: %T ");
    QCOMPARE(log, lines.mid(0, written).join('\n') + '\n');
    QVERIFY(bytes == NoDownload || (bytes == Some ? got > 0 : got == bytes));
    if (bytes > INT_MAX) // the int property keeps the low 32 bits; the speed comes from the full count
        QCOMPARE(downloader->downloadBytes(), int(bytes - (qint64(1) << 32)));

    const bool fetches = error != TestSpeed::GetConfigsError && !fromCache && twist != CancelAtStart;
    QStringList asked = web.requests.filter(QRegularExpression("php$")); // no retried or moved ones
    asked.removeDuplicates();
    QCOMPARE(asked, QStringList(ConfigPath) + (fetches ? QStringList(ListPath) : QStringList()));
    QCOMPARE(web.lastHeaders.value("user-agent"), QByteArray("Linkometer/1.0.0"));
    if (near && !near->requests.isEmpty())
        QCOMPARE(near->lastHeaders.value("user-agent"), QByteArray("Linkometer/1.0.0"));
    QVERIFY(far.requests.isEmpty());
    QCOMPARE(QFileInfo(CacheFile).isDir(), cached < 0);
    QCOMPARE(QFileInfo::exists(CacheFile), cached != 0);
    QFile file(CacheFile);
    if (cached > 0 && file.open(QIODevice::ReadOnly)) {
        const QByteArray now = file.readAll();
        QCOMPARE(QJsonDocument::fromJson(now).array().size(), cached);
        QVERIFY(!fromCache || now == planted); // a list from the cache is not written back
    }
}

QTEST_GUILESS_MAIN(tst_SpeedTest)
#include "tst_speedtest.moc"
