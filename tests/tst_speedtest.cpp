#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QRegularExpression>
#include <QStandardPaths>
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

enum Cache { NoCache, Fresh, Week, Stale, EmptyCache, Unreadable };
// What a route of the web host or the near server's latency file does.
enum Fault { Ok, Slowly, Moved, Silent, Garbage, NotFound, NotXml, Cut, NoContent, WrongBody };
// The test servers, or the caller.
enum Twist { Plain, Twenty, Gigabytes, Refuse, Vanish, CancelAtStart, CancelAtDownload };
const qint64 Some = -1, NoDownload = -2, Half = 256 * 1024; // Half: what a server closing early sends

const QString Near = QStringLiteral("Sponsor Near (Near) [111.319km]: %L");
const QString NearFailed = QStringLiteral("Sponsor Near (Near) [111.319km]: 2147483647");
const QString Cached = QStringLiteral("Sponsor Near (Near) [5.5km]: %L");
const QString Closed = QStringLiteral("The remote host closed the connection");
const QString Cfg = "Config file error: ", List = "Servers file error: ", Net = "Server file error: ";
const QString TimedOut = QStringLiteral("Request timed out after 0.4 s without data");
const QString NotParsed = QStringLiteral("error occurred while parsing element");
QString CacheFile; // in the test's own cache folder
const QString Truncated = QStringLiteral("unexpected end of file"), Count = "Invalid connection count: ";

