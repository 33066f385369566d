#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include "Downloader.h"
#include "ServerItem.h"
#include "SpeedTestService.h"

namespace {

const QByteArray Command = QByteArrayLiteral("DOWNLOAD 1000000000\n");

template <typename T>
QList<T> repeated(const T &value, int times)
{
    QList<T> list;
    for (int i = 0; i < times; ++i)
        list << value;
    return list;
}

ServerItem serverAt(const QString &host)
{
    ServerItem item;
    item.setHost(host);
    return item;
}

// Every signal of one Downloader in order of emission, with the status
// value for statusChanged.
class Recorder : public QObject
{
public:
    explicit Recorder(Downloader *downloader)
        : m_downloader(downloader)
    {
        connect(downloader, &Downloader::finished, this, [this] { events << QStringLiteral("finished"); });
        connect(downloader, &Downloader::delayTimeChanged, this, [this] {
            events << QStringLiteral("delayTime");
            delayTimes << m_downloader->delayTime();
        });
        connect(downloader, &Downloader::downloadTimeChanged, this,
                [this] { events << QStringLiteral("downloadTime"); });
        connect(downloader, &Downloader::downloadBytesChanged, this,
                [this] { events << QStringLiteral("downloadBytes"); });
        connect(downloader, &Downloader::errorChanged, this, [this] { events << QStringLiteral("error"); });
        connect(downloader, &Downloader::statusChanged, this, [this] {
            events << QStringLiteral("status:%1").arg(int(m_downloader->status()));
            statuses << m_downloader->status();
        });
    }

    int count(const QString &event) const { return events.count(event); }

    QStringList events;
    QList<Downloader::Status> statuses;
    QList<int> delayTimes;

private:
    Downloader *m_downloader;
};

// The single-shot lifetime timers of the downloader's live connections.
QList<int> lifetimes(const Downloader &downloader)
{
    QList<int> intervals;
    const QList<QTcpSocket *> sockets = downloader.findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly);
    for (const QTcpSocket *socket : sockets) {
        const QList<QTimer *> timers = socket->findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
        for (const QTimer *timer : timers) {
            if (timer->isSingleShot() && timer->isActive() && timer->interval() != 30000)
                intervals << timer->interval();
        }
    }
    return intervals;
}

} // namespace

class tst_Downloader : public QObject
{
    Q_OBJECT

private slots:
    void initial();
    void run_data();
    void run();
    void overloads_data();
    void overloads();
    void noConnections_data();
    void noConnections();
    void invalidServer_data();
    void invalidServer();
    void portText_data();
    void portText();
    void refusedPort();
    void serverClosesEarly();
    void secondStart_data();
    void secondStart();
    void moreThan32Bits();
};

void tst_Downloader::initial()
{
    Downloader downloader(nullptr);
    QCOMPARE(downloader.status(), Downloader::Idle);
    QCOMPARE(downloader.delayTime(), -1);
    QCOMPARE(downloader.downloadTime(), -1);
    QCOMPARE(downloader.downloadBytes(), 0);
    QCOMPARE(downloader.downloadBytes64(), qint64(0));
    QVERIFY(downloader.error().isEmpty());
    QCOMPARE(downloader.connectionCount(), 0);
    // Readers of the properties see the status as a registered enumeration.
    QCOMPARE(downloader.property("status").value<Downloader::Status>(), Downloader::Idle);
    QCOMPARE(QMetaEnum::fromType<Downloader::Status>().valueToKey(Downloader::Finished), "Finished");
}

// A healthy server: each connection gets the command once, the status rises
// through every step once, and finished comes last.
void tst_Downloader::run_data()
{
    QTest::addColumn<int>("threads");
    QTest::addColumn<qint64>("closeAfter"); // per connection; -1: the timers end the run
    QTest::newRow("one connection, ended by its timer") << 1 << qint64(-1);
    QTest::newRow("three connections, ended by their timers") << 3 << qint64(-1);
    QTest::newRow("three connections, closed by the server") << 3 << qint64(200000);
}

