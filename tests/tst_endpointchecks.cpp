#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTimer>
#include <QUrl>
#include <QtTest>

#include "EndpointChecks.h"
#include "HttpFileServer.h"
#include "ProcessMemory.h"
#include "SelfSignedCertificate.h"
#include "WorkDir.h"

namespace {

const QString LogPath = QStringLiteral("./Linkometer.log");

QString report()
{
    QFile file(LogPath);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(file.readAll());
}

QString refusedUrl(const QString &scheme, const QString &path)
{
    return QStringLiteral("%1://127.0.0.1:%2%3").arg(scheme).arg(HttpFileServer::closedLoopbackPort()).arg(path);
}

QString failLine(const QString &words, const QString &url)
{
    return words + url + " failed \n";
}

QString doneLinePattern(const QString &words, const QString &url)
{
    return QRegularExpression::escape(words + url + " in ") + "(0|[1-9][0-9]*)" + QRegularExpression::escape(" ms \n");
}

HttpRoute answer(int status, const QByteArray &body = QByteArray())
{
    HttpRoute route;
    route.status = status;
    route.body = body;
    return route;
}

} // namespace

class tst_EndpointChecks : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void productionValues();
    void probe_data();
    void probe();
    void probeTimesTheAnswer();
    void probeDiscardsBody();
    void silentEndpointFailsAtBound_data();
    void silentEndpointFailsAtBound();
    void slowAnswerIsNotCut();
    void linesInOrder();
    void sixFailLinesWithNothingListening();
    void productionPausesTakeSixSeconds();
    void runEnded_data();
    void runEnded();

private:
    QString server(const QString &which, const QString &path) const;
    void setRoutes(HttpFileServer *server);

    SelfSignedCertificate *m_certificate = nullptr;
    WorkDir *m_dir = nullptr;
    HttpFileServer *m_http = nullptr;
    HttpFileServer *m_https = nullptr;
};

void tst_EndpointChecks::initTestCase()
{
    QVERIFY2(QSslSocket::supportsSsl(), "Qt has no TLS backend here (the OpenSSL library is missing)");
    m_certificate = new SelfSignedCertificate;
    QVERIFY2(m_certificate->isValid(), qPrintable(m_certificate->errorString()));
}

void tst_EndpointChecks::cleanupTestCase()
{
    delete m_certificate;
    m_certificate = nullptr;
}

void tst_EndpointChecks::init()
{
    m_dir = new WorkDir;
    QVERIFY(m_dir->isValid());
    m_http = new HttpFileServer;
    QVERIFY(m_http->listenHttp());
    m_https = new HttpFileServer;
    QVERIFY(m_https->listenHttps(m_certificate->certificate(), m_certificate->key()));
    setRoutes(m_http);
    setRoutes(m_https);
}

void tst_EndpointChecks::cleanup()
{
    delete m_https;
    m_https = nullptr;
    delete m_http;
    m_http = nullptr;
    delete m_dir;
    m_dir = nullptr;
}

void tst_EndpointChecks::setRoutes(HttpFileServer *server)
{
    server->setRoute("/test/response.json", answer(200, "{\"status\":\"ok\"}"));
    // The base path exists, the file below it does not.
    server->setRoute("/base", answer(200, "base"));
    HttpRoute moved = answer(301, "moved");
    moved.location = server->url("/test/response.json").toLatin1();
    server->setRoute("/moved/response.json", moved);
    HttpRoute found = answer(302, "found");
    found.location = server->url("/test/response.json").toLatin1();
    server->setRoute("/found/response.json", found);
    server->setRoute("/network/test", answer(200, "{}"));
    server->setRoute("/broken/test", answer(500, "error"));
}

QString tst_EndpointChecks::server(const QString &which, const QString &path) const
{
    if (which == "http")
        return m_http->url(path);
    if (which == "https")
        return m_https->url(path);
    return refusedUrl(which.section('-', 1), path);
}