// The route at path, answering good unless the fault says otherwise.
void serve(LocalService &s, const QString &path, int fault, const QByteArray &good, const QByteArray &empty)
{
    Route r;
    r.body = fault == NotXml ? "plain text" : fault == NoContent ? empty : fault == WrongBody ? "TEST=TEST" : good;
    if (fault == NotFound)
        r.status = 404, r.body = "not found";
    if (fault == Moved) {
        r = Route{ 302, "", path.toLatin1() + "?moved" };
        s.route(path + "?moved", good);
    }
    const QHash<int, Behaviour> how{ { Slowly, Behaviour::Slow }, { Silent, Behaviour::Silent },
                                     { Garbage, Behaviour::Garbage }, { Cut, Behaviour::CloseEarly } };
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
    QStandardPaths::setTestModeEnabled(true);
    CacheFile = ServerCache::filePath(ServerCache::cacheDirectory());
    QVERIFY(CacheFile.contains(".qttest"));
    ReplyGuard::setIdleTimeoutForTesting(400); // a silent web host, cut short
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
    QTest::addColumn<int>("config");
    QTest::addColumn<int>("list");
    QTest::addColumn<int>("latency");
    QTest::addColumn<int>("twist");
    QTest::addColumn<QString>("numbers"); // testlength threadsperurl timeout
    QTest::addColumn<QString>("selected");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("errorString");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<int>("cached"); // servers in the cache file; 0 none, -1 a directory

    const auto row = [](const char *name, int cache, int config, int list, int latency, int twist, const char *numbers,
                        const QString &selected, int error, const QString &errorString, qint64 bytes, int cached) {
        QTest::newRow(name) << cache << config << list << latency << twist << QString(numbers) << selected << error
                            << errorString << bytes << cached;
    };
    const int C = TestSpeed::GetConfigsError, L = TestSpeed::GetServerListError, D = TestSpeed::DownloadError;
    // Nearest 20 by distance, then by latency: the 21st is never asked.
    row("no cache: the whole test", NoCache, Ok, Ok, Ok, Twenty, "1 2 1", Near, 0, "", Some, 21);
    row("more than 2^31 bytes", NoCache, Ok, Ok, Ok, Gigabytes, "60 3 1", Near, D, Closed, 3000000000LL, 2);
    row("fresh cache", Fresh, Ok, Ok, Ok, Plain, "1 2 1", Cached, D, Closed, 2 * Half, 2);
    row("cache 7 days old", Week, Ok, Ok, Ok, Plain, "1 2 1", Cached, D, Closed, 2 * Half, 2);
    row("cache 8 days old", Stale, Ok, Ok, Ok, Plain, "1 2 1", Near, D, Closed, 2 * Half, 2);
    row("fresh but empty cache", EmptyCache, Ok, Ok, Ok, Plain, "1 2 1", Near, D, Closed, 2 * Half, 2);
    row("unreadable cache", Unreadable, Ok, Ok, Ok, Plain, "1 2 1", Near, D, Closed, 2 * Half, -1);

    row("configuration arriving slowly", NoCache, Slowly, Ok, Ok, Plain, "1 2 1", Near, D, Closed, 2 * Half, 2);
    row("configuration moved", NoCache, Moved, Ok, Ok, Plain, "1 2 1", Near, D, Closed, 2 * Half, 2);
    row("configuration silent", NoCache, Silent, Ok, Ok, Plain, "1 2 1", "", C, Cfg + TimedOut, NoDownload, 0);
    row("configuration garbage", NoCache, Garbage, Ok, Ok, Plain, "1 2 1", "", C, "Empty config file", NoDownload, 0);
    row("configuration 404", NoCache, NotFound, Ok, Ok, Plain, "1 2 1", "", C, Cfg + NotParsed, NoDownload, 0);
    row("configuration not XML", NoCache, NotXml, Ok, Ok, Plain, "1 2 1", "", C, Cfg + NotParsed, NoDownload, 0);
    row("configuration cut short", NoCache, Cut, Ok, Ok, Plain, "1 2 1", "", C, Cfg + Truncated, NoDownload, 0);
    row("configuration without settings", NoCache, NoContent, Ok, Ok, Plain, "1 2 1", "", C,
        Cfg + "No settings in the document", NoDownload, 0);

    row("server list moved", NoCache, Ok, Moved, Ok, Plain, "1 2 1", Near, D, Closed, 2 * Half, 2);
    row("server list silent", NoCache, Ok, Silent, Ok, Plain, "1 2 1", "", L, Net + TimedOut, NoDownload, 0);
    row("server list garbage", NoCache, Ok, Garbage, Ok, Plain, "1 2 1", "", L, List + Truncated, NoDownload, 0);
    row("server list 404", NoCache, Ok, NotFound, Ok, Plain, "1 2 1", "", L, List + NotParsed, NoDownload, 0);
    row("server list not XML", NoCache, Ok, NotXml, Ok, Plain, "1 2 1", "", L, List + NotParsed, NoDownload, 0);
    row("server list cut short", NoCache, Ok, Cut, Ok, Plain, "1 2 1", "", L, List + Truncated, NoDownload, 0);
    row("server list without servers", NoCache, Ok, NoContent, Ok, Plain, "1 2 1", " () [0km]: -1", D,
        "Invalid server", NoDownload, 0);

    // Every probe fails: the later probed, the farther, comes first.
    row("latency file wrong", NoCache, Ok, Ok, WrongBody, Plain, "1 2 1", NearFailed, D, Closed, 2 * Half, 2);
    row("latency file missing", NoCache, Ok, Ok, NotFound, Plain, "1 2 1", NearFailed, D, Closed, 2 * Half, 2);
    row("latency file moved", NoCache, Ok, Ok, Moved, Plain, "1 2 1", Near, D, Closed, 2 * Half, 2);
    row("latency file silent", NoCache, Ok, Ok, Silent, Plain, "1 2 1", NearFailed, D, Closed, 2 * Half, 2);
    row("test server refuses", NoCache, Ok, Ok, Ok, Refuse, "1 2 1", Near, D, "Connection refused", 0, 2);
    row("test server vanishes mid-run", NoCache, Ok, Ok, Ok, Vanish, "1 1 1", Near, D, Closed, Some, 2);

    // Numbers of the service out of range fall back to the usual ones.
    row("testlength 0", NoCache, Ok, Ok, Ok, Plain, "0 2 1", Near, D, Closed, 2 * Half, 2);
    row("testlength not a number", NoCache, Ok, Ok, Ok, Plain, "x 3 1", Near, D, Closed, 3 * Half, 2);
    row("testlength x 1000 past int", NoCache, Ok, Ok, Ok, Plain, "2147484 1 1", Near, D, Closed, Half, 2);
    row("threadsperurl -3", NoCache, Ok, Ok, Ok, Plain, "1 -3 1", Near, D, Count + "-3", NoDownload, 2);
    row("threadsperurl not a number", NoCache, Ok, Ok, Ok, Plain, "1 x 1", Near, D, Count + "0", NoDownload, 2);
    row("timeout not a number", NoCache, Ok, Ok, Ok, Plain, "1 2 x", Near, D, Closed, 2 * Half, 2);

    // Cancelled: nothing more is reported, even by answers on their way.
    row("cancel at start", NoCache, Ok, Ok, Ok, CancelAtStart, "1 2 1", "", 0, "", NoDownload, 0);
    row("cancel while downloading", NoCache, Ok, Ok, Ok, CancelAtDownload, "1 2 1", Near, 0, "", NoDownload, 2);
}