void tst_Downloader::run()
{
    QFETCH(int, threads);
    QFETCH(qint64, closeAfter);
    SpeedTestService svc;
    QVERIFY(svc.start());
    ServerBehaviour behaviour;
    // Paced, so that data keeps arriving for the whole run.
    behaviour.download.bytesPerSecond = closeAfter < 0 ? 2000000 : 0;
    behaviour.download.closeAfterBytes = closeAfter;
    const int server = svc.addTestServer(0, 0, behaviour);
    QVERIFY(server >= 0);

    Downloader downloader(nullptr);
    Recorder recorder(&downloader);
    const int timeout = closeAfter < 0 ? 400 : 20000;
    QElapsedTimer clock;
    clock.start();
    downloader.start(serverAt(svc.serverHost(server)), timeout, threads);
    QCOMPARE(downloader.connectionCount(), threads);
    QCOMPARE(recorder.events.mid(recorder.events.size() - 3),
             QStringList({ "delayTime", "downloadTime", "downloadBytes" }));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.count("finished"), 1, 10000);
    const qint64 elapsed = clock.elapsed();

    QCOMPARE(svc.downloadCommandsReceived(server), repeated(Command, threads));
    QCOMPARE(svc.connectionCount(server), threads);
    QCOMPARE(recorder.statuses, QList<Downloader::Status>({ Downloader::Connecting, Downloader::Requesting,
                                                             Downloader::Downloading, Downloader::Finished }));
    QCOMPARE(recorder.events.last(), QStringLiteral("finished"));
    QCOMPARE(recorder.events.at(recorder.events.size() - 2), QStringLiteral("status:4"));
    QCOMPARE(downloader.status(), Downloader::Finished);
    QCOMPARE(downloader.connectionCount(), 0);
    if (closeAfter < 0) {
        QVERIFY2(elapsed >= timeout * 9 / 10, qPrintable(QString::number(elapsed)));
        QVERIFY(downloader.downloadBytes64() > 0);
        QVERIFY(downloader.downloadBytes64() <= svc.downloadBytesSent(server));
        QVERIFY(downloader.downloadTime() > 0);
        QVERIFY(downloader.downloadTime() <= elapsed);
    } else {
        QVERIFY2(elapsed < timeout / 4, qPrintable(QString::number(elapsed)));
        QCOMPARE(downloader.downloadBytes64(), closeAfter * threads);
        QCOMPARE(svc.downloadBytesSent(server), closeAfter * threads);
        // The server's close is not an error of the run, but the socket says so.
        QVERIFY(downloader.downloadTime() >= -1);
    }
    QCOMPARE(downloader.downloadBytes(), int(downloader.downloadBytes64()));
    // The connection delay is the first connection's: later connections
    // announce it again, unchanged.
    QVERIFY(recorder.delayTimes.size() >= 1 + threads);
    const QList<int> afterConnect = recorder.delayTimes.mid(1);
    for (int value : afterConnect)
        QCOMPARE(value, afterConnect.first());
    QCOMPARE(downloader.delayTime(), afterConnect.first());
    QVERIFY(downloader.delayTime() >= -1 && downloader.delayTime() <= elapsed);
    QCOMPARE(recorder.count("delayTime"), 1 + threads);
}

void tst_Downloader::overloads_data()
{
    QTest::addColumn<int>("arguments");
    QTest::addColumn<int>("expectedTimeout");
    QTest::addColumn<int>("expectedConnections");
    QTest::newRow("start(server)") << 1 << 10000 << 1;
    QTest::newRow("start(server, timeout)") << 2 << 7000 << 1;
    QTest::newRow("start(server, timeout, threads)") << 3 << 8000 << 4;
}

void tst_Downloader::overloads()
{
    QFETCH(int, arguments);
    QFETCH(int, expectedTimeout);
    QFETCH(int, expectedConnections);
    SpeedTestService svc;
    QVERIFY(svc.start());
    ServerBehaviour silent;
    silent.download.silent = true;
    const int server = svc.addTestServer(0, 0, silent);
    const ServerItem item = serverAt(svc.serverHost(server));

    Downloader downloader(nullptr);
    if (arguments == 1)
        downloader.start(item);
    else if (arguments == 2)
        downloader.start(item, 7000);
    else
        downloader.start(item, 8000, 4);
    QCOMPARE(downloader.connectionCount(), expectedConnections);
    QCOMPARE(lifetimes(downloader), repeated(expectedTimeout, expectedConnections));
    QTRY_COMPARE(svc.downloadCommandsReceived(server).size(), expectedConnections);
    QCOMPARE(downloader.status(), Downloader::Requesting);
}

// No connection to open: only the three value signals, no status change,
// and finished never comes.
void tst_Downloader::noConnections_data()
{
    QTest::addColumn<int>("threads");
    QTest::addColumn<bool>("afterRun");
    QTest::newRow("0 on a new downloader") << 0 << false;
    QTest::newRow("-3 on a new downloader") << -3 << false;
    QTest::newRow("0 after a finished run") << 0 << true;
}

