#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <memory>

#include "ServerCache.h"
#include "ReportLines.h"
#include "SpeedTestService.h"
#include "TestSpeed.h"
#include "WorkDir.h"

namespace {

const QString Sponsor = QStringLiteral("Acme");
const QString Name = QStringLiteral("Springfield");

// Every signal of one TestSpeed in order, with the value it announces. The
// status text seen by the receivers of finished is kept too.
class Recorder : public QObject
{
public:
    explicit Recorder(TestSpeed *test)
        : m_test(test)
    {
        connect(test, &TestSpeed::statusChanged, this, [this] {
            events << QStringLiteral("status:%1").arg(int(m_test->status()));
            statuses << m_test->status();
        });
        connect(test, &TestSpeed::statusStringChanged, this, [this] {
            events << QStringLiteral("text:") + m_test->statusString();
            texts << m_test->statusString();
        });
        connect(test, &TestSpeed::errorChanged, this,
                [this] { events << QStringLiteral("error:%1").arg(int(m_test->error())); });
        connect(test, &TestSpeed::errorStringChanged, this, [this] {
            events << QStringLiteral("errorString:") + m_test->errorString();
            errorTexts << m_test->errorString();
        });
        connect(test, &TestSpeed::bestServerChanged, this, [this] { events << QStringLiteral("best"); });
        connect(test, &TestSpeed::finished, this, [this] {
            events << QStringLiteral("finished");
            ++finished;
            textAtFinished = m_test->statusString();
            statusAtFinished = m_test->status();
        });
    }

    QStringList events;
    QList<TestSpeed::Status> statuses;
    QStringList texts;
    QStringList errorTexts;
    int finished = 0;
    QString textAtFinished;
    TestSpeed::Status statusAtFinished = TestSpeed::UnknownStatus;

private:
    TestSpeed *m_test;
};

QList<QByteArray> reportLines()
{
    QFile file(QStringLiteral("Linkometer.log"));
    if (!file.open(QIODevice::ReadOnly))
        return QList<QByteArray>();
    return splitReportLines(file.readAll());
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray number(double value)
{
    return QByteArray::number(value, 'g', 6);
}

} // namespace

class tst_TestSpeed : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void construction();
    void speedFormula_data();
    void speedFormula();
    void serviceNumbers_data();
    void serviceNumbers();
    void wholeTest_data();
    void wholeTest();
    void speedAbove32Bits();
    void configurationFails_data();
    void configurationFails();
    void serverListFails_data();
    void serverListFails();
    void downloadFails();
    void everyLatencyProbeFails();
    void downloadCannotStart_data();
    void downloadCannotStart();
    void untrustedNumbers_data();
    void untrustedNumbers();
    void clearCache();
    void releasedWithAnswerPending();

private:
    // The speed test pointed at the local service: nothing leaves loopback.
    std::unique_ptr<TestSpeed> makeTest(const SpeedTestService &svc) const;
    // A cache file of the service's test servers, modified daysOld days ago.
    bool writeCache(const SpeedTestService &svc, const QList<int> &servers, int daysOld,
                    const QString &host = QString()) const;
    // The service's server index with the healthy download the end-to-end
    // runs use: paced, so that the test length ends it.
    int addServer(SpeedTestService &svc, const ServerBehaviour &behaviour = ServerBehaviour()) const;
    void checkEnding(const Recorder &recorder) const;

    QString m_cacheFile;
};

void tst_TestSpeed::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    m_cacheFile = ServerCache::filePath(ServerCache::cacheDirectory());
    QVERIFY(m_cacheFile.contains(QLatin1String(".qttest")));
}

void tst_TestSpeed::init()
{
    QFile::remove(m_cacheFile);
    QVERIFY(!QFile::exists(m_cacheFile));
}

std::unique_ptr<TestSpeed> tst_TestSpeed::makeTest(const SpeedTestService &svc) const
{
    auto test = std::make_unique<TestSpeed>(nullptr);
    test->client()->setConfigsUrl(svc.configUrl());
    test->serverList()->setServersUrl(svc.serversUrl());
    return test;
}

