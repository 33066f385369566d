#include <QRegularExpression>
#include <QtTest>

#include "DownloadList.h"
#include "DownloadMgr.h"
#include "DownloadStage.h"
#include "EndpointChecks.h"
#include "LocalService.h"
#include "WorkDir.h"

namespace {

const QString Sep = QString(54, '=') + '\n';
const QString Log = QStringLiteral("./Linkometer.log");

QString esc(const QString &text)
{
    return QRegularExpression::escape(text);
}

} // namespace

// The file downloads of a run and its endpoint checks, against a local
// service over HTTP and HTTPS (self-signed).
class tst_Probe : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rateText();
    void download_data();
    void download();
    void endpoint_data();
    void endpoint();

private:
    QString url(const QString &where) const
    {
        if (where == "refused")
            return QStringLiteral("http://127.0.0.1:%1/x").arg(LocalService::closedPort());
        return where.startsWith("https:") ? m_https->url(where.mid(6)) : m_http->url(where);
    }
    WorkDir *m_dir = nullptr;
    LocalService *m_http = nullptr;
    LocalService *m_https = nullptr;
};

void tst_Probe::init()
{
    m_dir = new WorkDir;
    QVERIFY(m_dir->isValid());
    m_http = new LocalService(false, this);
    m_https = new LocalService(true, this);
    for (LocalService *svc : {m_http, m_https}) {
        Route slow;
        slow.fillerBytes = 300 * 1024;
        slow.behaviour = Behaviour::Slow;
        Route moved{302, "moved", svc->url("/t/response.json").toLatin1()};
        svc->route("/first", QByteArray(1000, 'f'));
        svc->route("/slow", slow);
        svc->route("/moved", moved);
        svc->route("/moved/response.json", moved);
        svc->route("/early", QByteArray(1000, 'e'), Behaviour::CloseEarly);
        svc->route("/silent", QByteArray(), Behaviour::Silent);
        svc->route("/silent/response.json", QByteArray(), Behaviour::Silent);
        svc->route("/slow/response.json", QByteArray(1000, 's'), Behaviour::Slow);
        svc->route("/t/response.json", "{}");
        svc->route("/base", "the base path exists");
        svc->route("/network/test", "{}");
    }
}

void tst_Probe::cleanup()
{
    delete m_https;
    delete m_http;
    delete m_dir;
}

void tst_Probe::rateText()
{
    // Units of 1048576 bytes per second; 6 significant digits.
    QCOMPARE(DownloadMgr::rate(2097152, 1000), 2.0f);
    QCOMPARE(DownloadMgr::rate(1048576, 250), 4.0f);
    QCOMPARE(DownloadList::resultText("u", 12.345678f), QStringLiteral("\nfile: u, speed 12.3457mbps\n \n"));
    QCOMPARE(DownloadList::resultText("%2", 1.5e6f), QStringLiteral("\nfile: %2, speed 1.5e+06mbps\n \n"));
}

void tst_Probe::download_data()
{
    // The last entry is the one under test; bytes is what its scratch file
    // holds (-1: none) and atLeast the milliseconds its timing must cover
    // (pieces 100 ms apart; a coarse timer fires up to 5 % early).
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<int>("atLeast");
    QTest::addColumn<bool>("endRun");
    QTest::newRow("file in pieces") << QStringList{"/first", "/slow"} << qint64(300 * 1024) << 90 << false;
    QTest::newRow("404 page timed like a file") << QStringList{"/first", "/missing"} << qint64(9) << 0 << false;
    QTest::newRow("closing early") << QStringList{"/first", "/early"} << qint64(500) << 0 << false;
    QTest::newRow("silent, ended by the bound") << QStringList{"/first", "/silent"} << qint64(-1) << 300 << false;
    QTest::newRow("redirect not followed") << QStringList{"/first", "/moved"} << qint64(5) << 0 << false;
    QTest::newRow("refused") << QStringList{"/first", "refused"} << qint64(-1) << 0 << false;
    QTest::newRow("https self-signed") << QStringList{"/first", "https:/first"} << qint64(-1) << 0 << false;
    QTest::newRow("same text twice written once") << QStringList{"refused", "refused"} << qint64(-1) << 0 << false;
    QTest::newRow("run ended during the wait") << QStringList{"/first", "/slow"} << qint64(300 * 1024) << 0 << true;
}