void tst_Downloader::noConnections()
{
    QFETCH(int, threads);
    QFETCH(bool, afterRun);
    SpeedTestService svc;
    QVERIFY(svc.start());
    ServerBehaviour closing;
    closing.download.closeAfterBytes = 1000;
    const int server = svc.addTestServer(0, 0, closing);
    const ServerItem item = serverAt(svc.serverHost(server));

    Downloader downloader(nullptr);
    if (afterRun) {
        QSignalSpy done(&downloader, &Downloader::finished);
        downloader.start(item, 5000, 1);
        QTRY_COMPARE(done.count(), 1);
    }
    const Downloader::Status before = downloader.status();
    Recorder recorder(&downloader);
    downloader.start(item, 5000, threads);
    QCOMPARE(recorder.events, QStringList({ "delayTime", "downloadTime", "downloadBytes" }));
    QCOMPARE(downloader.status(), before);
    QCOMPARE(downloader.connectionCount(), 0);
    QCOMPARE(downloader.downloadBytes64(), qint64(0));

    // A second downloader's whole run, behind this one in the server's
    // queue, shows that this one opened nothing and stays silent.
    Downloader other(nullptr);
    QSignalSpy otherDone(&other, &Downloader::finished);
    other.start(item, 5000, 1);
    QTRY_COMPARE(otherDone.count(), 1);
    QCOMPARE(svc.connectionCount(server), afterRun ? 2 : 1);
    QCOMPARE(recorder.events, QStringList({ "delayTime", "downloadTime", "downloadBytes" }));
}

void tst_Downloader::invalidServer_data()
{
    QTest::addColumn<QString>("host");
    QTest::newRow("no colon") << QStringLiteral("127.0.0.1");
    QTest::newRow("empty") << QString();
}

void tst_Downloader::invalidServer()
{
    QFETCH(QString, host);
    Downloader downloader(nullptr);
    Recorder recorder(&downloader);
    downloader.start(serverAt(host), 100, 3);
    QCOMPARE(downloader.error(), QStringLiteral("Invalid server"));
    QCOMPARE(recorder.events, QStringList{ "error" });
    QCOMPARE(downloader.status(), Downloader::Idle);
    QCOMPARE(downloader.connectionCount(), 0);
    QVERIFY(downloader.findChildren<QTcpSocket *>().isEmpty());
    // The same text again is no change.
    downloader.start(serverAt(host), 100, 3);
    QCOMPARE(recorder.events, QStringList{ "error" });
}

// The port is everything after the first colon, read as a decimal number;
// anything else is port 0, which nothing answers.
void tst_Downloader::portText_data()
{
    QTest::addColumn<QString>("suffix"); // after "127.0.0.1:"
    QTest::addColumn<bool>("reachesServer");
    QTest::newRow("port") << QStringLiteral("%1") << true;
    QTest::newRow("several colons") << QStringLiteral("%1:%1") << false;
    QTest::newRow("not a number") << QStringLiteral("port%1") << false;
}

void tst_Downloader::portText()
{
    QFETCH(QString, suffix);
    QFETCH(bool, reachesServer);
    SpeedTestService svc;
    QVERIFY(svc.start());
    ServerBehaviour closing;
    closing.download.closeAfterBytes = 1000;
    const int server = svc.addTestServer(0, 0, closing);

    Downloader downloader(nullptr);
    QSignalSpy done(&downloader, &Downloader::finished);
    downloader.start(serverAt(QStringLiteral("127.0.0.1:") + suffix.arg(svc.serverPort(server))), 500, 1);
    QTRY_COMPARE(done.count(), 1);
    QCOMPARE(svc.connectionCount(server), reachesServer ? 1 : 0);
    QCOMPARE(downloader.downloadBytes64(), reachesServer ? qint64(1000) : qint64(0));
    if (!reachesServer) {
        QVERIFY(!downloader.error().isEmpty());
        QCOMPARE(downloader.delayTime(), -1);
    }
}

// Nothing answers: the socket's own text, the run still ends at the timer.
void tst_Downloader::refusedPort()
{
    const quint16 port = SpeedTestService::closedPort();
    QVERIFY(port != 0);
    Downloader downloader(nullptr);
    Recorder recorder(&downloader);
    QElapsedTimer clock;
    clock.start();
    downloader.start(serverAt(QStringLiteral("127.0.0.1:%1").arg(port)), 600, 2);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.count("finished"), 1, 5000);
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed >= 540, qPrintable(QString::number(elapsed)));

    QTcpSocket reference;
    reference.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(!reference.waitForConnected(5000));
    QCOMPARE(downloader.error(), reference.errorString());
    QCOMPARE(recorder.count("error"), 1);
    QCOMPARE(recorder.statuses, QList<Downloader::Status>({ Downloader::Connecting, Downloader::Finished }));
    QCOMPARE(recorder.events.last(), QStringLiteral("finished"));
    QCOMPARE(downloader.delayTime(), -1);
    QCOMPARE(downloader.downloadTime(), -1);
    QCOMPARE(downloader.downloadBytes(), 0);
    QCOMPARE(downloader.downloadBytes64(), qint64(0));
}