bool tst_TestSpeed::writeCache(const SpeedTestService &svc, const QList<int> &servers, int daysOld,
                               const QString &host) const
{
    QList<ServerItem> items;
    for (int server : servers) {
        ServerItem item;
        item.setLatitude(10);
        item.setLongitude(20);
        item.setDistance(12.5 + server);
        item.setCountry(QStringLiteral("Testland"));
        item.setSponsor(Sponsor);
        item.setName(Name);
        item.setHost(host.isNull() ? svc.serverHost(server) : host);
        item.setUrl(svc.serverUrl(server));
        item.setLatencyUrl(svc.serverLatencyUrl(server));
        items << item;
    }
    QFile file(m_cacheFile);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray json = ServerCache::toJson(items);
    // Flushed first: a write at close would date the file now.
    return file.write(json) == json.size() && file.flush()
           && file.setFileTime(QDateTime::currentDateTime().addDays(-daysOld), QFileDevice::FileModificationTime);
}

int tst_TestSpeed::addServer(SpeedTestService &svc, const ServerBehaviour &behaviour) const
{
    ServerEntry entry;
    entry.lat = 52.5;
    entry.lon = 13.4;
    entry.sponsor = Sponsor;
    entry.name = Name;
    ServerBehaviour b = behaviour;
    if (b.download.bytesPerSecond == 0 && b.download.closeAfterBytes < 0)
        b.download.bytesPerSecond = 4000000;
    return svc.addTestServer(entry, b);
}

// Every ending: statusChanged to FinishedStatus, finished once right after,
// the status text "Finished" only after the receivers of finished.
void tst_TestSpeed::checkEnding(const Recorder &recorder) const
{
    QCOMPARE(recorder.finished, 1);
    QCOMPARE(recorder.statuses.last(), TestSpeed::FinishedStatus);
    QCOMPARE(recorder.statuses.count(TestSpeed::FinishedStatus), 1);
    const int finishedAt = recorder.events.indexOf(QStringLiteral("finished"));
    QVERIFY(finishedAt > 0);
    QCOMPARE(recorder.events.at(finishedAt - 1), QStringLiteral("status:6"));
    QCOMPARE(recorder.events.value(finishedAt + 1), QStringLiteral("text:Finished"));
    QCOMPARE(recorder.statusAtFinished, TestSpeed::FinishedStatus);
    QVERIFY(recorder.textAtFinished != QLatin1String("Finished"));
    QCOMPARE(recorder.texts.last(), QStringLiteral("Finished"));
}

void tst_TestSpeed::construction()
{
    TestSpeed test(nullptr);
    QCOMPARE(test.status(), TestSpeed::UnknownStatus);
    QCOMPARE(test.error(), TestSpeed::NoError);
    QVERIFY(test.statusString().isEmpty());
    QVERIFY(test.errorString().isEmpty());
    QVERIFY(test.cacheDir().endsWith(QLatin1String("/kavimeter/")));
    QVERIFY(QFileInfo(test.cacheDir()).isDir());
    QCOMPARE(test.client()->parent(), &test);
    QCOMPARE(test.serverList()->parent(), &test);
    QCOMPARE(test.sorter()->parent(), &test);
    QCOMPARE(test.downloader()->parent(), &test);
    QCOMPARE(test.property("downloader").value<Downloader *>(), test.downloader());
    QCOMPARE(test.property("status").value<TestSpeed::Status>(), TestSpeed::UnknownStatus);

    const QVariantMap best = test.bestServer();
    QCOMPARE(best.keys(), QStringList({ "country", "distance", "host", "latency", "latencyUrl", "latitude",
                                        "longitude", "name", "sponsor", "url" }));
    QCOMPARE(best.value("latency"), QVariant(-1));
    QCOMPARE(best.value("distance").userType(), int(QMetaType::Double));
    QCOMPARE(best.value("latitude").userType(), int(QMetaType::Double));
    QCOMPARE(best.value("host").userType(), int(QMetaType::QString));
}

void tst_TestSpeed::speedFormula_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<qint64>("milliseconds");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("300,000,000 bytes in 10 s") << qint64(300000000) << qint64(10000) << QByteArray("234.375");
    QTest::newRow("1,280,000 bytes in 1 s") << qint64(1280000) << qint64(1000) << QByteArray("10");
    QTest::newRow("above 2^31 bytes") << qint64(3000000000) << qint64(10000) << QByteArray("2343.75");
    QTest::newRow("above 2^32 bytes") << qint64(5000000000) << qint64(10000) << QByteArray("3906.25");
    QTest::newRow("no byte") << qint64(0) << qint64(5000) << QByteArray("0");
    QTest::newRow("time 0") << qint64(1000) << qint64(0) << QByteArray("0");
    QTest::newRow("time -1") << qint64(1000) << qint64(-1) << QByteArray("0");
    QTest::newRow("no byte, time -1") << qint64(0) << qint64(-1) << QByteArray("0");
    QTest::newRow("large") << qint64(1) << qint64(1) << QByteArray("0.0078125");
}