void tst_EndpointChecks::productionValues()
{
    const EndpointChecks checks;
    QCOMPARE(checks.testUrls(),
             (QVector<QString>{EndpointChecks::CdnTestUrl, EndpointChecks::AssetTestUrl,
                               EndpointChecks::BucketHttpsTestUrl, EndpointChecks::BucketHttpTestUrl}));
    QCOMPARE(checks.apiEndpoints(), (QVector<QString>{EndpointChecks::ApiEndpointUrl, EndpointChecks::NetworkTestUrl}));
    QCOMPARE(checks.pauseMsecs(), 1000);
    QCOMPARE(EndpointChecks::PauseMsecs, 1000);
    QCOMPARE(checks.noAnswerMsecs(), 30000);
    QCOMPARE(QByteArray(EndpointChecks::ResponseFile), QByteArray("response.json"));

    const QStringList schemes{"http", "https", "https", "http", "https", "http"};
    const QStringList paths{"/test", "/test", "/test", "/test", "/orvana-admin/network/test", "/network/test"};
    const QVector<QString> all = checks.testUrls() + checks.apiEndpoints();
    QCOMPARE(all.size(), 6);
    for (int i = 0; i < all.size(); ++i) {
        const QUrl url(all.at(i), QUrl::StrictMode);
        QVERIFY2(url.isValid(), qPrintable(all.at(i)));
        QCOMPARE(url.scheme(), schemes.at(i));
        QCOMPARE(url.path(), paths.at(i));
        QVERIFY(!url.hasQuery());
        QVERIFY(url.port() == -1);
        QCOMPARE(url.toString(), all.at(i));
        // Until the maker names its hosts, only names reserved for examples.
        QVERIFY2(url.host().endsWith(".example.com") || url.host().endsWith(".example.net"), qPrintable(url.host()));
    }
    // Entries 3 and 4 are one storage bucket.
    QCOMPARE(QUrl(all.at(2)).host(), QUrl(all.at(3)).host());
}

void tst_EndpointChecks::probe_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("done");
    QTest::addColumn<QStringList>("requested");

    const QString file = QStringLiteral("response.json");
    const QStringList ok{"/test/response.json"};
    QTest::newRow("http 200") << "http" << "/test" << file << true << ok;
    QTest::newRow("https self-signed 200") << "https" << "/test" << file << true << ok;
    QTest::newRow("http 404 below the base path") << "http" << "/base" << file << false
                                                  << QStringList{"/base/response.json"};
    QTest::newRow("https 404 below the base path") << "https" << "/base" << file << false
                                                   << QStringList{"/base/response.json"};
    QTest::newRow("http 301 not followed") << "http" << "/moved" << file << false
                                           << QStringList{"/moved/response.json"};
    QTest::newRow("http 302 not followed") << "http" << "/found" << file << false
                                           << QStringList{"/found/response.json"};
    QTest::newRow("https 302 not followed") << "https" << "/found" << file << false
                                            << QStringList{"/found/response.json"};
    QTest::newRow("http refused") << "refused-http" << "/test" << file << false << QStringList();
    QTest::newRow("https refused") << "refused-https" << "/test" << file << false << QStringList();
    QTest::newRow("http API") << "http" << "/network/test" << QString() << true << QStringList{"/network/test"};
    QTest::newRow("https API self-signed") << "https" << "/network/test" << QString() << true
                                           << QStringList{"/network/test"};
    QTest::newRow("API status 500") << "http" << "/broken/test" << QString() << false
                                    << QStringList{"/broken/test"};
}

void tst_EndpointChecks::probe()
{
    QFETCH(QString, which);
    QFETCH(QString, base);
    QFETCH(QString, fileName);
    QFETCH(bool, done);
    QFETCH(QStringList, requested);

    const EndpointChecks checks({}, {}, 0, 10000);
    const int result = checks.probeUrl(server(which, base), fileName);
    if (done)
        QVERIFY2(result >= 0, qPrintable(QString::number(result)));
    else
        QCOMPARE(result, -1);
    QTest::qWait(50);
    QCOMPARE(m_http->requestedPaths() + m_https->requestedPaths(), requested);
    if (!requested.isEmpty() && requested.first().endsWith(".json"))
        QCOMPARE((which == "http" ? m_http : m_https)->requests().first().method, QByteArray("GET"));
}