// The server closing every connection ends the run long before the timers.
void tst_Downloader::serverClosesEarly()
{
    SpeedTestService svc;
    QVERIFY(svc.start());
    ServerBehaviour closing;
    closing.download.closeAfterBytes = 0;
    const int server = svc.addTestServer(0, 0, closing);
    Downloader downloader(nullptr);
    Recorder recorder(&downloader);
    QElapsedTimer clock;
    clock.start();
    downloader.start(serverAt(svc.serverHost(server)), 30000, 2);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.count("finished"), 1, 10000);
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(downloader.downloadBytes64(), qint64(0));
    QCOMPARE(downloader.status(), Downloader::Finished);
    QVERIFY(recorder.statuses.contains(Downloader::Requesting));
    QVERIFY(!recorder.statuses.contains(Downloader::Downloading));
    // Established and then nothing: the download time is the span from the
    // first connection back to start, never a positive time.
    QVERIFY(downloader.downloadTime() <= 0 || downloader.downloadTime() == -1);
}

// A second start drops the first run's connections; their end is not the
// end of the second run unless that run has no connection at all.
void tst_Downloader::secondStart_data()
{
    QTest::addColumn<int>("secondThreads");
    QTest::newRow("second run with a connection") << 1;
    QTest::newRow("second run without connections") << 0;
}

void tst_Downloader::secondStart()
{
    QFETCH(int, secondThreads);
    SpeedTestService svc;
    QVERIFY(svc.start());
    ServerBehaviour silent;
    silent.download.silent = true;
    const int first = svc.addTestServer(0, 0, silent);
    ServerBehaviour paced;
    paced.download.bytesPerSecond = 1000000;
    const int second = svc.addTestServer(0, 0, paced);

    Downloader downloader(nullptr);
    downloader.start(serverAt(svc.serverHost(first)), 60000, 2);
    QTRY_COMPARE(svc.downloadCommandsReceived(first).size(), 2);
    QCOMPARE(svc.openConnectionCount(first), 2);

    Recorder recorder(&downloader);
    downloader.start(serverAt(svc.serverHost(second)), 500, secondThreads);
    QCOMPARE(downloader.connectionCount(), secondThreads);
    QTRY_COMPARE(svc.openConnectionCount(first), 0);
    if (secondThreads > 0) {
        // The old sockets are gone, the new one still runs.
        QCOMPARE(recorder.count("finished"), 0);
        QTRY_COMPARE_WITH_TIMEOUT(recorder.count("finished"), 1, 5000);
        QCOMPARE(svc.downloadCommandsReceived(second).size(), 1);
        QVERIFY(downloader.downloadBytes64() > 0);
        QVERIFY(recorder.statuses.contains(Downloader::Finished));
    } else {
        // Each old socket's end finds the set empty.
        QTRY_COMPARE(recorder.count("finished"), 2);
        QCOMPARE(recorder.statuses, QList<Downloader::Status>{ Downloader::Finished });
    }
    QCOMPARE(downloader.connectionCount(), 0);
}

// More than 2^31 bytes in one run: the full count is kept, the int property
// shows its low 32 bits.
void tst_Downloader::moreThan32Bits()
{
    SpeedTestService svc;
    QVERIFY(svc.start());
    ServerBehaviour closing;
    closing.download.closeAfterBytes = 750000000;
    const int server = svc.addTestServer(0, 0, closing);
    Downloader downloader(nullptr);
    QSignalSpy done(&downloader, &Downloader::finished);
    downloader.start(serverAt(svc.serverHost(server)), 60000, 3);
    QVERIFY(done.wait(60000));
    const qint64 expected = qint64(3) * 750000000;
    QCOMPARE(downloader.downloadBytes64(), expected);
    QCOMPARE(downloader.downloadBytes(), int(qint64(expected) - (qint64(1) << 32)));
    QVERIFY(downloader.downloadBytes() < 0);
    QVERIFY(downloader.downloadTime() > 0);
}

QTEST_GUILESS_MAIN(tst_Downloader)
#include "tst_downloader.moc"