void tst_TestSpeed::speedFormula()
{
    QFETCH(qint64, bytes);
    QFETCH(qint64, milliseconds);
    QFETCH(QByteArray, text);
    const double speed = TestSpeed::downloadSpeed(bytes, milliseconds);
    QVERIFY(qIsFinite(speed));
    QVERIFY(!std::signbit(speed));
    QCOMPARE(number(speed), text);
}

void tst_TestSpeed::serviceNumbers_data()
{
    QTest::addColumn<bool>("download");
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<int>("milliseconds");
    QTest::newRow("test length 10") << true << qint64(10) << 10000;
    QTest::newRow("test length 1") << true << qint64(1) << 1000;
    QTest::newRow("test length 3600") << true << qint64(3600) << 3600000;
    QTest::newRow("test length 0") << true << qint64(0) << 10000;
    QTest::newRow("test length -5") << true << qint64(-5) << 10000;
    QTest::newRow("test length 3601") << true << qint64(3601) << 10000;
    QTest::newRow("test length 2147484 (x1000 beyond int)") << true << qint64(2147484) << 10000;
    QTest::newRow("test length int max") << true << qint64(2147483647) << 10000;
    QTest::newRow("test length int min") << true << qint64(-2147483647 - 1) << 10000;
    QTest::newRow("probe time-out 20") << false << qint64(20) << 20000;
    QTest::newRow("probe time-out 1") << false << qint64(1) << 1000;
    QTest::newRow("probe time-out 60") << false << qint64(60) << 60000;
    QTest::newRow("probe time-out 0") << false << qint64(0) << 2000;
    QTest::newRow("probe time-out -1") << false << qint64(-1) << 2000;
    QTest::newRow("probe time-out 61") << false << qint64(61) << 2000;
    QTest::newRow("probe time-out int max") << false << qint64(2147483647) << 2000;
}

void tst_TestSpeed::serviceNumbers()
{
    QFETCH(bool, download);
    QFETCH(qint64, seconds);
    QFETCH(int, milliseconds);
    QCOMPARE(download ? TestSpeed::downloadTimeout(seconds) : TestSpeed::latencyTimeout(seconds), milliseconds);
}

// A whole successful test for each state of the cache file.
void tst_TestSpeed::wholeTest_data()
{
    QTest::addColumn<int>("cacheAge"); // days; -1: no file
    QTest::addColumn<bool>("usable");  // the file names the server
    QTest::addColumn<QString>("listText");
    QTest::addColumn<bool>("fetched");
    QTest::newRow("fresh cache, today") << 0 << true << QStringLiteral("Servers list is updated.") << false;
    QTest::newRow("fresh cache, 7 days") << 7 << true << QStringLiteral("Servers list is updated.") << false;
    QTest::newRow("stale cache, 8 days") << 8 << true << QStringLiteral("Updating servers list from server...") << true;
    QTest::newRow("no cache") << -1 << false << QStringLiteral("Retrieving servers list from server...") << true;
    // A fresh file without a server is no list: fetched, never waited on.
    QTest::newRow("fresh cache, empty") << 0 << false << QStringLiteral("Updating servers list from server...") << true;
}

