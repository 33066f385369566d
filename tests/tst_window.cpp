#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include <memory>

#include "Columns.h"
#include "LocalService.h"
#include "MainWindow.h"
#include "RunSetup.h"
#include "ServerCache.h"
#include "StandIns.h"
#include "WorkDir.h"

namespace {
const QString Log = QStringLiteral("Linkometer.log");
#ifdef Q_OS_WIN // the stand-in program's lines (StandIn.cpp), the system's text
const QString Trace = QStringLiteral("tracert"), NoFile;
const QString Shells = QRegularExpression::escape("ping [-n][4][127.0.0.1]\n") + "(%1)?"
        + QRegularExpression::escape("tracert [127.0.0.1]\n") + "(?(1)|%1)";
#else
const QString Trace = QStringLiteral("traceroute"),
              NoFile = QStringLiteral("No such file or directory");
const QString Shells =
        "ping -c 4 -- 127\\.0\\.0\\.1\\n(%1)?traceroute -- 127\\.0\\.0\\.1\\n(?(1)|%1)";
#endif
QStringList look(QWidget *w)
{
    const auto *bar = w->findChild<QProgressBar *>("bar_prpgress");
    return { w->findChild<QLabel *>("label_message")->text(),
             w->findChild<QPushButton *>("button_start")->text(),
             bar->isHidden() ? "bar hidden" : "bar shown",
             w->findChild<QPushButton *>("button_export")->isEnabled() ? "export enabled"
                                                                       : "export disabled" };
}
} // namespace

// Whole runs through the real window against one local service that stands
// in for the speed-test host, its test server, the file host and the
// endpoints, with stand-ins for ping and traceroute: they write their pid
// into pid-<name> and one line with their arguments, then wait while their
// hold file exists; "stubborn" makes them ignore SIGTERM.
class tst_Window : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
};

void tst_Window::run_data()
{
    // files: made before the run (hold files of a stand-in, "stubborn"; "name/" a folder, "name ->
    // target" a link); setup: routes served instead of the good ones, the "shell" of the stages;
    // catchAt: the held route or stand-in where the first run is caught, label showing; clicks:
    // then made ("close" closes the window); after: what the first run writes after that; done: the
    // label at the end; speedTest and shells: the report of the run that completes (none: nothing
    // to read back).
    columns<QStringList, QVariantMap, QString, QString, QStringList, QString, QString, QString,
            QString>("files", "setup", "catchAt", "label", "clicks", "after", "done", "speedTest",
                     "shells");
    const QString time = "Test time: \\d{4}(?:-\\d\\d){5}-\\d{3} \\n";
    const QString whole = time
            + "ISP: Acme Net \\nServer: Sponsor S \\(S\\) \\nLatency: \\d+ms \\nDowload: "
              "[0-9.e+-]+mbps \\n"
              "Loss: not available \\n";
    const QString download = "Checking download...", tracert = "Checking tracert...",
                  cancel = CancelMarker;
    const QStringList click{ "cancel" }, restart{ "cancel", "start" }, close{ "close" };
    const QString finished = "Finished Test. Export Report to us";
    // The tracert separator is written while the command already runs.
    const QString shells = Shells.arg(QString::fromLatin1(Separator));
    const auto row = [&](const char *name, const QStringList &files, const QString &catchAt,
                         const QString &label, const QStringList &clicks, const QString &after,
                         const QString &speedTest, const QVariantMap &setup = {},
                         const QString &done = QString(), const QString &shellPart = QString()) {
        QTest::newRow(name) << files << setup << catchAt << label << clicks << after
                            << (done.isEmpty() ? finished : done) << speedTest
                            << (shellPart.isEmpty() ? shells : shellPart);
    };
    row("complete run", {}, "", "", {}, "", whole);
    row("speed test fails: configuration not XML", {}, "", "", {}, "", time,
        { { ConfigPath, "not xml" } });
    row("speed test fails: no servers", {}, "", "", {}, "",
        time + "ISP: Acme Net \\nServer:  \\(\\) \\nLatency: -1ms \\n",
        { { ListPath, "<settings><servers/></settings>" } });
    row("cancel in speed test", {}, ListPath, download, click, cancel, whole);
    row("cancel in first download", {}, "/a.bin", download, click, cancel, whole);
    row("cancel in ping", { "hold-ping" }, "hold-ping", "Checking ping...", click, cancel, whole);
    row("cancel in tracert", { "hold-" + Trace }, "hold-" + Trace, tracert, click, cancel, whole);
    // A probe under way at a plain Cancel still ends and writes its line.
    row("cancel in endpoint checks", {}, "/t2/response.json", tracert, click,
        cancel + "download file fail from <t2> failed \n", whole);
    row("cancel and start in second download", {}, "/b.bin", download, restart, cancel, whole);
    row("cancel and start in endpoint checks", {}, "/t2/response.json", tracert, restart, cancel,
        whole);
    row("stale child of a cancelled run", { "hold-ping", "stubborn" }, "hold-ping",
        "Checking ping...", restart, cancel, whole);
    row("close in download", {}, "/a.bin", download, close, "", "");
    row("close in endpoint checks", {}, "/t2/response.json", tracert, close, "", "");
    // Nothing the run started outlives the window: released, a command would write on.
    row("close in tracert, its command stubborn", { "hold-" + Trace, "stubborn" }, "hold-" + Trace,
        tracert, close, "", "");
    // The stages' and the system's texts.
    row("shell that cannot start", {}, "", "", {}, "", whole, { { "shell", "missing/sh" } }, "",
        "ping could not start: [^\\n]*" + NoFile + " \\n" + Separator
                + "tracert could not start: [^\\n]*" + NoFile + " \\n");
    const QString unwritten = "Report could not be written in full";
    row("report folder at the report's name", { Log + "/" }, "", "", {}, "", "", {}, unwritten);
#ifndef Q_OS_WIN
    row("report on a full disk", { Log + " -> /dev/full" }, "", "", {}, "", "", {},
        unwritten); // reads back endless zeros
#endif
}