void tst_EndpointChecks::probeTimesTheAnswer()
{
    HttpRoute late = answer(200, "late");
    late.delayMsecs = 300;
    m_http->setRoute("/late/response.json", late);
    const EndpointChecks checks({}, {}, 0, 10000);
    QElapsedTimer clock;
    clock.start();
    const int result = checks.probeUrl(m_http->url("/late"), "response.json");
    QVERIFY2(result >= 300, qPrintable(QString::number(result)));
    QVERIFY(result <= clock.elapsed());
}

void tst_EndpointChecks::probeDiscardsBody()
{
    const qint64 size = 96 * 1024 * 1024;
    HttpRoute big;
    big.generatedSize = size;
    m_http->setRoute("/big/response.json", big);
    const EndpointChecks checks({}, {}, 0, 10000);
    const qint64 residentBefore = ProcessMemory::residentBytes();
    qint64 residentMost = residentBefore;
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, this,
            [&] { residentMost = qMax(residentMost, ProcessMemory::residentBytes()); });
    sampler.start(5);
    QVERIFY(checks.probeUrl(m_http->url("/big"), "response.json") >= 0);
    sampler.stop();
    QVERIFY(m_http->requests().size() == 1);
    const qint64 growth = residentMost - residentBefore;
    if (residentBefore < 0 || ProcessMemory::underAddressSanitizer())
        qInfo("resident size not checked here (no /proc or AddressSanitizer's quarantine)");
    else
        QVERIFY2(growth < 32 * 1024 * 1024, qPrintable(QStringLiteral("grew by %1 bytes").arg(growth)));
}

void tst_EndpointChecks::silentEndpointFailsAtBound_data()
{
    QTest::addColumn<QString>("which");
    QTest::newRow("http") << "http";
    QTest::newRow("https") << "https";
}

void tst_EndpointChecks::silentEndpointFailsAtBound()
{
    QFETCH(QString, which);
    HttpRoute silent;
    silent.silent = true;
    m_http->setRoute("/silent/response.json", silent);
    m_https->setRoute("/silent/response.json", silent);
    const EndpointChecks checks({}, {}, 0, 300);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(checks.probeUrl(server(which, "/silent"), "response.json"), -1);
    QVERIFY(clock.elapsed() >= 300);
    QVERIFY(clock.elapsed() < 5000);
}

void tst_EndpointChecks::slowAnswerIsNotCut()
{
    // Nothing for longer than the bound at a time, but longer than the bound
    // in all.
    HttpRoute slow;
    slow.body = QByteArray(1200, 's');
    slow.chunkBytes = 100;
    slow.chunkIntervalMsecs = 100;
    m_http->setRoute("/slow/response.json", slow);
    const EndpointChecks checks({}, {}, 0, 400);
    const int result = checks.probeUrl(m_http->url("/slow"), "response.json");
    QVERIFY2(result >= 1100, qPrintable(QString::number(result)));
}

void tst_EndpointChecks::linesInOrder()
{
    const QVector<QString> testUrls{m_http->url("/test"), m_https->url("/test"), m_http->url("/base"),
                                    refusedUrl("https", "/test")};
    const QVector<QString> apiEndpoints{m_https->url("/network/test"), m_http->url("/broken/test")};
    const EndpointChecks checks(testUrls, apiEndpoints, 0, 10000);
    QVERIFY(checks.runEndpointChecks(LogPath, [] { return true; }, [] { return false; }));

    const QString download = QStringLiteral("download file ");
    const QRegularExpression expected(
        "^" + doneLinePattern(download + "done from ", testUrls.at(0))
        + doneLinePattern(download + "done from ", testUrls.at(1))
        + QRegularExpression::escape(failLine(download + "fail from ", testUrls.at(2)))
        + QRegularExpression::escape(failLine(download + "fail from ", testUrls.at(3)))
        + doneLinePattern("query API done from ", apiEndpoints.at(0))
        + QRegularExpression::escape(failLine("query API fail from ", apiEndpoints.at(1))) + "$");
    QVERIFY2(expected.match(report()).hasMatch(), qPrintable(report()));
    QCOMPARE(m_http->requestedPaths(), (QStringList{"/test/response.json", "/base/response.json", "/broken/test"}));
    QCOMPARE(m_https->requestedPaths(), (QStringList{"/test/response.json", "/network/test"}));
}

