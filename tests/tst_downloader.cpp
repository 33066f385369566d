#include <QtTest>

#include "Columns.h"
#include "Downloader.h"
#include "LocalService.h"
#include "Recorder.h"

class tst_Downloader : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
};

void tst_Downloader::run_data()
{
    // host: of the service, or as given; first: a run started just before on an endless server;
    // events: status values, F for finished.
    columns<int, QString, int, int, bool, qint64, QString, QString>(
            "behaviour", "host", "threads", "timeout", "first", "bytes", "error", "events");
    const QString closed = "The remote host closed the connection";
    const auto row = [](const char *name, Behaviour b, const QString &host, int threads,
                        int timeout, qint64 bytes, const QString &error, const char *events,
                        bool first = false) {
        QTest::newRow(name) << int(b) << host << threads << timeout << first << bytes << error
                            << QString(events);
    };
    const Behaviour silent = Behaviour::Silent;
    row("three connections, past 2^31 bytes", Behaviour::Normal, "", 3, 60000, 3000000000, closed,
        "1234F");
    row("a second start drops the first run", Behaviour::CloseEarly, "", 2, 60000, 2 << 18, closed,
        "1234F", true);
    row("silent server: the timer ends it", silent, "", 1, 300, 0, "", "124F");
    row("refused", silent, LocalService::refusedHost(), 2, 300, 0, "Connection refused", "14F");
}

void tst_Downloader::run()
{
    QFETCH(int, behaviour);
    QFETCH(QString, host);
    QFETCH(int, threads);
    QFETCH(int, timeout);
    QFETCH(bool, first);
    QFETCH(qint64, bytes);
    LocalService service, endless;
    service.download = Behaviour(behaviour);
    const auto at = [](const QString &host) {
        ServerItem s;
        s.setHost(host);
        return s;
    };
    Downloader d(nullptr);
    Recorder recorder;
    recorder.watch(&d, &Downloader::statusChanged, [&] { return QString::number(d.status()); });
    recorder.watch(&d, &Downloader::finished, [] { return "F"; });
    // What the change signals last announced.
    QList<int> seen{ -1, -1, 0 };
    connect(&d, &Downloader::delayTimeChanged, this, [&] { seen[0] = d.delayTime(); });
    connect(&d, &Downloader::downloadTimeChanged, this, [&] { seen[1] = d.downloadTime(); });
    connect(&d, &Downloader::downloadBytesChanged, this, [&] { seen[2] = d.downloadBytes(); });
    endless.download = Behaviour::Endless;
    if (first) {
        d.start(at(endless.host()), 60000, 2);
        QTRY_VERIFY(d.downloadTime() > 0);
    }
    const qint64 begin = LocalService::now();
    d.start(at(host.isEmpty() ? service.host() : host), timeout, threads);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // the first run's go
    QFETCH(QString, events);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.events.join("") == events, scaled(15000));
    QTRY_COMPARE(d.connectionCount(), 0);
    const qint64 outside = LocalService::now() - begin;
    QCOMPARE(recorder.events.join(""), events);
    QTEST(d.error(), "error");
    QCOMPARE(d.downloadBytes64(), bytes);
    QCOMPARE(d.downloadBytes(), int(bytes)); // the low 32 bits
    QCOMPARE(seen, QList<int>({ d.delayTime(), d.downloadTime(), d.downloadBytes() }));
    // From the first connection to the last byte: at least the service's sending, at most the run
    // (a connection that never sends makes it the negative span back to the start).
    const LocalService::Sent sent = service.sent["DOWNLOAD"];
    QVERIFY(d.delayTime() <= outside && d.downloadTime() <= outside
            && qAbs(d.downloadTime()) >= sent.last - sent.first - 1);
}

QTEST_GUILESS_MAIN(tst_Downloader)
#include "tst_downloader.moc"