void tst_SpeedTest::run()
{
    QFETCH(int, cache);
    QFETCH(int, config);
    QFETCH(int, list);
    QFETCH(int, latency);
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
    serve(*near, LatencyPath, latency, "test=test\n", "");
    near->download = twist == Twenty ? Behaviour::Slow : twist == Vanish ? Behaviour::Endless
        : twist == Gigabytes ? Behaviour::Normal : Behaviour::CloseEarly;
    QList<TestServer> servers;
    if (twist == Twenty)
        servers << TestServer{ &far, 0, 10, "Far" };
    servers << TestServer{ near, 0, 1, "Near",
                           twist == Refuse ? QStringLiteral("127.0.0.1:%1").arg(LocalService::closedPort()) : "" };
    for (int i = 0; i < (twist == Twenty ? 19 : 1); ++i)
        servers << TestServer{ &dead, 0, 0.05 + 0.1 * i, "Dead" };
    const QStringList n = numbers.split(' ');
    serve(web, ConfigPath, config, configDocument(0, 0, "Acme Net", n[0], n[1], n[2]), "<settings/>");
    serve(web, ListPath, list, serverListDocument(servers), "<settings><servers/></settings>");

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
        const int days = cache == Week ? 7 : cache == Stale ? 8 : 0;
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addDays(-days), QFileDevice::FileModificationTime));
    }

    TestSpeed test;
    test.client()->setConfigsUrl(web.url(ConfigPath));
    test.serverList()->setServersUrl(web.url(ListPath));
    Recorder recorder;
    recorder.watch(&test, &TestSpeed::statusChanged, [&] { return QStringLiteral("[%1]").arg(test.status()); });
    recorder.watch(&test, &TestSpeed::statusStringChanged, [&] { return test.statusString(); });
    recorder.watch(&test, &TestSpeed::finished, [] { return QStringLiteral("finished"); });
    Downloader *downloader = test.downloader();
    if (twist == Vanish)
        connect(downloader, &Downloader::downloadBytesChanged, near, [&] {
            if (downloader->downloadBytes64() > 0)
                near->deleteLater();
        });
    if (twist == CancelAtDownload)
        connect(&test, &TestSpeed::statusChanged, this, [&] {
            if (test.status() == TestSpeed::Downloading)
                test.cancel();
        });
    test.start();
    if (twist == CancelAtStart) {
        test.cancel();
        QTRY_VERIFY(!test.client()->configs().isEmpty());
    } else if (twist == CancelAtDownload) {
        QTRY_COMPARE(downloader->status(), Downloader::Finished);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(recorder.events.contains("finished"), (bytes > INT_MAX ? 120000 : 5000));
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