void tst_EndpointChecks::sixFailLinesWithNothingListening()
{
    const QVector<QString> testUrls{refusedUrl("http", "/test"), refusedUrl("https", "/test"),
                                    refusedUrl("https", "/test"), refusedUrl("http", "/test")};
    const QVector<QString> apiEndpoints{refusedUrl("https", "/orvana-admin/network/test"),
                                        refusedUrl("http", "/network/test")};
    const EndpointChecks checks(testUrls, apiEndpoints, 0, 10000);
    QVERIFY(checks.runEndpointChecks(LogPath, [] { return true; }, [] { return false; }));
    QString expected;
    for (const QString &url : testUrls)
        expected += failLine("download file fail from ", url);
    for (const QString &url : apiEndpoints)
        expected += failLine("query API fail from ", url);
    QCOMPARE(report(), expected);
}

void tst_EndpointChecks::productionPausesTakeSixSeconds()
{
    const QVector<QString> testUrls{refusedUrl("http", "/test"), refusedUrl("https", "/test"),
                                    refusedUrl("https", "/test"), refusedUrl("http", "/test")};
    const QVector<QString> apiEndpoints{refusedUrl("https", "/orvana-admin/network/test"),
                                        refusedUrl("http", "/network/test")};
    const EndpointChecks checks(testUrls, apiEndpoints, EndpointChecks::PauseMsecs, EndpointChecks::NoAnswerMsecs);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(checks.runEndpointChecks(LogPath, [] { return true; }, [] { return false; }));
    QVERIFY2(clock.elapsed() >= 6000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(report().count(" failed \n"), 6);
}

void tst_EndpointChecks::runEnded_data()
{
    // The run is cancelled (and possibly a newer one started) while the
    // second probe waits for its answer.
    QTest::addColumn<bool>("activeAtStart");
    QTest::addColumn<bool>("newerRun");
    QTest::addColumn<int>("lines");
    QTest::addColumn<int>("probes");
    QTest::newRow("cancelled before the first probe") << false << false << 0 << 0;
    QTest::newRow("cancelled during a probe: its line is written") << true << false << 2 << 2;
    QTest::newRow("newer run started during a probe: its line is not") << true << true << 1 << 2;
}

void tst_EndpointChecks::runEnded()
{
    QFETCH(bool, activeAtStart);
    QFETCH(bool, newerRun);
    QFETCH(int, lines);
    QFETCH(int, probes);

    HttpRoute late = answer(200, "late");
    late.delayMsecs = 300;
    m_http->setRoute("/late/response.json", late);
    const QVector<QString> testUrls{m_http->url("/test"), m_http->url("/late"), m_http->url("/test"),
                                    m_http->url("/test")};
    const QVector<QString> apiEndpoints{m_http->url("/network/test"), m_http->url("/network/test")};

    bool active = activeAtStart;
    bool newer = false;
    connect(m_http, &HttpFileServer::requestReceived, this, [&](const QString &path) {
        if (path == "/late/response.json") {
            active = false;
            newer = newerRun;
        }
    });
    const EndpointChecks checks(testUrls, apiEndpoints, 0, 10000);
    QVERIFY(!checks.runEndpointChecks(LogPath, [&] { return active; }, [&] { return newer; }));
    QTest::qWait(50);
    QCOMPARE(m_http->requests().size(), probes);
    QCOMPARE(report().count(" ms \n"), lines);
    if (lines == 2)
        QVERIFY(report().contains("download file done from " + testUrls.at(1) + " in "));
}

QTEST_GUILESS_MAIN(tst_EndpointChecks)
#include "tst_endpointchecks.moc"
