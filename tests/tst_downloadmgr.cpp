#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>

#include "DownloadMgr.h"
#include "HttpFileServer.h"
#include "ProcessMemory.h"
#include "WorkDir.h"

namespace {

HttpRoute generated(qint64 size, int delayMsecs = 0)
{
    HttpRoute route;
    route.generatedSize = size;
    route.delayMsecs = delayMsecs;
    return route;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QNetworkReply *currentReply(DownloadMgr &manager)
{
    const auto replies = manager.findChildren<QNetworkReply *>(QString(), Qt::FindDirectChildrenOnly);
    return replies.isEmpty() ? nullptr : replies.last();
}

} // namespace

class tst_DownloadMgr : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void rate_data();
    void rate();
    void servedRate_data();
    void servedRate();
    void requestSent();
    void failedRequest_data();
    void failedRequest();
    void errorPageTimedLikeAFile();
    void redirectNotFollowed_data();
    void redirectNotFollowed();
    void twoDownloadsTwoFiles();
    void scratchNameTakenGetsSuffix();
    void tempFolderMadeWhenMissing();
    void unwritableScratchDrained();
    void productionNoDataBound();
    void noDataBoundEndsDownload_data();
    void noDataBoundEndsDownload();
    void noDataBoundRestartsOnArrival();
    void largeDownloadFlatMemory();
    void destroyedDuringDownload();

private:
    WorkDir *m_dir = nullptr;
    HttpFileServer *m_server = nullptr;
};

void tst_DownloadMgr::init()
{
    m_dir = new WorkDir;
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir().mkdir("temp"));
    m_server = new HttpFileServer;
    QVERIFY(m_server->listenHttp());
}

void tst_DownloadMgr::cleanup()
{
    delete m_server;
    m_server = nullptr;
    delete m_dir;
    m_dir = nullptr;
}

void tst_DownloadMgr::rate_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<qint64>("msecs");
    QTest::addColumn<float>("expected");
    QTest::newRow("2 MiB in 1000 ms") << qint64(2097152) << qint64(1000) << 2.0f;
    QTest::newRow("1 MiB in 250 ms") << qint64(1048576) << qint64(250) << 4.0f;
    QTest::newRow("nothing arrived") << qint64(0) << qint64(750) << 0.0f;
    // Begin and end in one millisecond count as one millisecond.
    QTest::newRow("same millisecond") << qint64(1048576) << qint64(0) << 1000.0f;
    QTest::newRow("same millisecond, nothing arrived") << qint64(0) << qint64(0) << 0.0f;
}

void tst_DownloadMgr::rate()
{
    QFETCH(qint64, bytes);
    QFETCH(qint64, msecs);
    QFETCH(float, expected);
    const float result = DownloadMgr::rate(bytes, msecs);
    QVERIFY(std::isfinite(result));
    QCOMPARE(result, expected);
}

void tst_DownloadMgr::servedRate_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<int>("delayMsecs");
    QTest::addColumn<float>("ceiling");
    QTest::newRow("2 MiB, answered after 1000 ms") << qint64(2097152) << 1000 << 2.0f;
    QTest::newRow("1 MiB, answered after 250 ms") << qint64(1048576) << 250 << 4.0f;
}

void tst_DownloadMgr::servedRate()
{
    QFETCH(qint64, bytes);
    QFETCH(int, delayMsecs);
    QFETCH(float, ceiling);
    m_server->setRoute("/file.bin", generated(bytes, delayMsecs));

    DownloadMgr manager;
    QSignalSpy finished(&manager, &DownloadMgr::replyFinished);
    manager.download(m_server->url("/file.bin"));
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.count(), 1);

    QCOMPARE(QFileInfo(manager.scratchFile()).size(), bytes);
    QCOMPARE(readFile(manager.scratchFile()), HttpFileServer::generatedBody(0, bytes));
    // The server held the answer back, so the recorded time is at least the
    // delay, and the rate is the one computed from size and recorded time.
    QVERIFY2(manager.elapsedMsecs() >= delayMsecs, qPrintable(QString::number(manager.elapsedMsecs())));
    const float speed = manager.speed();
    QCOMPARE(speed, DownloadMgr::rate(bytes, manager.elapsedMsecs()));
    QVERIFY(speed <= ceiling);
    QVERIFY2(speed > ceiling / 4, qPrintable(QString::number(double(speed))));
}

