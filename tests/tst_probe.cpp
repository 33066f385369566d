#include <QtTest>

#include "Columns.h"
#include "DownloadMgr.h"
#include "DownloadStage.h"
#include "EndpointChecks.h"
#include "LocalService.h"
#include "WorkDir.h"

class tst_Probe : public QObject
{
    Q_OBJECT

    QString report() const { return QString::fromLocal8Bit(m_dir->read("Linkometer.log")); }
    // A time the code measured of a request to url: it covers at least the span the service spent
    // sending the body of path and at most the span the test saw from outside (1 ms of rounding
    // each).
    void checkTime(const QString &url, const QString &path, double figureMs, qint64 outside)
    {
        const LocalService::Sent s =
                (url.startsWith("https:") ? m_https : m_http)->sent.value(path);
        QVERIFY2(figureMs <= outside + 1.01 && (s.first < 0 || figureMs >= s.last - s.first - 1.01),
                 qPrintable(QStringLiteral("%1 ms, sent in %2 ms, seen in %3 ms")
                                    .arg(figureMs)
                                    .arg(s.last - s.first)
                                    .arg(outside)));
    }

    std::unique_ptr<LocalService> m_http, m_https;
    std::unique_ptr<WorkDir> m_dir;
    QString m_refused;

private slots:
    void initTestCase()
    {
        m_http.reset(new LocalService(false));
        m_https.reset(new LocalService(true));
        m_refused = "http://" + LocalService::refusedHost()
                + "/a%20b%2.bin"; // texts keep their percent signs
        for (LocalService *svc : { m_http.get(), m_https.get() }) {
            svc->route("/moved", Route{ 302, "moved", svc->url("/t/response.json").toLatin1() });
            svc->route("/silent", QByteArray(), Behaviour::Silent);
            svc->route("/first", QByteArray(1000, 'f'));
            svc->route("/slow", Route{ 200, {}, {}, 5 * 256 * 1024, Behaviour::Slow });
            svc->route("/early", QByteArray(1000, 'e'), Behaviour::CloseEarly);
            svc->route("/t/response.json", "{}");
            svc->route("/base", "the base path exists");
        }
    }
    void init()
    {
        m_dir.reset(); // the old folder first, so that the new one stays the working directory
        m_dir.reset(new WorkDir);
        for (LocalService *svc : { m_http.get(), m_https.get() })
            svc->requests.clear(), svc->sent.clear();
    }

    void download_data()
    {
        // The last entry is under test; before: "file" stands at ./temp, the scratch names of the
        // coming seconds are "taken", or the caller "empties" its list once the first file is in;
        // bound: the no-data bound in ms (0: the tool's own); bytes: what its scratch file holds
        // (-1: none); suffix: a pattern of its name's end; report: the separators and result lines.
        columns<QStringList, QString, int, bool, qint64, QString, QString>(
                "entries", "before", "bound", "endRun", "bytes", "suffix", "report");
        const QString first = m_http->url("/first"), slow = m_http->url("/slow");
        const auto line = [](const QString &url) {
            return esc(Separator + "\nfile: " + url + ", speed ") + "<speed>" + esc("mbps\n \n");
        };
        const auto row = [&](const char *name, const QString &last, const QString &before,
                             int bound, bool endRun, qint64 bytes, const QString &suffix,
                             const QString &report) {
            QTest::newRow(name) << QStringList{ first, last } << before << bound << endRun << bytes
                                << suffix << line(first) + report;
        };
        row("file in pieces", slow, "", 0, false, 1310720, "", line(slow));
        row("404 page timed like a file", m_http->url("/missing"), "", 0, false, 9, "",
            line(m_http->url("/missing")));
        row("closing early", m_http->url("/early"), "", 0, false, 500, "",
            line(m_http->url("/early")));
        row("silent, ended by the bound", m_http->url("/silent"), "", 300, false, -1, "",
            line(m_http->url("/silent")));
        row("redirect not followed", m_http->url("/moved"), "", 0, false, 5, "",
            line(m_http->url("/moved")));
        row("refused", m_refused, "", 0, false, -1, "", line(m_refused));
        row("https self-signed", m_https->url("/first"), "", 0, false, -1, "",
            line(m_https->url("/first")));
        row("same name taken: a suffix", slow, "taken", 0, false, 1310720, "-[23]", line(slow));
        row("scratch folder blocked: bytes dropped", slow, "file", 0, false, -1, "", line(slow));
        // Rows in this order: an identical text is never written twice in a row, across rows too.
        row("list emptied by the caller meanwhile", slow, "empties", 0, false, 1310720, "",
            line(slow));
        row("run ended during the wait", slow, "", 0, true, 1310720, "", "");
        QTest::newRow("same text twice written once")
                << QStringList{ m_refused, m_refused } << "" << 0 << false << qint64(-1) << ""
                << line(m_refused) + esc(Separator);
    }