void tst_Probe::download()
{
    QFETCH(QStringList, entries);
    QFETCH(qint64, bytes);
    QFETCH(int, atLeast);
    QFETCH(bool, endRun);
    QVector<QString> urls;
    QStringList paths;
    for (const QString &entry : entries) {
        urls << url(entry);
        if (entry.startsWith('/'))
            paths << entry;
    }
    bool active = true;
    connect(m_http, &LocalService::requested, this, [&](const QString &path) { active &= !(endRun && path == entries.last()); });
    DownloadMgr manager;
    manager.setNoDataTimeout(300);
    const QDateTime before = QDateTime::currentDateTime();
    QCOMPARE(DownloadStage(&manager, Log, [&] { return active; }).run(urls), !endRun);

    QCOMPARE(m_http->requests, paths);
    const QStringList scratch = QDir("temp").entryList(QDir::Files, QDir::Name);
    QCOMPARE(scratch.size(), (entries.first() == "/first") + (bytes >= 0));
    for (const QString &name : scratch) {
        const QDateTime stamp = QDateTime::fromString(name.chopped(4), "yyyy-MM-dd-hh-mm-ss-zzz");
        QVERIFY2(stamp >= before.addMSecs(-1) && stamp <= QDateTime::currentDateTime(), qPrintable(name));
    }
    QCOMPARE(QFileInfo(manager.scratchFile()).size(), qMax<qint64>(0, bytes));
    QVERIFY(manager.scratchFile().startsWith("./temp/"));
    QVERIFY(manager.elapsedMsecs() >= atLeast);

    // Each result: a separator and the file's rate, which counts the bytes
    // of the scratch file over the time of the request.
    QString expected;
    for (int i = 0; i < urls.size() - endRun; ++i) {
        const bool repeated = i > 0 && urls.at(i) == urls.at(i - 1) && bytes < 0;
        expected += Sep + (repeated ? QString() : esc("\nfile: " + urls.at(i) + ", speed ") + "([0-9.e+-]+)mbps\n \n");
    }
    const QRegularExpressionMatch m = QRegularExpression("^" + expected + "$").match(QString::fromLocal8Bit(m_dir->read(Log)));
    QVERIFY2(m.hasMatch(), m_dir->read(Log).constData());
    if (!endRun && bytes < 0)
        QCOMPARE(m.captured(m.lastCapturedIndex()), QStringLiteral("0"));
    const double rate = qMax<qint64>(0, bytes) / 1048576.0 / (qMax<qint64>(1, manager.elapsedMsecs()) / 1000.0);
    if (!endRun)
        QVERIFY(qAbs(m.captured(m.lastCapturedIndex()).toDouble() - rate) <= rate * 1e-5);
}

void tst_Probe::endpoint_data()
{
    // where: base path, "https:" path or "refused"; atLeast: milliseconds
    // the done line must show, -1 for a fail line; cut: 1 the run was
    // cancelled before the checks, 2 during the probe, 3 a newer run began
    // during the probe.
    QTest::addColumn<QString>("where");
    QTest::addColumn<bool>("api");
    QTest::addColumn<int>("atLeast");
    QTest::addColumn<int>("cut");
    QTest::newRow("200 done") << "/t" << false << 0 << 0;
    QTest::newRow("self-signed https done") << "https:/t" << false << 0 << 0;
    QTest::newRow("404 under an existing path") << "/base" << false << -1 << 0;
    QTest::newRow("redirect fails") << "https:/moved" << false << -1 << 0;
    QTest::newRow("silent fails at the bound") << "/silent" << false << -1 << 0;
    QTest::newRow("slow answer timed whole") << "/slow" << false << 900 << 0;
    QTest::newRow("refused fails") << "refused" << false << -1 << 0;
    QTest::newRow("API done") << "/network/test" << true << 0 << 0;
    QTest::newRow("API redirect fails") << "/moved" << true << -1 << 0;
    QTest::newRow("cancelled before") << "/t" << false << 0 << 1;
    QTest::newRow("cancelled during the probe") << "/t" << false << 0 << 2;
    QTest::newRow("newer run during the probe") << "/t" << false << 0 << 3;
}

void tst_Probe::endpoint()
{
    QFETCH(QString, where);
    QFETCH(bool, api);
    QFETCH(int, atLeast);
    QFETCH(int, cut);
    const QString base = url(where);
    const QString next = url(where.startsWith("https:") ? "https:/next" : "/next");
    bool active = cut != 1;
    bool newer = false;
    for (LocalService *svc : {m_http, m_https})
        connect(svc, &LocalService::requested, this, [&] { active = cut == 0, newer = cut == 3; });
    const EndpointChecks checks(api ? QVector<QString>() : QVector<QString>{base},
                                api ? QVector<QString>{base, next} : QVector<QString>{next}, 0, 300);
    QCOMPARE(checks.runEndpointChecks(Log, [&] { return active; }, [&] { return newer; }), cut == 0);

    QStringList requested;
    if (cut != 1 && where != "refused")
        requested << QUrl(base).path() + (api ? "" : "/response.json");
    if (cut == 0)
        requested << "/next";
    QCOMPARE(m_http->requests + m_https->requests, requested);
    const QString words = api ? "query API " : "download file ";
    QString expected;
    if (cut == 0 || cut == 2)
        expected = esc(words + (atLeast < 0 ? "fail from " + base + " failed \n" : "done from " + base + " in ")) + (atLeast < 0 ? "" : "(\\d+) ms \\n");
    if (cut == 0)
        expected += esc("query API fail from " + next + " failed \n");
    const QRegularExpressionMatch m = QRegularExpression("^" + expected + "$").match(QString::fromLocal8Bit(m_dir->read(Log)));
    QVERIFY2(m.hasMatch(), m_dir->read(Log).constData());
    if (atLeast >= 0 && m.lastCapturedIndex() == 1)
        QVERIFY2(m.captured(1).toInt() >= atLeast, qPrintable(m.captured(1)));
}

QTEST_GUILESS_MAIN(tst_Probe)
#include "tst_probe.moc"
