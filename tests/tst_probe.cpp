#include <QNetworkProxy>
#include <QtTest>

#include "Columns.h"
#include "DownloadMgr.h"
#include "DownloadStage.h"
#include "EndpointChecks.h"
#include "LocalService.h"
#include "WorkDir.h"

// Endpoint probes against the local service, where a whole run cannot go: failures and their
// texts, the probes' bounds, TLS, and the tool's own endpoints.
class tst_Probe : public QObject
{
    Q_OBJECT
    LocalService m_http, m_https{ true };

private slots:
    void initTestCase()
    {
        // Followed, the redirect would end in a good answer.
        m_http.route("/moved/response.json", Route{ 302, "moved", "/slow/response.json" });
        m_http.route("/silent/response.json", {}, Behaviour::Silent);
        m_http.route("/slow/response.json", Route{ 200, {}, {}, 1310720, Behaviour::Slow });
        m_http.route("/early/response.json", QByteArray(1000, 'e'), Behaviour::CloseEarly);
        m_https.route("/response.json", "{}");
    }

    void probe_data()
    {
        // A probe of the test URL base; line: the probe's line, %1 the base, (\d+) its time.
        columns<QString, QString>("base", "line");
        QTest::newRow("whole body in pieces, timed")
                << m_http.url("/slow") << "download file done from %1 in (\\d+) ms \n";
        QTest::newRow("closing early")
                << m_http.url("/early") << "download file fail from %1 failed \n";
        QTest::newRow("silent, ended by the bound")
                << m_http.url("/silent") << "download file fail from %1 failed \n";
        QTest::newRow("redirect not followed")
                << m_http.url("/moved") << "download file fail from %1 failed \n";
        // Texts keep their percent signs.
        QTest::newRow("refused") << "http://" + LocalService::refusedHost() + "/a%20b%2.bin"
                                 << "download file fail from %1 failed \n";
        // Any certificate. Wine cannot serve TLS through Qt: there the server of
        // support/with_tls_server.sh.
        QTest::newRow("TLS 1.2 and later only, self-signed")
                << "https://127.0.0.1:"
                        + qEnvironmentVariable("OSP_TLS_PORT",
                                               QString::number(m_https.serverPort()))
                << "download file done from %1 in (\\d+) ms \n";
    }
    void probe()
    {
        QFETCH(QString, base);
        QFETCH(QString, line);
        WorkDir dir;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(EndpointChecks({ base }, {}, 0, scaled(500))
                        .runEndpointChecks("Linkometer.log", {}, {}));
        const qint64 outside = clock.elapsed();
        const QRegularExpressionMatch m =
                QRegularExpression(QRegularExpression::anchoredPattern(line.arg(esc(base))))
                        .match(dir.read("Linkometer.log"));
        // The time, bound by the service's sending and the test's wait.
        const auto s = m_http.sent.value(QUrl(base + "/response.json").path());
        QVERIFY2(m.hasMatch()
                         && (m.captured(1).isEmpty()
                             || (m.captured(1).toDouble() <= outside + 1
                                 && m.captured(1).toDouble() >= s.last - s.first - 1)),
                 dir.read("Linkometer.log").constData());
    }

    // A file host that stops sending: the download ends at the no-data bound, at speed 0. (A
    // download that never ends fails at the test's own bound.)
    void stalledDownload()
    {
        WorkDir dir;
        auto *manager = new DownloadMgr(this);
        manager->setNoDataTimeout(scaled(300));
        QTimer::singleShot(scaled(5000), manager, &QObject::deleteLater);
        const QString url = m_http.url("/silent/response.json");
        QVERIFY(DownloadStage(manager, "Linkometer.log", {}).run({ url }));
        QCOMPARE(dir.read("Linkometer.log"),
                 "======================================================\n\nfile: " + url.toUtf8()
                         + ", speed 0mbps\n \n");
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
        QCOMPARE(m_http.requests.size(), 6); // each one through the proxy
        QCOMPARE(EndpointChecks().probeUrl("", ""), -1);
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