void tst_TestSpeed::wholeTest()
{
    QFETCH(int, cacheAge);
    QFETCH(bool, usable);
    QFETCH(QString, listText);
    QFETCH(bool, fetched);
    WorkDir dir;
    QVERIFY(dir.isValid());
    SpeedTestService svc;
    QVERIFY(svc.start());
    svc.setConfigAttribute("download", "testlength", "1");
    svc.setConfigAttribute("download", "threadsperurl", "2");
    ServerBehaviour slowLatency;
    slowLatency.http.delayMs = 31;
    const int server = addServer(svc, slowLatency);
    QVERIFY(server >= 0);
    if (cacheAge >= 0)
        QVERIFY(writeCache(svc, usable ? QList<int>{ server } : QList<int>(), cacheAge));
    const QByteArray cacheBefore = cacheAge >= 0 ? readFile(m_cacheFile) : QByteArray();
    const QDateTime modifiedBefore = QFileInfo(m_cacheFile).lastModified();

    auto test = makeTest(svc);
    Recorder recorder(test.get());
    // What the cache file holds when the latency ranking begins.
    bool cacheAtRanking = false;
    QByteArray cacheContentAtRanking;
    connect(test.get(), &TestSpeed::statusChanged, this, [&] {
        if (test->status() != TestSpeed::FindingClosestServer)
            return;
        cacheAtRanking = QFile::exists(m_cacheFile);
        QFile file(m_cacheFile);
        if (file.open(QIODevice::ReadOnly))
            cacheContentAtRanking = file.readAll();
    });
    const QDateTime before = QDateTime::currentDateTime();
    test->start();
    QCOMPARE(reportLines().size(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, 20000);
    const QDateTime after = QDateTime::currentDateTime();

    // Status values and texts in order.
    QList<TestSpeed::Status> statuses{ TestSpeed::RetrievingConfiguration };
    if (fetched)
        statuses << TestSpeed::RetrievingServerList;
    statuses << TestSpeed::FindingClosestServer << TestSpeed::Downloading << TestSpeed::FinishedStatus;
    QCOMPARE(recorder.statuses, statuses);

    const QVariantMap best = test->bestServer();
    const int latency = best.value("latency").toInt();
    QVERIFY2(latency >= 31 && latency < 5000, qPrintable(QString::number(latency)));
    QCOMPARE(best.value("sponsor").toString(), Sponsor);
    QCOMPARE(best.value("name").toString(), Name);
    QCOMPARE(best.value("host").toString(), svc.serverHost(server));
    const double distance = best.value("distance").toDouble();
    if (!fetched)
        QCOMPARE(distance, 12.5);
    const Downloader *downloader = test->downloader();
    QVERIFY(downloader->downloadBytes64() > 0);
    QVERIFY(downloader->downloadTime() > 0);
    const QByteArray speed = number(double(downloader->downloadBytes64()) * 8 / 1024 / downloader->downloadTime());
    const QString selected = QStringLiteral("Selected server: Acme (Springfield) [%1km]: %2ms")
                                 .arg(QString::fromLatin1(number(distance))).arg(latency);
    if (!fetched)
        QCOMPARE(selected, QStringLiteral("Selected server: Acme (Springfield) [12.5km]: %1ms").arg(latency));
    QCOMPARE(recorder.texts, QStringList({ "Retrieving configuration from server...", listText,
                                           "Check latencies...", selected, "Downloading...",
                                           "Download Speed: " + QString::fromLatin1(speed) + "mbps",
                                           "Finished" }));
    checkEnding(recorder);
    QCOMPARE(test->error(), TestSpeed::NoError);
    QVERIFY(test->errorString().isEmpty());
    QCOMPARE(recorder.events.count("best"), 1);

    // The six report lines, byte for byte.
    const QList<QByteArray> lines = reportLines();
    QCOMPARE(lines.size(), 6);
    const QRegularExpression stamp(QStringLiteral("^Test time: (\\d{4}-\\d{2}-\\d{2}-\\d{2}-\\d{2}-\\d{2}-\\d{3}) \n$"));
    const QRegularExpressionMatch match = stamp.match(QString::fromLatin1(lines.at(0)));
    QVERIFY2(match.hasMatch(), lines.at(0).constData());
    const QDateTime stamped = QDateTime::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd-hh-mm-ss-zzz"));
    QVERIFY(stamped.isValid());
    QVERIFY(stamped >= before.addMSecs(-1) && stamped <= after);
    QCOMPARE(lines.at(1), QByteArray("ISP: Acme Net \n"));
    QCOMPARE(lines.at(2), QByteArray("Server: Acme (Springfield) \n"));
    QCOMPARE(lines.at(3), "Latency: " + QByteArray::number(latency) + "ms \n");
    QCOMPARE(lines.at(4), "Dowload: " + speed + "mbps \n");
    QCOMPARE(lines.at(5), QByteArray("Loss: not available \n"));

    // The cache: a fetched list is written before the ranking starts, a
    // cached one is left as it was.
    QCOMPARE(svc.requestCount(SpeedTestService::ServersPath), fetched ? 1 : 0);
    QVERIFY(cacheAtRanking);
    if (fetched) {
        QList<ServerItem> list;
        for (int i = 0; i < test->serverList()->count(); ++i)
            list << test->serverList()->at(i);
        QCOMPARE(cacheContentAtRanking, ServerCache::toJson(list));
        QCOMPARE(readFile(m_cacheFile), ServerCache::toJson(list));
    } else {
        QCOMPARE(cacheContentAtRanking, cacheBefore);
        QCOMPARE(readFile(m_cacheFile), cacheBefore);
        QCOMPARE(QFileInfo(m_cacheFile).lastModified(), modifiedBefore);
    }
    QCOMPARE(svc.downloadCommandsReceived(server).size(), 2);
}

// A download of more than 2^31 bytes: the speed comes from the full count.
void tst_TestSpeed::speedAbove32Bits()
{
    WorkDir dir;
    QVERIFY(dir.isValid());
    SpeedTestService svc;
    QVERIFY(svc.start());
    svc.setConfigAttribute("download", "testlength", "60");
    svc.setConfigAttribute("download", "threadsperurl", "3");
    ServerBehaviour closing;
    closing.download.closeAfterBytes = 750000000;
    const int server = addServer(svc, closing);
    QVERIFY(writeCache(svc, { server }, 0));

    auto test = makeTest(svc);
    Recorder recorder(test.get());
    test->start();
    QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, 60000);
    const qint64 bytes = test->downloader()->downloadBytes64();
    const int time = test->downloader()->downloadTime();
    QCOMPARE(bytes, qint64(2250000000));
    QVERIFY(test->downloader()->downloadBytes() < 0);
    QVERIFY(time > 0);
    const double speed = 2250000000.0 * 8 / 1024 / time;
    QVERIFY(speed > 0);
    QCOMPARE(reportLines().value(4), "Dowload: " + number(speed) + "mbps \n");
    QCOMPARE(recorder.texts.value(recorder.texts.size() - 2), "Download Speed: " + QString::fromLatin1(number(speed)) + "mbps");
    checkEnding(recorder);
}

