#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QtTest>

#include "Columns.h"
#include "DownloadMgr.h"
#include "DownloadStage.h"
#include "EndpointChecks.h"
#include "LocalService.h"
#include "WorkDir.h"

// File downloads and endpoint probes against the local service, where a
// whole run cannot go: failures and their texts, scratch names, the probes'
// answers and bounds, and the tool's own endpoints.
class tst_Probe : public QObject
{
    Q_OBJECT
    LocalService m_http, m_https{ true };
    // Texts keep their percent signs.
    const QString m_refused = "http://" + LocalService::refusedHost() + "/a%20b%2.bin";
#ifdef Q_OS_WIN // Wine cannot serve TLS through Qt: the server of support/with_tls_server.sh
    const QString m_tls = "https://127.0.0.1:" + qEnvironmentVariable("OSP_TLS_PORT");
#else
    const QString m_tls = m_https.url();
#endif

private slots:
    void initTestCase()
    {
        m_http.route("/moved/response.json", Route{ 302, "moved", "/base" });
        m_http.route("/silent/response.json", {}, Behaviour::Silent);
        m_http.route("/slow/response.json", Route{ 200, {}, {}, 1310720, Behaviour::Slow });
        m_http.route("/early/response.json", QByteArray(1000, 'e'), Behaviour::CloseEarly);
        m_https.route("/response.json", "{}");
    }

    void probe_data()
    {
        // A file download of <base>/response.json, then an endpoint probe of the test URL base;
        // blocked: a file stands at ./temp; bytes: what the scratch file holds; probe:
        // the probe's line, %1 the base, (\\d+) its time.
        columns<QString, bool, qint64, QString>("base", "blocked", "bytes", "probe");
        const QString done = "download file done from %1 in (\\d+) ms \n",
                      fail = "download file fail from %1 failed \n";
        QTest::newRow("whole body in pieces, timed")
                << m_http.url("/slow") << false << 1310720LL << done;
        QTest::newRow("closing early") << m_http.url("/early") << false << 500LL << fail;
        QTest::newRow("silent, ended by the bound")
                << m_http.url("/silent") << false << 0LL << fail;
        QTest::newRow("redirect not followed") << m_http.url("/moved") << false << 5LL << fail;
        QTest::newRow("refused") << m_refused << false << 0LL << fail;
        // The probe takes any certificate, the download none it does not trust.
        QTest::newRow("TLS 1.2 and later only, self-signed") << m_tls << false << 0LL << done;
        QTest::newRow("scratch folder blocked: bytes dropped")
                << m_http.url("/slow") << true << 0LL << done;
    }
    void probe()
    {
        QFETCH(QString, base);
        QFETCH(bool, blocked);
        QFETCH(qint64, bytes);
        QFETCH(QString, probe);
        WorkDir dir;
        QVERIFY(!blocked || dir.write("temp", "a file"));
        m_http.sent.clear();
        const QString url = base + "/response.json";
        DownloadMgr manager;
        manager.setNoDataTimeout(scaled(300));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(DownloadStage(&manager, "Linkometer.log", {}).run({ url }));
        const qint64 downloading = clock.restart();
        const LocalService::Sent file = m_http.sent.take(QUrl(url).path());
        QCOMPARE(QFileInfo(manager.scratchFile()).size(), bytes);

        QVERIFY(EndpointChecks({ base }, {}, 0, scaled(300))
                        .runEndpointChecks("Linkometer.log", {}, {}));
        const qint64 probing = clock.elapsed();
        const QByteArray log = dir.read("Linkometer.log");
        const QRegularExpressionMatch m =
                QRegularExpression(
                        QRegularExpression::anchoredPattern("={54}\\n\\nfile: " + esc(url)
                                                            + ", speed ([0-9.e+-]+)mbps\\n \\n"
                                                            + probe.arg(esc(base))))
                        .match(log);
        // The figures: bytes over a time and a time, each bound by the service's sending and the
        // test's wait.
        const auto timed = [](double ms, const LocalService::Sent &s, qint64 outside) {
            return ms <= outside + 1.01 && ms >= s.last - s.first - 1.01;
        };
        const double rate = m.captured(1).toDouble();
        QVERIFY2(m.hasMatch()
                         && (bytes ? timed(bytes / 1048576.0 / rate * 1000, file, downloading)
                                   : rate == 0)
                         && (m.captured(2).isEmpty()
                             || timed(m.captured(2).toDouble(), m_http.sent.value(QUrl(url).path()),
                                      probing)),
                 log.constData());
    }

    // The tool's own endpoints, each through the service as a proxy: it sees every request and
    // resolves no name, refusing each with a 404.
    void productionEndpoints()
    {
        WorkDir dir;
        m_http.requests.clear();
        QNetworkProxy::setApplicationProxy(
                QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", m_http.serverPort()));
        QVERIFY(EndpointChecks().runEndpointChecks("Linkometer.log", {}, {}));
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        QCOMPARE(m_http.requests,
                 QStringList({ "http://cdn-us.orvana.example.com/test/response.json",
                               "assets-us.orvana.example.com:443",
                               "orvana-assets-us.storage.example.net:443",
                               "http://orvana-assets-us.storage.example.net/test/response.json",
                               "api-us.orvana.example.com:443",
                               "http://nettest.orvana.example.com/network/test" }));
        QCOMPARE(
                dir.read("Linkometer.log"),
                QByteArray(
                        "download file fail from http://cdn-us.orvana.example.com/test failed \n"
                        "download file fail from https://assets-us.orvana.example.com/test failed "
                        "\n"
                        "download file fail from https://orvana-assets-us.storage.example.net/test "
                        "failed \n"
                        "download file fail from http://orvana-assets-us.storage.example.net/test "
                        "failed \n"
                        "query API fail from "
                        "https://api-us.orvana.example.com/orvana-admin/network/test "
                        "failed \n"
                        "query API fail from http://nettest.orvana.example.com/network/test failed "
                        "\n"));
    }
};

QTEST_GUILESS_MAIN(tst_Probe)
#include "tst_probe.moc"
