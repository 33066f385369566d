#include <QDir>
#include <QFile>
#include <QPointer>
#include <QRegularExpression>
#include <QTimer>
#include <QtTest>

#include "DownloadList.h"
#include "DownloadMgr.h"
#include "DownloadStage.h"
#include "HttpFileServer.h"
#include "ReportLog.h"
#include "WorkDir.h"

namespace {

const QString LogPath = QStringLiteral("./Linkometer.log");
const QString Separator = QString::fromLatin1(ReportLog::SeparatorLine);

QString report()
{
    QFile file(LogPath);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(file.readAll());
}

QString refusedUrl(const QString &path)
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(HttpFileServer::closedLoopbackPort()).arg(path);
}

} // namespace

class tst_DownloadStage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void separatorAndResultPerEntry();
    void identicalTextSuppressedAlsoAcrossRuns();
    void emptyListCompletes();
    void inactiveRunFetchesNothing();
    void cancelDuringFirstOfThree();
    void managerDestroyedEndsWait();
    void runEndedDuringWaitWritesNothing();

private:
    WorkDir *m_dir = nullptr;
    HttpFileServer *m_server = nullptr;
};

void tst_DownloadStage::init()
{
    m_dir = new WorkDir;
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir().mkdir("temp"));
    m_server = new HttpFileServer;
    QVERIFY(m_server->listenHttp());
}

void tst_DownloadStage::cleanup()
{
    delete m_server;
    m_server = nullptr;
    delete m_dir;
    m_dir = nullptr;
}

void tst_DownloadStage::separatorAndResultPerEntry()
{
    HttpRoute a;
    a.generatedSize = 1000;
    HttpRoute b;
    b.generatedSize = 200000;
    m_server->setRoute("/a.bin", a);
    m_server->setRoute("/b.bin", b);
    const QString first = m_server->url("/a.bin");
    const QString second = m_server->url("/b.bin");

    DownloadMgr manager;
    DownloadStage stage(&manager, LogPath, [] { return true; });
    QVERIFY(stage.run({first, second}));

    QCOMPARE(m_server->requestedPaths(), (QStringList{"/a.bin", "/b.bin"}));
    const QString secondText = DownloadList::resultText(second, manager.speed());
    QCOMPARE(DownloadStage::lastResultLine(), secondText);
    const QRegularExpression expected(
        "^" + QRegularExpression::escape(Separator + "\nfile: " + first + ", speed ")
        + "[0-9][0-9.e+-]*mbps\n \n" + QRegularExpression::escape(Separator + secondText) + "$");
    QVERIFY2(expected.match(report()).hasMatch(), qPrintable(report()));
}

void tst_DownloadStage::identicalTextSuppressedAlsoAcrossRuns()
{
    // Refused requests give speed 0, so equal entries give equal texts.
    const QString known = refusedUrl("/known.bin");
    const QString same = refusedUrl("/same.bin");
    const QString other = refusedUrl("/other.bin");
    const QString knownText = DownloadList::resultText(known, 0.0f);
    const QString sameText = DownloadList::resultText(same, 0.0f);

    {
        DownloadMgr manager;
        QVERIFY(DownloadStage(&manager, LogPath, [] { return true; }).run({known}));
        QCOMPARE(DownloadStage::lastResultLine(), knownText);
    }
    {
        DownloadMgr manager;
        QVERIFY(DownloadStage(&manager, LogPath, [] { return true; }).run({same, same}));
    }
    QCOMPARE(report(), Separator + knownText + Separator + sameText + Separator);
    QCOMPARE(DownloadStage::lastResultLine(), sameText);

    // A later run with a new manager: the text is still the last one written.
    {
        DownloadMgr manager;
        QVERIFY(DownloadStage(&manager, LogPath, [] { return true; }).run({same, other}));
    }
    QCOMPARE(report(), Separator + knownText + Separator + sameText + Separator + Separator + Separator
                           + DownloadList::resultText(other, 0.0f));
}

void tst_DownloadStage::emptyListCompletes()
{
    DownloadMgr manager;
    QVERIFY(DownloadStage(&manager, LogPath, [] { return true; }).run({}));
    QVERIFY(!QFile::exists(LogPath));
}

void tst_DownloadStage::inactiveRunFetchesNothing()
{
    m_server->setRoute("/a.bin", HttpRoute());
    DownloadMgr manager;
    QVERIFY(!DownloadStage(&manager, LogPath, [] { return false; }).run({m_server->url("/a.bin")}));
    QTest::qWait(100);
    QVERIFY(m_server->requests().isEmpty());
    QVERIFY(!QFile::exists(LogPath));
}

void tst_DownloadStage::cancelDuringFirstOfThree()
{
    HttpRoute silent;
    silent.silent = true;
    m_server->setRoute("/a.bin", silent);
    m_server->setRoute("/b.bin", HttpRoute());
    m_server->setRoute("/c.bin", HttpRoute());
    QVector<QString> list{m_server->url("/a.bin"), m_server->url("/b.bin"), m_server->url("/c.bin")};

    // What the window's Cancel does while the stage waits.
    bool active = true;
    QPointer<DownloadMgr> manager = new DownloadMgr;
    connect(m_server, &HttpFileServer::requestReceived, this, [&] {
        QTimer::singleShot(50, this, [&] {
            active = false;
            manager->deleteLater();
            list.clear();
        });
    });
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!DownloadStage(manager, LogPath, [&] { return active; }).run(list));
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY(!manager);
    QTest::qWait(100);
    QCOMPARE(m_server->requestedPaths(), QStringList{"/a.bin"});
    QVERIFY(!QFile::exists(LogPath));
}

void tst_DownloadStage::managerDestroyedEndsWait()
{
    HttpRoute silent;
    silent.silent = true;
    m_server->setRoute("/a.bin", silent);
    m_server->setRoute("/b.bin", HttpRoute());

    QPointer<DownloadMgr> manager = new DownloadMgr;
    connect(m_server, &HttpFileServer::requestReceived, manager.data(), &QObject::deleteLater);
    QVERIFY(!DownloadStage(manager, LogPath, [] { return true; })
                 .run({m_server->url("/a.bin"), m_server->url("/b.bin")}));
    QVERIFY(!manager);
    QTest::qWait(100);
    QCOMPARE(m_server->requestedPaths(), QStringList{"/a.bin"});
    QVERIFY(!QFile::exists(LogPath));
}

void tst_DownloadStage::runEndedDuringWaitWritesNothing()
{
    // The run ends (cancelled, replaced by a newer one or the window closing)
    // while a download goes on to its end: that result is not written and the
    // walk stops.
    HttpRoute slow;
    slow.body = "slow body";
    slow.delayMsecs = 300;
    m_server->setRoute("/a.bin", slow);
    m_server->setRoute("/b.bin", HttpRoute());

    bool active = true;
    DownloadMgr manager;
    QSignalSpy finished(&manager, &DownloadMgr::replyFinished);
    connect(m_server, &HttpFileServer::requestReceived, this, [&] { active = false; });
    QVERIFY(!DownloadStage(&manager, LogPath, [&] { return active; })
                 .run({m_server->url("/a.bin"), m_server->url("/b.bin")}));
    QCOMPARE(finished.count(), 1);
    QTest::qWait(100);
    QCOMPARE(m_server->requestedPaths(), QStringList{"/a.bin"});
    QVERIFY(!QFile::exists(LogPath));
}

QTEST_GUILESS_MAIN(tst_DownloadStage)
#include "tst_downloadstage.moc"