// The configuration cannot be had. A body that parses after the network
// error must not move the ended test on.
void tst_TestSpeed::configurationFails_data()
{
    QTest::addColumn<bool>("refused");
    QTest::addColumn<bool>("bodyParses");
    QTest::addColumn<QStringList>("errorTexts");
    QTest::newRow("refused") << true << false
                             << QStringList({ "Config file error: Connection refused", "Empty config file" });
    QTest::newRow("error page") << false << false << QStringList();
    QTest::newRow("error status with a configuration body") << false << true << QStringList();
}

void tst_TestSpeed::configurationFails()
{
    QFETCH(bool, refused);
    QFETCH(bool, bodyParses);
    QFETCH(QStringList, errorTexts);
    WorkDir dir;
    QVERIFY(dir.isValid());
    SpeedTestService svc;
    QVERIFY(svc.start());
    const int server = addServer(svc);
    QVERIFY(writeCache(svc, { server }, 0));
    HttpBehaviour fault;
    fault.status = 500;
    fault.body = bodyParses ? svc.configDocument() : QByteArray("<html>oops");
    svc.setDocumentFault(SpeedTestService::ConfigPath, fault);

    auto test = makeTest(svc);
    if (refused)
        test->client()->setConfigsUrl(QStringLiteral("http://127.0.0.1:%1/speedtest-config.php")
                                          .arg(SpeedTestService::closedPort()));
    Recorder recorder(test.get());
    test->start();
    QTRY_COMPARE(recorder.finished, 1);
    // Whatever the failed part still delivers arrives now.
    QTRY_VERIFY(recorder.errorTexts.size() >= (bodyParses ? 1 : 2));
    if (bodyParses)
        QTRY_VERIFY(!test->client()->configs().isEmpty());
    QCOMPARE(test->error(), TestSpeed::GetConfigsError);
    QCOMPARE(test->errorString(), test->client()->error());
    if (bodyParses)
        QVERIFY(test->errorString().startsWith(QLatin1String("Config file error: ")));
    if (!errorTexts.isEmpty())
        QCOMPARE(recorder.errorTexts, errorTexts);
    QCOMPARE(recorder.statuses, QList<TestSpeed::Status>({ TestSpeed::RetrievingConfiguration,
                                                           TestSpeed::FinishedStatus }));
    QCOMPARE(recorder.texts, QStringList({ "Retrieving configuration from server...", "Finished" }));
    checkEnding(recorder);
    QCOMPARE(recorder.events.count("error:1"), 1);
    // Only the first line; no stage after the failure ran.
    QCOMPARE(reportLines().size(), 1);
    QVERIFY(reportLines().at(0).startsWith("Test time: "));
    QCOMPARE(svc.requestCount(SpeedTestService::LatencyPath, server), 0);
    QCOMPARE(svc.connectionCount(server), 0);
    QCOMPARE(test->status(), TestSpeed::FinishedStatus);
}