void tst_DownloadMgr::requestSent()
{
    m_server->setRoute("/file.bin", generated(10));
    DownloadMgr manager;
    QSignalSpy finished(&manager, &DownloadMgr::replyFinished);
    manager.download(m_server->url("/file.bin"));
    QVERIFY(finished.wait(10000));
    QCOMPARE(m_server->requests().size(), 1);
    const HttpRequestRecord request = m_server->requests().first();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.path, QStringLiteral("/file.bin"));
    QCOMPARE(request.headers.value("content-type"), QByteArray("application/pak"));
}

void tst_DownloadMgr::failedRequest_data()
{
    QTest::addColumn<QString>("entry");
    QTest::newRow("refused port")
        << QStringLiteral("http://127.0.0.1:%1/file.bin").arg(HttpFileServer::closedLoopbackPort());
    QTest::newRow("not an address") << QStringLiteral("not an address at all");
    QTest::newRow("unsupported scheme") << QStringLiteral("gopher://127.0.0.1/file.bin");
}

void tst_DownloadMgr::failedRequest()
{
    QFETCH(QString, entry);
    DownloadMgr manager;
    QSignalSpy finished(&manager, &DownloadMgr::replyFinished);
    manager.download(entry);
    QVERIFY(finished.wait(10000));
    QTest::qWait(50);
    QCOMPARE(finished.count(), 1);
    QVERIFY(!QFile::exists(manager.scratchFile()));
    QCOMPARE(manager.speed(), 0.0f);
}

void tst_DownloadMgr::errorPageTimedLikeAFile()
{
    HttpRoute missing;
    missing.status = 404;
    missing.body = QByteArray(4096, 'e');
    m_server->setRoute("/missing.bin", missing);
    DownloadMgr manager;
    QSignalSpy finished(&manager, &DownloadMgr::replyFinished);
    manager.download(m_server->url("/missing.bin"));
    QVERIFY(finished.wait(10000));
    QCOMPARE(readFile(manager.scratchFile()), missing.body);
    QCOMPARE(manager.speed(), DownloadMgr::rate(4096, manager.elapsedMsecs()));
}

void tst_DownloadMgr::redirectNotFollowed_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("301") << 301;
    QTest::newRow("302") << 302;
}

void tst_DownloadMgr::redirectNotFollowed()
{
    QFETCH(int, status);
    m_server->setRoute("/target.bin", generated(1048576));
    HttpRoute redirect;
    redirect.status = status;
    redirect.location = m_server->url("/target.bin").toLatin1();
    redirect.body = "moved to target";
    m_server->setRoute("/moved.bin", redirect);

    DownloadMgr manager;
    QSignalSpy finished(&manager, &DownloadMgr::replyFinished);
    manager.download(m_server->url("/moved.bin"));
    QVERIFY(finished.wait(10000));
    QTest::qWait(100);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(m_server->requestedPaths(), QStringList{"/moved.bin"});
    QCOMPARE(readFile(manager.scratchFile()), redirect.body);
    QCOMPARE(manager.speed(), DownloadMgr::rate(redirect.body.size(), manager.elapsedMsecs()));
}

void tst_DownloadMgr::twoDownloadsTwoFiles()
{
    m_server->setRoute("/one.bin", generated(1000));
    m_server->setRoute("/two.bin", generated(300000, 50));

    DownloadMgr manager;
    QSignalSpy finished(&manager, &DownloadMgr::replyFinished);
    manager.download(m_server->url("/one.bin"));
    QVERIFY(finished.wait(10000));
    const QString first = manager.scratchFile();
    manager.download(m_server->url("/two.bin"));
    QVERIFY(QTest::qWaitFor([&] { return finished.count() == 2; }, 10000));
    const QString second = manager.scratchFile();

    QVERIFY(first != second);
    QCOMPARE(QFileInfo(first).size(), qint64(1000));
    QCOMPARE(QFileInfo(second).size(), qint64(300000));
    QCOMPARE(QDir("temp").entryList(QDir::Files).size(), 2);
    QVERIFY(manager.elapsedMsecs() >= 50);
    QCOMPARE(manager.speed(), DownloadMgr::rate(300000, manager.elapsedMsecs()));
}

