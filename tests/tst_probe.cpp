#include <QtTest>

#include "DownloadMgr.h"
#include "DownloadStage.h"
#include "EndpointChecks.h"
#include "LocalService.h"
#include "WorkDir.h"

class tst_Probe : public QObject
{
    Q_OBJECT

    // A path on the HTTP service, "https:" and a path on the HTTPS one (self-signed), or "refused".
    QString url(const QString &where) const
    {
        return where == "refused" ? m_refused
                                  : where.startsWith("https:") ? m_https->url(where.mid(6)) : m_http->url(where);
    }
    QString report() const { return QString::fromLocal8Bit(m_dir->read("Linkometer.log")); }

    std::unique_ptr<LocalService> m_http, m_https;
    std::unique_ptr<WorkDir> m_dir;
    QString m_refused; // one closed port per row, so that two refused entries are one address

private slots:
    void init()
    {
        m_dir.reset(); // the old folder first, so that the new one stays the working directory
        m_dir.reset(new WorkDir);
        m_http.reset(new LocalService(false));
        m_https.reset(new LocalService(true));
        m_refused = QStringLiteral("http://127.0.0.1:%1/x").arg(LocalService::closedPort());
        for (LocalService *svc : {m_http.get(), m_https.get()}) {
            const Route moved{302, "moved", svc->url("/t/response.json").toLatin1()};
            svc->route("/moved", moved);
            svc->route("/silent", QByteArray(), Behaviour::Silent);
            svc->route("/first", QByteArray(1000, 'f'));
            svc->route("/slow", Route{200, {}, {}, 5 * 256 * 1024, Behaviour::Slow});
            svc->route("/stalled", Route{200, {}, {}, 5 * 256 * 1024, Behaviour::Slow}); // probed with a shorter bound
            svc->route("/early", QByteArray(1000, 'e'), Behaviour::CloseEarly);
            svc->route("/t/response.json", "{}");
            svc->route("/base", "the base path exists");
        }
    }

    void download_data()
    {
        // The last entry is under test: bytes, what its scratch file holds (-1: none); atLeast, the ms its
        // time must cover ("/slow": 5 pieces 100 ms apart, longer than the bound in all; timers fire 5 % early).
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<int>("atLeast");
        QTest::addColumn<int>("caller"); // 1: ends the run once the last entry is asked for; 2: empties its list
        QTest::newRow("file in pieces") << QStringList{"/first", "/slow"} << qint64(1310720) << 380 << 0;
        QTest::newRow("404 page timed like a file") << QStringList{"/first", "/missing"} << qint64(9) << 0 << 0;
        QTest::newRow("closing early") << QStringList{"/first", "/early"} << qint64(500) << 0 << 0;
        QTest::newRow("silent, ended by the bound") << QStringList{"/first", "/silent"} << qint64(-1) << 300 << 0;
        QTest::newRow("redirect not followed") << QStringList{"/first", "/moved"} << qint64(5) << 0 << 0;
        QTest::newRow("refused") << QStringList{"/first", "refused"} << qint64(-1) << 0 << 0;
        QTest::newRow("https self-signed") << QStringList{"/first", "https:/first"} << qint64(-1) << 0 << 0;
        QTest::newRow("same text twice written once") << QStringList{"refused", "refused"} << qint64(-1) << 0 << 0;
        QTest::newRow("run ended during the wait") << QStringList{"/first", "/slow"} << qint64(1310720) << 0 << 1;
        QTest::newRow("list emptied by the caller meanwhile") << QStringList{"/first", "/slow"} << qint64(1310720) << 0
                                                              << 2;
    }