void tst_TestSpeed::serverListFails_data()
{
    QTest::addColumn<bool>("bodyParses");
    QTest::newRow("error page") << false;
    QTest::newRow("error status with a server list body") << true;
}

void tst_TestSpeed::serverListFails()
{
    QFETCH(bool, bodyParses);
    WorkDir dir;
    QVERIFY(dir.isValid());
    SpeedTestService svc;
    QVERIFY(svc.start());
    const int server = addServer(svc);
    HttpBehaviour fault;
    fault.status = 404;
    fault.body = bodyParses ? svc.serversDocument() : QByteArray("not found");
    svc.setDocumentFault(SpeedTestService::ServersPath, fault);

    auto test = makeTest(svc);
    Recorder recorder(test.get());
    QSignalSpy listChanged(test->serverList(), &ServerList::changed);
    test->start();
    QTRY_COMPARE(recorder.finished, 1);
    if (bodyParses)
        QTRY_COMPARE(listChanged.count(), 1);
    else
        QTRY_COMPARE(recorder.errorTexts.size(), 2);
    QCOMPARE(test->error(), TestSpeed::GetServerListError);
    QCOMPARE(test->errorString(), test->serverList()->error());
    QVERIFY(recorder.errorTexts.first().startsWith(QLatin1String("Server file error: ")));
    if (!bodyParses)
        QVERIFY(test->errorString().startsWith(QLatin1String("Servers file error: ")));
    QCOMPARE(recorder.statuses, QList<TestSpeed::Status>({ TestSpeed::RetrievingConfiguration,
                                                           TestSpeed::RetrievingServerList,
                                                           TestSpeed::FinishedStatus }));
    QCOMPARE(recorder.texts, QStringList({ "Retrieving configuration from server...",
                                           "Retrieving servers list from server...", "Finished" }));
    checkEnding(recorder);
    QCOMPARE(reportLines().size(), 2);
    QCOMPARE(reportLines().at(1), QByteArray("ISP: Acme Net \n"));
    // The ended test neither ranks nor caches the late list.
    QCOMPARE(svc.requestCount(SpeedTestService::LatencyPath, server), 0);
    QVERIFY(!QFile::exists(m_cacheFile));
}

// Connections refused: an error of the download, which still ends with a
// speed when its timers have run.
void tst_TestSpeed::downloadFails()
{
    WorkDir dir;
    QVERIFY(dir.isValid());
    SpeedTestService svc;
    QVERIFY(svc.start());
    svc.setConfigAttribute("download", "testlength", "1");
    const int server = addServer(svc);
    QVERIFY(writeCache(svc, { server }, 0, QStringLiteral("127.0.0.1:%1").arg(SpeedTestService::closedPort())));

    auto test = makeTest(svc);
    Recorder recorder(test.get());
    test->start();
    QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, 10000);
    QCOMPARE(test->error(), TestSpeed::DownloadError);
    QCOMPARE(test->errorString(), test->downloader()->error());
    QVERIFY(!test->errorString().isEmpty());
    QCOMPARE(recorder.statuses, QList<TestSpeed::Status>({ TestSpeed::RetrievingConfiguration,
                                                           TestSpeed::FindingClosestServer,
                                                           TestSpeed::Downloading, TestSpeed::FinishedStatus }));
    QCOMPARE(recorder.texts.mid(recorder.texts.size() - 3),
             QStringList({ "Downloading...", "Download Speed: 0mbps", "Finished" }));
    checkEnding(recorder);
    const QList<QByteArray> lines = reportLines();
    QCOMPARE(lines.size(), 6);
    QCOMPARE(lines.at(4), QByteArray("Dowload: 0mbps \n"));
    QCOMPARE(lines.at(5), QByteArray("Loss: not available \n"));
}