void tst_DownloadMgr::scratchNameTakenGetsSuffix()
{
    // The names of a coming window of time are taken already: a download
    // started inside it must pick "-1". The window lies far enough ahead for
    // a slow (sanitized, loaded) build to make the files first; if it still
    // did not, the next attempt looks further ahead.
    const int windowMsecs = 1500;
    QDateTime windowStart;
    for (int lead = 2000; lead <= 32000 && !windowStart.isValid(); lead *= 2) {
        const QDateTime start = QDateTime::currentDateTime().addMSecs(lead);
        for (int ms = 0; ms < windowMsecs; ++ms) {
            QFile taken("temp/" + start.addMSecs(ms).toString("yyyy-MM-dd-hh-mm-ss-zzz") + ".tmp");
            QVERIFY(taken.open(QIODevice::WriteOnly));
        }
        if (QDateTime::currentDateTime() < start)
            windowStart = start;
    }
    QVERIFY2(windowStart.isValid(), "the files could not be made ahead of time");
    QTRY_VERIFY_WITH_TIMEOUT(QDateTime::currentDateTime() >= windowStart.addMSecs(100), 40000);
    m_server->setRoute("/file.bin", generated(777));
    DownloadMgr manager;
    QSignalSpy finished(&manager, &DownloadMgr::replyFinished);
    manager.download(m_server->url("/file.bin"));
    QVERIFY2(QDateTime::currentDateTime() < windowStart.addMSecs(windowMsecs),
             "the download did not start inside the window");
    QVERIFY(finished.wait(10000));

    QVERIFY2(QRegularExpression("^\\./temp/\\d{4}(-\\d\\d){5}-\\d{3}-1\\.tmp$")
                 .match(manager.scratchFile())
                 .hasMatch(),
             qPrintable(manager.scratchFile()));
    QCOMPARE(readFile(manager.scratchFile()), HttpFileServer::generatedBody(0, 777));
    QCOMPARE(manager.speed(), DownloadMgr::rate(777, manager.elapsedMsecs()));
    // The file that was there is left as it was.
    QString plain = manager.scratchFile();
    plain.replace("-1.tmp", ".tmp");
    QVERIFY(QFile::exists(plain));
    QCOMPARE(QFileInfo(plain).size(), qint64(0));
}

void tst_DownloadMgr::tempFolderMadeWhenMissing()
{
    QVERIFY(QDir("temp").removeRecursively());
    m_server->setRoute("/file.bin", generated(5000));
    DownloadMgr manager;
    QSignalSpy finished(&manager, &DownloadMgr::replyFinished);
    manager.download(m_server->url("/file.bin"));
    QVERIFY(finished.wait(10000));
    QVERIFY(QFileInfo("temp").isDir());
    QVERIFY(manager.scratchFile().startsWith("./temp/"));
    QCOMPARE(QFileInfo(manager.scratchFile()).size(), qint64(5000));
}

void tst_DownloadMgr::unwritableScratchDrained()
{
    // A file standing at "temp": the folder cannot be made, no scratch file
    // can be opened, and the body must still not pile up in the reply.
    QVERIFY(QDir("temp").removeRecursively());
    QVERIFY(m_dir->write("temp", "in the way"));
    const qint64 size = 16 * 1024 * 1024;
    m_server->setRoute("/file.bin", generated(size));

    DownloadMgr manager;
    QSignalSpy finished(&manager, &DownloadMgr::replyFinished);
    manager.download(m_server->url("/file.bin"));
    QNetworkReply *reply = currentReply(manager);
    QVERIFY(reply);
    qint64 received = 0;
    qint64 mostLeft = 0;
    connect(reply, &QNetworkReply::downloadProgress, this, [&](qint64 bytes, qint64) { received = bytes; });
    // Connected after the manager's writer, so this sees what it left.
    connect(reply, &QNetworkReply::readyRead, this, [&] { mostLeft = qMax(mostLeft, reply->bytesAvailable()); });
    QVERIFY(finished.wait(30000));
    QCOMPARE(received, size);
    QCOMPARE(mostLeft, qint64(0));
    QCOMPARE(manager.speed(), 0.0f);
    QCOMPARE(m_dir->read("temp"), QByteArray("in the way"));
}

void tst_DownloadMgr::productionNoDataBound()
{
    DownloadMgr manager;
    QCOMPARE(DownloadMgr::NoDataTimeout, 60000);
    QCOMPARE(manager.noDataTimeout(), 60000);
}

void tst_DownloadMgr::noDataBoundEndsDownload_data()
{
    QTest::addColumn<bool>("silent");
    QTest::addColumn<qint64>("arrived");
    QTest::newRow("never answered") << true << qint64(0);
    QTest::newRow("stalled after 64 KiB") << false << qint64(65536);
}