void tst_Window::run()
{
    QFETCH(QStringList, files);
    QFETCH(QVariantMap, setup);
    QFETCH(QString, catchAt);
    QFETCH(QString, label);
    QFETCH(QStringList, clicks);
    QFETCH(QString, after);
    QFETCH(QString, done);
    QFETCH(QString, speedTest);
    QFETCH(QString, shells);

    WorkDir dir;
    QVERIFY(dir.isValid());
    StandIns standIns("name=${0##*/}\necho $$ >pid-$name\n[ -f stubborn ] && trap '' TERM\necho "
                      "\"$name $*\"\n[ -f hold-$name ] || exit 0\n"
                      "while [ -f hold-$name ]; do sleep 0.02; done\necho $name after hold\n");
    QVERIFY(standIns.isValid());
    // A server list cache of its own, so every run fetches the list.
    qputenv("XDG_CACHE_HOME", dir.filePath("cache").toLocal8Bit());
    QFile::remove(
            ServerCache::filePath(ServerCache::cacheDirectory())); // where the above is not heeded
    QVERIFY(dir.write("ipconfig.txt", "127.0.0.1\n"));
    for (const QString &file : files)
        QVERIFY(file.endsWith('/') ? QDir().mkdir(file)
                        : file.contains(" -> ")
                        ? QFile::link(file.section(" -> ", 1), file.section(" -> ", 0, 0))
                        : dir.write(file, ""));

    LocalService svc;
    QStringList entries{ svc.url("/a.bin"), svc.url("/b.bin") };
    QVERIFY(dir.write("downloadConfig.txt", (entries.join("\n  \n") + '\n').toUtf8()));
    QVector<QString> tests;
    for (int i = 1; i <= 4; ++i)
        tests << svc.url(QStringLiteral("/t%1").arg(i));
    const QVector<QString> apis{ svc.url("/orvana-admin/network/test"), svc.url("/network/test") };
    after.replace("<t2>", tests.at(1));
    const auto serve = [&](const QVariantMap &broken) {
        svc.route(ConfigPath,
                  broken.value(ConfigPath, configDocument("1", "2", "2")).toByteArray());
        svc.route(ListPath,
                  broken.value(ListPath, serverListDocument({ { &svc, 52.5, 13.4, "S" } }))
                          .toByteArray());
        svc.route(LatencyPath, "test=test");
        svc.route("/a.bin", Route{ 200, {}, {}, 300 * 1024 });
        svc.route("/b.bin", "small file");
        svc.route("/c.bin", "c");
        for (const QString &url : tests)
            svc.route(QUrl(url).path() + "/response.json", "{}");
        svc.route("/orvana-admin/network/test", "{}");
        // "/network/test" is not served: that endpoint fails.
    };
    // The test server's connections end early: the speed test is the
    // engine's business, here it only has to be quick.
    svc.download = Behaviour::CloseEarly;
    serve(setup);
    if (catchAt.startsWith('/'))
        svc.route(catchAt, QByteArray(), Behaviour::Silent);

    auto window = std::make_unique<MainWindow>();
    RunSetup run = RunSetup::production();
    run.configsUrl = svc.url(ConfigPath);
    run.serversUrl = svc.url(ListPath);
    run.endpointChecks = EndpointChecks(tests, apis, 1, EndpointChecks::NoAnswerMsecs);
    run.shell = setup.contains("shell") ? dir.filePath(setup.value("shell").toString()) : QString();
    window->setRunSetup(run);
    window->show();
    QCOMPARE(look(window.get()) << window->windowTitle(),
             (QStringList{ "Start to Test your internet speed", "Start Test", "bar hidden",
                           "export disabled", "Orvana Speed Test" }));
    QVERIFY(window->minimumSize() == QSize(320, 182) && window->maximumSize() == QSize(320, 182));
    QVERIFY(!(window->windowFlags() & Qt::WindowMaximizeButtonHint));
    auto *start = window->findChild<QPushButton *>("button_start");

    // The stages wait in nested event loops, where only a timer reaches
    // them: it ends the first run where the row says.
    bool acted = false;
    int requestsAtAct = 0;
    QByteArray atAct;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        const bool there = catchAt.startsWith('/')
                ? svc.requests.contains(catchAt)
                : dir.read(Log).contains(catchAt.mid(5).toLatin1() + ' ');
        if (acted || window->findChild<QLabel *>("label_message")->text() != label || !there)
            return;
        acted = true;
        poll.stop();
        atAct = dir.read(Log);
        requestsAtAct = svc.requests.size();
        if (clicks.first() == "close") {
            window->close();
            return;
        }
        QTest::mouseClick(start, Qt::LeftButton);
        const QStringList state = look(window.get()) << dir.read(Log);
        // At once, while the cancelled stage may still wait below.
        if (clicks.size() > 1)
            QTest::mouseClick(start, Qt::LeftButton);
        serve({});
        QFile::remove("hold-ping"), QFile::remove("hold-" + Trace);
        // The held request fails at last: a cancelled run's stage goes on under the new run, or
        // ends.
        for (QTcpSocket *socket : svc.findChildren<QTcpSocket *>()) {
            if (socket->state() == QAbstractSocket::ConnectedState)
                socket->write(
                        "HTTP/1.1 500 Held\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"),
                        socket->disconnectFromHost();
        }
        // A file new to run 2 first: an identical result text is never written twice in a row,
        // across runs too.
        entries.prepend(svc.url("/c.bin"));
        QVERIFY(dir.write("downloadConfig.txt", entries.join('\n').toUtf8()));
        QCOMPARE(state,
                 (QStringList{ "Start to test your internet speed", "Start Test", "bar hidden",
                               "export disabled", atAct + CancelMarker }));
    });
    if (!clicks.isEmpty())
        poll.start(5);

    if (clicks == QStringList{ "close" }) {
        // The tool's own event loop: closing the only window ends it, and
        // with it every nested wait.
        QTimer::singleShot(0, start, [start] { QTest::mouseClick(start, Qt::LeftButton); });
        bool timedOut = false;
        QTimer::singleShot(scaled(10000), &poll,
                           [&timedOut] { timedOut = true, QCoreApplication::quit(); });
        QCoreApplication::exec();
        QVERIFY2(acted && !timedOut, "the event loop did not end with the window");
        window.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (catchAt.startsWith("hold-")) {
            QFile::remove(catchAt);
#ifdef Q_OS_WIN
            QVERIFY(QFile::exists(catchAt.mid(5) + ".running"));
            QTRY_VERIFY_WITH_TIMEOUT(standInEnded(catchAt.mid(5)), scaled(5000));
#else
            const QString pid = QString::fromLatin1(dir.read("pid-" + catchAt.mid(5))).trimmed();
            QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists("/proc/" + pid + "/stat")
                                             || dir.read("/proc/" + pid + "/stat").contains(") Z "),
                                     scaled(5000)); // gone, or a zombie
#endif
        }
        QCOMPARE(dir.read(Log), atAct);
        QCOMPARE(svc.requests.size(), requestsAtAct);
        return;
    }

    QTest::mouseClick(start, Qt::LeftButton);
    QByteArray before;
    if (clicks.isEmpty()) {
        QCOMPARE(look(window.get()),
                 (QStringList{ "Checking download...", "Cancel", "bar shown", "export disabled" }));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(acted, scaled(10000));
        before = atAct + after.toUtf8();
        if (clicks.size() == 1) {
            QTRY_VERIFY2_WITH_TIMEOUT(dir.read(Log) == before, dir.read(Log).right(300).constData(),
                                      scaled(5000));
            QTest::mouseClick(start, Qt::LeftButton);
        }
    }
    QTRY_COMPARE_WITH_TIMEOUT(look(window.get()),
                              (QStringList{ done, "Start Test", "bar hidden", "export enabled" }),
                              scaled(15000));
    if (speedTest.isEmpty())
        return;

    // The run that completes follows the cancel marker at once and is whole:
    // nothing of the first run came after the marker.
    QString report = speedTest + Separator;
    for (const QString &file : entries)
        report += Separator + "\\nfile: " + esc(file) + ", speed [0-9.e+-]+mbps\\n \\n";
    report += shells + FinishMarker;
    for (const QString &url : tests)
        report += "download file done from " + esc(url) + " in \\d+ ms \\n";
    report += "query API done from " + esc(apis.at(0)) + " in \\d+ ms \\nquery API fail from "
            + esc(apis.at(1)) + " failed \\n";
    const QByteArray log = dir.read(Log);
    QVERIFY2(log.startsWith(before), log.constData());
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(report))
                     .match(QString::fromLocal8Bit(log.mid(before.size())))
                     .hasMatch(),
             log.constData());
}

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