// Every probe fails: not an error of the sorter; the farthest candidate is
// ranked first and the test goes on.
void tst_TestSpeed::everyLatencyProbeFails()
{
    WorkDir dir;
    QVERIFY(dir.isValid());
    SpeedTestService svc;
    QVERIFY(svc.start());
    svc.setConfigAttribute("download", "testlength", "1");
    ServerBehaviour wrongBody;
    wrongBody.latencyBody = "TEST=TEST";
    const int near = addServer(svc, wrongBody);
    const int far = addServer(svc, wrongBody);
    QVERIFY(writeCache(svc, { near, far }, 0));

    auto test = makeTest(svc);
    Recorder recorder(test.get());
    test->start();
    QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, 10000);
    QCOMPARE(test->error(), TestSpeed::NoError);
    QCOMPARE(test->bestServer().value("host").toString(), svc.serverHost(far));
    QCOMPARE(test->bestServer().value("latency").toInt(), 2147483647);
    QVERIFY(recorder.texts.contains(QStringLiteral("Selected server: Acme (Springfield) [13.5km]: 2147483647ms")));
    checkEnding(recorder);
    const QList<QByteArray> lines = reportLines();
    QCOMPARE(lines.size(), 6);
    QCOMPARE(lines.at(3), QByteArray("Latency: 2147483647ms \n"));
    QVERIFY(svc.downloadCommandsReceived(far).size() > 0);
}

// The cases that used to wait for ever: the download cannot start, so the
// test ends at once, without the download's lines.
void tst_TestSpeed::downloadCannotStart_data()
{
    QTest::addColumn<QString>("cause");
    QTest::addColumn<QString>("errorText");
    QTest::addColumn<QByteArray>("serverLine");
    QTest::addColumn<QByteArray>("latencyLine");
    QTest::newRow("host without colon") << "host" << "Invalid server" << QByteArray("Server: Acme (Springfield) \n")
                                        << QByteArray();
    QTest::newRow("empty server list") << "empty" << "Invalid server" << QByteArray("Server:  () \n")
                                       << QByteArray("Latency: -1ms \n");
    QTest::newRow("threadsperurl 0") << "0" << "Invalid connection count: 0"
                                     << QByteArray("Server: Acme (Springfield) \n") << QByteArray();
    QTest::newRow("threadsperurl -2") << "-2" << "Invalid connection count: -2"
                                      << QByteArray("Server: Acme (Springfield) \n") << QByteArray();
}

void tst_TestSpeed::downloadCannotStart()
{
    QFETCH(QString, cause);
    QFETCH(QString, errorText);
    QFETCH(QByteArray, serverLine);
    QFETCH(QByteArray, latencyLine);
    WorkDir dir;
    QVERIFY(dir.isValid());
    SpeedTestService svc;
    QVERIFY(svc.start());
    const int server = addServer(svc);
    if (cause == QLatin1String("empty"))
        svc.setServersDocument("<settings><servers></servers></settings>");
    else
        QVERIFY(writeCache(svc, { server }, 0, cause == QLatin1String("host") ? QStringLiteral("nocolon") : QString()));
    if (cause != QLatin1String("host") && cause != QLatin1String("empty"))
        svc.setConfigAttribute("download", "threadsperurl", cause);

    auto test = makeTest(svc);
    Recorder recorder(test.get());
    test->start();
    QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, 10000);
    QCOMPARE(test->error(), TestSpeed::DownloadError);
    QCOMPARE(test->errorString(), errorText);
    QCOMPARE(recorder.statuses.mid(recorder.statuses.size() - 2),
             QList<TestSpeed::Status>({ TestSpeed::Downloading, TestSpeed::FinishedStatus }));
    QCOMPARE(recorder.texts.mid(recorder.texts.size() - 2), QStringList({ "Downloading...", "Finished" }));
    checkEnding(recorder);
    const QList<QByteArray> lines = reportLines();
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.at(2), serverLine);
    if (!latencyLine.isEmpty())
        QCOMPARE(lines.at(3), latencyLine);
    else
        QVERIFY(lines.at(3).startsWith("Latency: "));
    QCOMPARE(svc.connectionCount(server) - svc.requestCount(SpeedTestService::LatencyPath, server), 0);
    QCOMPARE(test->downloader()->connectionCount(), 0);
}

// Zero, negative and huge numbers from the service: the download's
// connections and the latency probe get the usual bounds.
void tst_TestSpeed::untrustedNumbers_data()
{
    QTest::addColumn<QString>("attribute"); // of "download" or "latency"
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("testlength 0") << "testlength" << "0" << 10000;
    QTest::newRow("testlength -3") << "testlength" << "-3" << 10000;
    QTest::newRow("testlength 2147484") << "testlength" << "2147484" << 10000;
    QTest::newRow("testlength 10G") << "testlength" << "10G" << 10000;
    QTest::newRow("testlength 2") << "testlength" << "2" << 2000;
    QTest::newRow("timeout 0") << "timeout" << "0" << 2000;
    QTest::newRow("timeout -1") << "timeout" << "-1" << 2000;
    QTest::newRow("timeout 2147484") << "timeout" << "2147484" << 2000;
    QTest::newRow("timeout 3") << "timeout" << "3" << 3000;
}