    void download()
    {
        QFETCH(QStringList, entries);
        QFETCH(qint64, bytes);
        QFETCH(int, atLeast);
        QFETCH(int, caller);
        const bool endRun = caller == 1;
        QVector<QString> urls, all; // of their own, so that nothing of urls outlives its emptying
        for (const QString &entry : entries)
            urls << url(entry), all << url(entry);
        DownloadMgr manager;
        manager.setNoDataTimeout(300);
        connect(&manager, &DownloadMgr::replyFinished, this, [&] { if (caller == 2) urls.clear(); });
        const QDateTime before = QDateTime::currentDateTime();
        const auto active = [&] { return !endRun || !m_http->requests.contains(entries.last()); };
        QCOMPARE(DownloadStage(&manager, "Linkometer.log", active).run(urls), !endRun);
        QCOMPARE(m_http->requests, entries.filter(QRegularExpression("^/")));
        if (!m_http->requests.isEmpty())
            QCOMPARE(m_http->lastHeaders.value("content-type"), QByteArray("application/pak"));
        QCOMPARE(QDir("temp").entryList(QDir::Files).size(), (entries.first() == "/first") + (bytes >= 0));
        const QString name = manager.scratchFile();
        const QDateTime stamp = QDateTime::fromString(name.mid(7, 23), "yyyy-MM-dd-hh-mm-ss-zzz");
        QVERIFY2(stamp >= before && stamp <= QDateTime::currentDateTime()
                     && QRegularExpression("^\\./temp/.{23}(-\\d+)?\\.tmp$").match(name).hasMatch(), qPrintable(name));
        QCOMPARE(QFileInfo(name).size(), qMax<qint64>(0, bytes));
        QVERIFY(manager.elapsedMsecs() >= atLeast);

        // A separator and result per file, an identical text once; the rate: scratch bytes over time in MiB/s.
        QString expected;
        for (int i = 0; i < all.size() - endRun; ++i) {
            expected += QString(54, '=') + '\n';
            if (i == 0 || all.at(i) != all.at(i - 1) || bytes >= 0)
                expected += QRegularExpression::escape("\nfile: " + all.at(i) + ", speed ") + "([0-9.e+-]+)mbps\n \n";
        }
        const QRegularExpressionMatch m = QRegularExpression("^" + expected + "$").match(report());
        QVERIFY2(m.hasMatch(), qPrintable(report()));
        const double rate = qMax<qint64>(0, bytes) / 1048576.0 / (qMax<qint64>(1, manager.elapsedMsecs()) / 1000.0);
        if (!endRun)
            QCOMPARE(m.captured(m.lastCapturedIndex()), QString::number(double(float(rate)), 'g', 6));
    }

    void endpoint_data()
    {
        // api: an API endpoint (else a test URL: "/response.json" below it); atLeast: the ms the done line
        // shows, -1 a fail line; cut: run cancelled before (1) or during (2) the probe, newer run during it (3).
        QTest::addColumn<QString>("where");
        QTest::addColumn<bool>("api");
        QTest::addColumn<int>("atLeast");
        QTest::addColumn<int>("cut");
        QTest::newRow("200 done") << "/t" << false << 0 << 0;
        QTest::newRow("self-signed https done") << "https:/t" << false << 0 << 0;
        QTest::newRow("404 under an existing path") << "/base" << false << -1 << 0;
        QTest::newRow("redirect fails") << "https:/moved" << true << -1 << 0;
        QTest::newRow("silent fails at the bound") << "/silent" << true << -1 << 0;
        QTest::newRow("slow answer timed whole") << "/slow" << true << 380 << 0;
        QTest::newRow("200, then stalled, fails") << "/stalled" << true << -1 << 0;
        QTest::newRow("200 cut off mid-body fails") << "/early" << true << -1 << 0;
        QTest::newRow("refused fails") << "refused" << false << -1 << 0;
        QTest::newRow("API done") << "/first" << true << 0 << 0;
        QTest::newRow("cancelled before") << "/t" << false << 0 << 1;
        QTest::newRow("cancelled during the probe") << "/t" << false << 0 << 2;
        QTest::newRow("newer run during the probe") << "/t" << false << 0 << 3;
    }

    void endpoint()
    {
        QFETCH(QString, where);
        QFETCH(bool, api);
        QFETCH(int, atLeast);
        QFETCH(int, cut);
        const QString base = url(where), next = url(where.startsWith("https:") ? "https:/next" : "/next");
        const auto probes = [this] { return m_http->requests.size() + m_https->requests.size(); };
        const EndpointChecks checks(api ? QVector<QString>() : QVector<QString>{base},
                                    api ? QVector<QString>{base, next} : QVector<QString>{next}, 0,
                                    where == "/stalled"                          ? 50
                                        : where == "/silent" || where == "/slow" ? 300
                                                                                 : 5000); // a loaded TLS handshake
        QCOMPARE(checks.runEndpointChecks("Linkometer.log", [&] { return cut == 0 || (cut > 1 && !probes()); },
                                          [&] { return cut == 3 && probes(); }), cut == 0);

        // A followed redirect or a wrong path would turn a line round.
        QCOMPARE(probes(), (cut != 1 && where != "refused") + (cut == 0));
        const QString words = api ? "query API " : "download file ", expected = (cut % 2 ? QString()
            : atLeast < 0 ? QRegularExpression::escape(words + "fail from " + base + " failed \n")
                          : QRegularExpression::escape(words + "done from " + base + " in ") + "(\\d+) ms \\n")
            + (cut ? QString() : QRegularExpression::escape("query API fail from " + next + " failed \n"));
        const QRegularExpressionMatch m = QRegularExpression("^" + expected + "$").match(report());
        QVERIFY2(m.hasMatch(), qPrintable(report()));
        QVERIFY(m.captured(1).toInt() >= atLeast);
    }
};

QTEST_GUILESS_MAIN(tst_Probe)
#include "tst_probe.moc"
