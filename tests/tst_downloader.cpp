#include <QtTest>
#include "Columns.h"
#include "Downloader.h"
#include "LocalService.h"
#include "Recorder.h"

namespace {
const QByteArray Command = QByteArrayLiteral("DOWNLOAD 1000000000\n");
const qint64 Half = 256 * 1024; // what a closing-early server sends per command
const QString Closed = QStringLiteral("The remote host closed the connection");
const int Refused = -1, NoPort = -2, Colons = -3,
          NoName = -4; // in place of a behaviour of the server
} // namespace

class tst_Downloader : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
};

void tst_Downloader::run_data()
{
    // threads 0: left out (one), timeout 0: left out too; twice: a first start, still receiving,
    // just before; bytes -1: some; events: status values, F for finished
    columns<int, int, int, bool, qint64, QString, QString>("behaviour", "threads", "timeout",
                                                           "twice", "bytes", "error", "events");

    const auto row = [](const char *name, auto behaviour, int threads, int timeout, qint64 bytes,
                        const QString &error, const char *events, bool twice = false) {
        QTest::newRow(name) << int(behaviour) << threads << timeout << twice << bytes << error
                            << QString(events);
    };
    row("three connections, each closed early", Behaviour::CloseEarly, 3, 60000, 3 * Half, Closed,
        "1234F");
    row("second start drops the first run", Behaviour::CloseEarly, 2, 60000, 2 * Half, Closed,
        "1234F", true);
    row("first run's connections, gone, end no second run", Behaviour::Normal, -1, 60000, 0,
        QString(), "123", true);
    row("refused port: error passed on, timer ends it", Refused, 2, 300, 0, "Connection refused",
        "14F");
    row("silent server: timer ends it", Behaviour::Silent, 2, 300, 0, QString(), "124F");
    row("endless server: timer ends it", Behaviour::Endless, 2, 300, -1, QString(), "1234F");
    row("negative connection count", Behaviour::Normal, -1, 300, 0, QString(), "");
    row("host without a port", NoPort, 2, 300, 0, "Invalid server", "");
    row("host with several colons: split at the first", Colons, 1, 300, 0, "Connection refused",
        "14F");
    row("host text with an empty name: tried all the same", NoName, 1, 300, 0, "Host not found",
        "14F");
    row("count left out: one connection", Behaviour::Silent, 0, 200, 0, QString(), "124F");
    row("count and timeout left out", Behaviour::CloseEarly, 0, 0, Half, Closed, "1234F");
}

void tst_Downloader::run()
{
    QFETCH(int, behaviour);
    QFETCH(int, threads);
    QFETCH(int, timeout);
    QFETCH(bool, twice);
    QFETCH(qint64, bytes);
    QFETCH(QString, error);
    QFETCH(QString, events);

    LocalService service;
    service.download = Behaviour(qMax(0, behaviour));
    const QString host = behaviour == Refused ? LocalService::refusedHost()
            : behaviour == NoPort             ? "127.0.0.1"
            : behaviour == Colons ? service.host() + ":1" // port text "<port>:1", no number: port 0
            : behaviour == NoName ? service.host().mid(service.host().indexOf(':'))
                                  : service.host();
    const auto at = [](const QString &host) {
        ServerItem s;
        s.setHost(host);
        return s;
    };
    Downloader downloader(nullptr);
    Recorder recorder;
    recorder.watch(&downloader, &Downloader::statusChanged,
                   [&] { return QString::number(downloader.status()); });
    recorder.watch(&downloader, &Downloader::finished, [] { return QStringLiteral("F"); });

    LocalService first;
    first.download = Behaviour::Endless;
    if (twice) {
        downloader.start(at(first.host()), timeout, 2);
        QTRY_VERIFY(downloader.downloadBytes64() > 0);
    }
    if (timeout == 0)
        downloader.start(at(host));
    else
        threads ? downloader.start(at(host), timeout, threads)
                : downloader.start(at(host), timeout);
    const int connections = threads ? qMax(0, threads) : 1;
    if (twice) // the first run's connections go
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(downloader.connectionCount(),
             behaviour == NoPort ? 0 : connections); // none of a first start
    if (events.endsWith('F'))
        QTRY_VERIFY(recorder.events.contains("F"));
    QCOMPARE(downloader.connectionCount(), 0);
    QCOMPARE(recorder.events.join(QString()), events);
    QCOMPARE(downloader.error(), error);
    QCOMPARE(service.commands.size(), events.contains('2') ? connections : 0);
    QCOMPARE(service.commands.count(Command), service.commands.size());
    if (bytes >= 0)
        QCOMPARE(downloader.downloadBytes64(), bytes);
    else // some, long enough to take time
        QVERIFY(downloader.downloadBytes64() > 0 && downloader.downloadTime() > 0);
    if (!events.contains('2'))
        QCOMPARE(downloader.delayTime() + downloader.downloadTime(), -2);
}

QTEST_GUILESS_MAIN(tst_Downloader)
#include "tst_downloader.moc"