    void download()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, before);
        QFETCH(int, bound);
        QFETCH(bool, endRun);
        QFETCH(qint64, bytes);
        QFETCH(QString, suffix);
        QFETCH(QString, report);
        if (before == "file")
            QVERIFY(m_dir->write("temp", "a file"));
        // Two names for each millisecond of two seconds that begin once they are made (folders,
        // quick to make; begun later while the making is slower), and the downloads begun then:
        // they take a third.
        QDateTime from = QDateTime::currentDateTime();
        for (qint64 lead = 100; before == "taken"; lead *= 2) {
            const QDateTime began = QDateTime::currentDateTime();
            from = began.addMSecs(lead);
            for (int ms = 0; ms < 2000; ++ms) {
                const QString name =
                        "temp/" + from.addMSecs(ms).toString("yyyy-MM-dd-hh-mm-ss-zzz");
                for (const QString &taken : { name + ".tmp", name + "-1.tmp" })
                    QVERIFY(QDir().mkpath(taken));
            }
            if (QDateTime::currentDateTime() < from)
                break;
            QVERIFY2(lead < 60000, "names made more slowly than the clock runs");
            lead = qMax(lead, began.msecsTo(QDateTime::currentDateTime()));
        }
        QTRY_VERIFY_WITH_TIMEOUT(QDateTime::currentDateTime() >= from, 70000);
        DownloadMgr manager;
        if (bound)
            manager.setNoDataTimeout(bound);
        const QString last = QUrl(entries.last()).path();
        const auto active = [&] { return !endRun || !m_http->requests.contains(last); };
        QVector<QString> list = entries.toVector();
        connect(&manager, &DownloadMgr::replyFinished, this, [&] {
            if (before == "empties")
                list.clear();
        });
        const qint64 start = LocalService::now();
        QCOMPARE(DownloadStage(&manager, "Linkometer.log", active).run(list), !endRun);
        const qint64 outside = LocalService::now() - start;
        if (!m_http->requests.isEmpty())
            QCOMPARE(m_http->lastHeaders.value("content-type"), QByteArray("application/pak"));
        const QString name = manager.scratchFile();
        // A file begun in the millisecond the one before it began takes the next suffix ("-1"
        // without names made beforehand, "-3" past them).
        const QString pattern = suffix.isEmpty() ? QString("(-1)?") : suffix;
        QVERIFY2(QRegularExpression("^\\./temp/\\d{4}(-\\d\\d){5}-\\d{3}" + pattern + "\\.tmp$")
                         .match(name)
                         .hasMatch(),
                 qPrintable(name));
        QCOMPARE(QFileInfo::exists(name) ? QFileInfo(name).size() : -1, bytes);

        const QRegularExpressionMatch m =
                QRegularExpression(QRegularExpression::anchoredPattern(
                                           report.replace("<speed>", "([0-9.e+-]+)")))
                        .match(this->report());
        QVERIFY2(m.hasMatch(), qPrintable(this->report()));
        // The rate of the last file: its bytes over a time the service and the test bound.
        const double rate = m.captured(m.lastCapturedIndex()).toDouble();
        if (!endRun && bytes > 0)
            checkTime(entries.last(), last, bytes / 1048576.0 / rate * 1000, outside);
        else if (!endRun)
            QCOMPARE(rate, 0.0);
    }

    void endpoint_data()
    {
        // One endpoint under test, then one API endpoint that fails; api: the first is an API
        // endpoint too (else a test URL: "/response.json" below it); bound: the no-answer bound (0:
        // the tool's own); the run is active while fewer than activeBelow requests have come, a
        // newer run has started once newerFrom have; report: the lines, \d+ ms timed.
        columns<QString, bool, int, int, int, QStringList, bool, QString>(
                "base", "api", "bound", "activeBelow", "newerFrom", "asked", "completed", "report");
        const QString next = m_http->url("/next");
        const QString tail = esc("query API fail from " + next + " failed \n");
        const auto done = [](const char *words, const QString &url) {
            return esc(words + QString("done from ") + url + " in ") + "(\\d+)" + esc(" ms \n");
        };
        const auto fail = [](const char *words, const QString &url) {
            return esc(words + QString("fail from ") + url + " failed \n");
        };
        const auto row = [&](const char *name, const QString &base, bool api, int bound,
                             int activeBelow, int newerFrom, const QStringList &asked,
                             bool completed, const QString &report) {
            QTest::newRow(name) << base << api << bound << activeBelow << newerFrom << asked
                                << completed << report;
        };
        // Probed to the end: the first path asked (none: refused), and whether the probe is done or
        // fails.
        const auto whole = [&](const char *name, const QString &base, bool api, int bound,
                               const QString &first, bool ok) {
            const char *words = api ? "query API " : "download file ";
            row(name, base, api, bound, 99, 99,
                (first.isEmpty() ? QStringList() : QStringList(first)) << "/next", true,
                (ok ? done(words, base) : fail(words, base)) + tail);
        };
        const QString t = m_http->url("/t");
        whole("200 done", t, false, 0, "/t/response.json", true);
#ifndef Q_OS_WIN // Wine lacks what Qt's Secure Channel needs to serve TLS (CertFindChainInStore);
                 // the client side works
        whole("self-signed https done", m_https->url("/t"), false, 0, "/t/response.json", true);
#endif
        whole("404 under an existing path", m_http->url("/base"), false, 0, "/base/response.json",
              false);
        whole("redirect fails", m_http->url("/moved"), true, 0, "/moved", false);
        whole("silent fails at the bound", m_http->url("/silent"), true, 300, "/silent", false);
        whole("slow answer timed whole", m_http->url("/slow"), true, 0, "/slow", true);
        whole("200, then too slow, fails", m_http->url("/slow"), true, 50, "/slow", false);
        whole("200 cut off mid-body fails", m_http->url("/early"), true, 0, "/early", false);
        whole("refused fails", m_refused, false, 0, "", false);
        row("cancelled before", t, false, 0, 0, 99, {}, false, "");
        row("cancelled during the probe", t, false, 0, 1, 99, { "/t/response.json" }, false,
            done("download file ", t));
        row("newer run during the probe", t, false, 0, 1, 1, { "/t/response.json" }, false, "");
    }

    void endpoint()
    {
        QFETCH(QString, base);
        QFETCH(bool, api);
        QFETCH(int, bound);
        QFETCH(int, activeBelow);
        QFETCH(int, newerFrom);
        QFETCH(QStringList, asked);
        QFETCH(bool, completed);
        QFETCH(QString, report);
        const QString next = m_http->url("/next");
        const auto probes = [this] { return m_http->requests.size() + m_https->requests.size(); };
        const EndpointChecks checks(api ? QVector<QString>() : QVector<QString>{ base },
                                    api ? QVector<QString>{ base, next } : QVector<QString>{ next },
                                    0, bound ? bound : EndpointChecks::NoAnswerMsecs);
        const qint64 start = LocalService::now();
        QCOMPARE(checks.runEndpointChecks(
                         "Linkometer.log", [&] { return probes() < activeBelow; },
                         [&] { return probes() >= newerFrom; }),
                 completed);
        const qint64 outside = LocalService::now() - start;
        QCOMPARE(m_https->requests + m_http->requests, asked);
        const QRegularExpressionMatch m =
                QRegularExpression(QRegularExpression::anchoredPattern(report))
                        .match(this->report());
        QVERIFY2(m.hasMatch(), qPrintable(this->report()));
        if (!m.captured(1).isEmpty())
            checkTime(base, asked.first(), m.captured(1).toDouble(), outside);
    }
};

QTEST_GUILESS_MAIN(tst_Probe)
#include "tst_probe.moc"