void tst_DownloadMgr::noDataBoundEndsDownload()
{
    QFETCH(bool, silent);
    QFETCH(qint64, arrived);
    HttpRoute stalled = generated(1048576);
    stalled.silent = silent;
    stalled.stallAfter = arrived;
    m_server->setRoute("/stalled.bin", stalled);

    DownloadMgr manager;
    manager.setNoDataTimeout(300);
    QSignalSpy finished(&manager, &DownloadMgr::replyFinished);
    QElapsedTimer clock;
    clock.start();
    manager.download(m_server->url("/stalled.bin"));
    QVERIFY(finished.wait(10000));
    QVERIFY(clock.elapsed() >= 300);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(QFileInfo(manager.scratchFile()).size(), arrived);
    QCOMPARE(readFile(manager.scratchFile()), HttpFileServer::generatedBody(0, arrived));
    QVERIFY(manager.elapsedMsecs() >= 300);
    // The rate of what arrived, over the time until the download was ended.
    QCOMPARE(manager.speed(), DownloadMgr::rate(arrived, manager.elapsedMsecs()));
}

void tst_DownloadMgr::noDataBoundRestartsOnArrival()
{
    // 12 chunks 100 ms apart: longer in all than the bound, never silent
    // for as long as the bound.
    HttpRoute slow = generated(12000);
    slow.chunkBytes = 1000;
    slow.chunkIntervalMsecs = 100;
    m_server->setRoute("/slow.bin", slow);

    DownloadMgr manager;
    manager.setNoDataTimeout(400);
    QSignalSpy finished(&manager, &DownloadMgr::replyFinished);
    manager.download(m_server->url("/slow.bin"));
    QVERIFY(finished.wait(20000));
    QVERIFY(manager.elapsedMsecs() >= 1100);
    QCOMPARE(readFile(manager.scratchFile()), HttpFileServer::generatedBody(0, 12000));
}

void tst_DownloadMgr::largeDownloadFlatMemory()
{
    const qint64 size = 128 * 1024 * 1024;
    m_server->setRoute("/large.bin", generated(size));
    DownloadMgr manager;
    QSignalSpy finished(&manager, &DownloadMgr::replyFinished);
    const qint64 residentBefore = ProcessMemory::residentBytes();
    qint64 residentMost = residentBefore;
    manager.download(m_server->url("/large.bin"));
    QNetworkReply *reply = currentReply(manager);
    QVERIFY(reply);
    qint64 mostLeft = 0;
    connect(reply, &QNetworkReply::readyRead, this, [&] {
        mostLeft = qMax(mostLeft, reply->bytesAvailable());
        residentMost = qMax(residentMost, ProcessMemory::residentBytes());
    });
    QVERIFY(finished.wait(120000));

    QCOMPARE(mostLeft, qint64(0));
    QCOMPARE(QFileInfo(manager.scratchFile()).size(), size);
    QFile file(manager.scratchFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.seek(size - 100000));
    QCOMPARE(file.read(100000), HttpFileServer::generatedBody(size - 100000, 100000));
    if (residentBefore < 0 || ProcessMemory::underAddressSanitizer()) {
        qInfo("resident size not checked here (no /proc or AddressSanitizer's quarantine)");
    } else {
        const qint64 growth = residentMost - residentBefore;
        QVERIFY2(growth < 48 * 1024 * 1024, qPrintable(QStringLiteral("grew by %1 bytes").arg(growth)));
    }
}

void tst_DownloadMgr::destroyedDuringDownload()
{
    HttpRoute stalled = generated(1048576);
    stalled.stallAfter = 1000;
    m_server->setRoute("/stalled.bin", stalled);
    auto *manager = new DownloadMgr;
    QSignalSpy finished(manager, &DownloadMgr::replyFinished);
    QSignalSpy destroyed(manager, &QObject::destroyed);
    manager->download(m_server->url("/stalled.bin"));
    QTRY_VERIFY(QDir("temp").entryList(QDir::Files).size() == 1);
    manager->deleteLater();
    QVERIFY(destroyed.wait(5000));
    QTest::qWait(100);
    QCOMPARE(finished.count(), 0);
}

QTEST_GUILESS_MAIN(tst_DownloadMgr)
#include "tst_downloadmgr.moc"