void tst_TestSpeed::untrustedNumbers()
{
    QFETCH(QString, attribute);
    QFETCH(QString, value);
    QFETCH(int, expected);
    const bool download = attribute == QLatin1String("testlength");
    WorkDir dir;
    QVERIFY(dir.isValid());
    SpeedTestService svc;
    QVERIFY(svc.start());
    svc.setConfigAttribute(download ? "download" : "latency", attribute, value);
    ServerBehaviour silent;
    // Nothing ends the part under test early, so its timer can be read.
    if (download)
        silent.download.silent = true;
    else
        silent.http.silent = true;
    const int server = addServer(svc, silent);
    QVERIFY(writeCache(svc, { server }, 0));

    auto test = makeTest(svc);
    test->start();
    QObject *owner = download ? static_cast<QObject *>(test->downloader()) : test->sorter();
    const TestSpeed::Status stage = download ? TestSpeed::Downloading : TestSpeed::FindingClosestServer;
    QTRY_COMPARE(test->status(), stage);
    // The single-shot timers that bound each connection or probe.
    auto bounds = [owner] {
        QList<int> intervals;
        const QList<QTimer *> timers = owner->findChildren<QTimer *>();
        for (const QTimer *timer : timers) {
            if (timer->isSingleShot() && timer->isActive() && timer->interval() != 30000)
                intervals << timer->interval();
        }
        return intervals;
    };
    QTRY_VERIFY(!bounds().isEmpty());
    QVERIFY2(bounds().contains(expected), qPrintable(QString::number(bounds().value(0))));
    QCOMPARE(test->status(), stage);
}

void tst_TestSpeed::clearCache()
{
    SpeedTestService svc;
    QVERIFY(svc.start());
    QVERIFY(writeCache(svc, {}, 0));
    TestSpeed test(nullptr);
    QSignalSpy status(&test, &TestSpeed::statusChanged);
    QVERIFY(QFile::exists(m_cacheFile));
    test.clearCache();
    QVERIFY(!QFile::exists(m_cacheFile));
    QVERIFY(QFileInfo(test.cacheDir()).isDir());
    test.clearCache();
    QCOMPARE(status.count(), 0);
}

// The owner releases the test between the end of the configuration's reply
// and the deferred deletion of that reply, where the client reads the body:
// the configuration must reach nothing, though the released test object
// lives on until its own deferred deletion is carried out.
void tst_TestSpeed::releasedWithAnswerPending()
{
    WorkDir dir;
    QVERIFY(dir.isValid());
    SpeedTestService svc;
    QVERIFY(svc.start());
    const int server = addServer(svc);
    QVERIFY(writeCache(svc, { server }, 0));

    auto *test = new TestSpeed(nullptr);
    test->client()->setConfigsUrl(svc.configUrl());
    test->serverList()->setServersUrl(svc.serversUrl());
    QPointer<TestSpeed> alive(test);
    Recorder recorder(test);
    int eventsAtRelease = -1;
    auto *manager = test->client()->findChild<QNetworkAccessManager *>();
    QVERIFY(manager);
    // Queued: runs after the reply's finished handlers, before its deletion.
    connect(manager, &QNetworkAccessManager::finished, this, [&] {
        if (!alive)
            return;
        eventsAtRelease = recorder.events.size();
        test->cancel();
        test->deleteLater();
    }, Qt::QueuedConnection);
    test->start();
    QTRY_VERIFY_WITH_TIMEOUT(alive.isNull(), 10000);
    QTest::qWait(100);
    QVERIFY(eventsAtRelease >= 0);
    const QStringList late = recorder.events.mid(eventsAtRelease);
    QVERIFY2(late.isEmpty(), qPrintable(late.join(QLatin1String(" | "))));
    QCOMPARE(recorder.finished, 0);
    QCOMPARE(reportLines().size(), 1);
    QCOMPARE(svc.requestCount(SpeedTestService::LatencyPath, server), 0);
}

QTEST_GUILESS_MAIN(tst_TestSpeed)
#include "tst_testspeed.moc"
