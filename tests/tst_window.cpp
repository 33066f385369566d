#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include <csignal>
#include <memory>

#include "LocalService.h"
#include "MainWindow.h"
#include "QuitSignals.h"
#include "RunSetup.h"
#include "ServerCache.h"
#include "StandIns.h"
#include "WorkDir.h"

namespace {
const QString Log = QStringLiteral("Linkometer.log");
#ifdef Q_OS_WIN // what the stand-in program (StandIn.cpp) and cmd print
const QString Trace = "tracert", Ping = "ping \\[-n\\]\\[4\\]\\[127\\.0\\.0\\.1\\]\\n",
              Traced = "tracert \\[127\\.0\\.0\\.1\\]\\n", NoFile;
#else
const QString Trace = "traceroute", Ping = "ping -c 4 -- 127\\.0\\.0\\.1\\n",
              Traced = "traceroute -- 127\\.0\\.0\\.1\\n", NoFile = "No such file or directory";
#endif
// The Unix stand-ins for ping and traceroute: they print their arguments,
// then wait while hold-<name> exists; "stubborn" makes them ignore SIGTERM.
const QByteArray Script = "name=${0##*/}\necho $$ >pid-$name\n[ -f stubborn ] && trap '' TERM\n"
                          "echo \"$name $*\"\n[ -f hold-$name ] || exit 0\nwhile [ -f hold-$name "
                          "]; do sleep 0.02; done\n"
                          "echo $name after hold\n";

const QString SpeedTest =
        "Test time: \\d{4}(-\\d\\d){5}-\\d{3} \\nISP: Acme Net \\nServer: Sponsor S "
        "\\(S\\) \\nLatency: \\d+ms \\nDowload: [0-9.e+-]+mbps \\nLoss: not "
        "available \\n";
// Every stage after the speed test; <files> stands for one part per file.
const QString Stages = "={54}\\n<files><ping>={54}\\n<trace>={27}finn={27}\\n"
                       "download file done from <svc>/t1 in \\d+ ms \\n"
                       "download file done from <svc>/t2 in \\d+ ms \\n"
                       "download file done from <svc>/t3 in \\d+ ms \\n"
                       "download file done from <svc>/t4 in \\d+ ms \\n"
                       "query API done from <svc>/orvana-admin/network/test in \\d+ ms \\n"
                       "query API fail from <svc>/network/test failed \\n";

QByteArray report()
{
    QFile file(Log); // a device (a full disk) reads as nothing
    return QFileInfo(Log).isFile() && file.open(QIODevice::ReadOnly) ? file.readAll()
                                                                     : QByteArray();
}

// Whether the stand-in held by the file hold has ended (or never ran).
bool ended(const QString &hold)
{
#ifdef Q_OS_WIN
    return standInEnded(hold.mid(5));
#else
    QFile pidFile("pid-" + hold.mid(5));
    const QString pid =
            pidFile.open(QIODevice::ReadOnly) ? QString(pidFile.readAll().trimmed()) : "";
    QFile stat("/proc/" + pid + "/stat");
    return pid.isEmpty() || !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
#endif
}

bool started(const QString &hold)
{
#ifdef Q_OS_WIN
    return QFile::exists(hold.mid(5) + ".running");
#else
    return QFile::exists("pid-" + hold.mid(5));
#endif
}

// The real window against one local service that stands in for the
// speed-test host, its test server, the file hosts and the endpoints, in the
// working directory; faults: routes served otherwise, the stages' "shell",
// a "folder" or a "link" to /dev/full at a name.
struct Rig
{
    explicit Rig(const QVariantMap &faults = {})
        : faults(faults), window(std::make_unique<MainWindow>())
    {
        // A server list cache of its own, so every run fetches the list.
        qputenv("XDG_CACHE_HOME", QDir::current().filePath("cache").toLocal8Bit());
        QFile::remove(ServerCache::filePath(ServerCache::cacheDirectory()));
        write("ipconfig.txt", "127.0.0.1\n");
        write("downloadConfig.txt", svc.url("/a.bin") + "\n  \n" + svc.url("/b.bin") + "\n");
        QDir().mkdir(faults.value("folder").toString());
        QFile::link("/dev/full", faults.value("link").toString());
        serve();
        // The test server's connections end early: here the speed test only
        // has to be quick.
        svc.download = Behaviour::CloseEarly;
        RunSetup run = RunSetup::production();
        run.configsUrl = svc.url(ConfigPath);
        run.serversUrl = svc.url(ListPath);
        run.endpointChecks =
                EndpointChecks({ svc.url("/t1"), svc.url("/t2"), svc.url("/t3"), svc.url("/t4") },
                               { svc.url("/orvana-admin/network/test"), svc.url("/network/test") },
                               1, EndpointChecks::NoAnswerMsecs);
        run.shell = faults.value("shell").toString();
        window->setRunSetup(run);
        window->show();
    }
    static void write(const QString &name, const QString &text)
    {
        QFile file(name);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) == text.size());
    }
    void serve()
    {
        svc.route(ConfigPath,
                  faults.value(ConfigPath, configDocument("1", "2", "2")).toByteArray());
        svc.route(ListPath,
                  faults.value(ListPath, serverListDocument({ { &svc, 52.5, 13.4, "S" } }))
                          .toByteArray());
        svc.route(LatencyPath, "test=test");
        svc.route("/a.bin", Route{ 200, {}, {}, 300 * 1024 });
        svc.route("/b.bin", "small file");
        svc.route("/c.bin", "c");
        for (const char *path : { "/t1", "/t2", "/t3", "/t4" })
            svc.route(path + QStringLiteral("/response.json"), "{}");
        svc.route("/orvana-admin/network/test", "{}");
        // "/network/test" is not served: that endpoint fails.
    }
    void click()
    {
        QTest::mouseClick(window->findChild<QPushButton *>("button_start"), Qt::LeftButton);
    }
    QStringList look() const
    {
        return { window->findChild<QLabel *>("label_message")->text(),
                 window->findChild<QPushButton *>("button_start")->text(),
                 window->findChild<QProgressBar *>("bar_prpgress")->isHidden() ? "" : "busy",
                 window->findChild<QPushButton *>("button_export")->isEnabled() ? "export" : "" };
    }
    // Whether the report from its start is pattern, with <svc> the service's
    // address and <files> the download parts of the named files.
    bool matches(const QString &pattern, const QStringList &files)
    {
        QString parts;
        for (const QString &file : files)
            parts += "={54}\\n\\nfile: <svc>/" + file + "\\.bin, speed [0-9.e+-]+mbps\\n \\n";
        const QString whole = QString(pattern)
                                      .replace("<files>", parts)
                                      .replace("<ping>", Ping)
                                      .replace("<trace>", Traced)
                                      .replace("<svc>", esc(svc.url()));
        return QRegularExpression(QRegularExpression::anchoredPattern(whole))
                .match(QString::fromLocal8Bit(report()))
                .hasMatch();
    }
    // The stages wait in nested event loops, where only a timer reaches them:
    // act runs once the run shows label and has reached the held route or
    // the stand-in held by the file hold.
    void catchRun(const QString &route, const QString &hold, const QString &label,
                  const std::function<void()> &act)
    {
        svc.route(route, QByteArray(), Behaviour::Silent);
        QFile(hold).open(QIODevice::WriteOnly); // no file for no name
        write("stubborn", "");
        QObject::connect(&poll, &QTimer::timeout, [=] {
            if (look().constFirst() == label && (svc.requests.contains(route) || started(hold)))
                poll.stop(), atAct = report(), act();
        });
        poll.start(5);
    }
    // Held requests fail at last: a cancelled stage goes on, or ends.
    void release()
    {
        serve();
        for (QTcpSocket *socket : svc.findChildren<QTcpSocket *>()) {
            if (socket->state() == QAbstractSocket::ConnectedState)
                socket->write(
                        "HTTP/1.1 500 Held\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        }
        // A file new to the next run first: an identical result text is
        // never written twice in a row, across runs too.
        write("downloadConfig.txt",
              svc.url("/c.bin") + '\n' + svc.url("/a.bin") + '\n' + svc.url("/b.bin"));
    }

    QVariantMap faults;
    LocalService svc;
    std::unique_ptr<MainWindow> window;
    QTimer poll;
    QByteArray atAct;
};

const QStringList Done{ "Finished Test. Export Report to us", "Start Test", "", "export" };
} // namespace

class tst_Window : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
    void cancel_data();
    void cancel();
    void restart_data();
    void restart();
    void close_data();
    void close();
    void killed_data();
    void killed();
};

void tst_Window::run_data()
{
    QTest::addColumn<QVariantMap>("faults");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("log");
    const QString finished = Done.first(), unwritten = "Report could not be written in full";
    const QString time = "Test time: \\d{4}(-\\d\\d){5}-\\d{3} \\n";
    QTest::newRow("complete run") << QVariantMap() << finished << SpeedTest + Stages;
    QTest::newRow("configuration not XML")
            << QVariantMap{ { ConfigPath, "not xml" } } << finished << time + Stages;
    QTest::newRow("no servers") << QVariantMap{ { ListPath, "<settings><servers/></settings>" } }
                                << finished
                                << time + "ISP: Acme Net \\nServer:  \\(\\) \\nLatency: -1ms \\n"
                    + Stages;
    QTest::newRow("shell that cannot start")
            << QVariantMap{ { "shell", "missing/sh" } } << finished
            << SpeedTest + "={54}\\n<files>ping could not start: [^\\n]*" + NoFile
                    + " \\n={54}\\ntracert could not start: [^\\n]*" + NoFile
                    + " \\n={27}finn={27}\\n" + QString(Stages).section("finn={27}\\n", 1);
    QTest::newRow("folder at the report's name")
            << QVariantMap{ { "folder", Log } } << unwritten << "";
#ifndef Q_OS_WIN
    QTest::newRow("report on a full disk") << QVariantMap{ { "link", Log } } << unwritten << "";
#endif
}

void tst_Window::run()
{
    QFETCH(QVariantMap, faults);
    QFETCH(QString, label);
    QFETCH(QString, log);
    WorkDir dir;
    StandIns standIns(Script);
    Rig rig(faults);
    QCOMPARE(rig.look() << rig.window->windowTitle(),
             (QStringList{ "Start to Test your internet speed", "Start Test", "", "",
                           "Orvana Speed Test" }));
    rig.click();
    QCOMPARE(rig.look(), (QStringList{ "Checking download...", "Cancel", "busy", "" }));
    QTRY_COMPARE_WITH_TIMEOUT(rig.look(), (QStringList{ label, "Start Test", "", "export" }),
                              scaled(15000));
    QVERIFY2(rig.matches(log, { "a", "b" }), report());
}

void tst_Window::cancel_data()
{
    QTest::addColumn<QString>("route");
    QTest::addColumn<QString>("hold");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("after");
    const QString download = "Checking download...", tracert = "Checking tracert...";
    QTest::newRow("speed test") << ListPath << "" << download << "";
    QTest::newRow("first download") << "/a.bin"
                                    << "" << download << "";
    QTest::newRow("ping") << ""
                          << "hold-ping"
                          << "Checking ping..."
                          << "";
    QTest::newRow("tracert") << ""
                             << "hold-" + Trace << tracert << "";
    // The probe under way still ends and writes its line.
    QTest::newRow("endpoint checks")
            << "/t2/response.json"
            << "" << tracert << "download file fail from <svc>/t2 failed \\n";
}

// Cancel ends the stage at once, its command too, and the next Start runs a
// whole new run after the cancel marker.
void tst_Window::cancel()
{
    QFETCH(QString, route);
    QFETCH(QString, hold);
    QFETCH(QString, label);
    QFETCH(QString, after);
    WorkDir dir;
    StandIns standIns(Script);
    Rig rig;
    QStringList atCancel;
    rig.catchRun(route, hold, label, [&] {
        rig.click();
        atCancel = rig.look() << report();
        rig.release();
    });
    rig.click();
    QTRY_VERIFY_WITH_TIMEOUT(!atCancel.isEmpty(), scaled(10000));
    QCOMPARE(atCancel,
             (QStringList{ "Start to test your internet speed", "Start Test", "", "",
                           rig.atAct + CancelMarker }));
    QTRY_VERIFY(ended(hold));
    QFile::remove(hold);
    const QString before = esc(rig.atAct + CancelMarker);
    QTRY_VERIFY(rig.matches(before + after, {}));
    rig.click();
    QTRY_COMPARE_WITH_TIMEOUT(rig.look(), Done, scaled(15000));
    QVERIFY2(rig.matches(before + after + SpeedTest + Stages, { "c", "a", "b" }), report());
}

void tst_Window::restart_data()
{
    QTest::addColumn<QString>("route");
    QTest::addColumn<QString>("hold");
    QTest::addColumn<QString>("label");
    const QString download = "Checking download...";
    QTest::newRow("second download") << "/b.bin"
                                     << "" << download;
    QTest::newRow("endpoint checks") << "/t2/response.json"
                                     << ""
                                     << "Checking tracert...";
    // The cancelled run's ping ignores the request to end.
    QTest::newRow("stubborn ping") << ""
                                   << "hold-ping"
                                   << "Checking ping...";
}

// Cancel and Start at once, while the cancelled stage still waits: nothing of
// the cancelled run comes after the cancel marker.
void tst_Window::restart()
{
    QFETCH(QString, route);
    QFETCH(QString, hold);
    QFETCH(QString, label);
    WorkDir dir;
    StandIns standIns(Script);
    Rig rig;
    rig.catchRun(route, hold, label, [&] {
        rig.click();
        rig.click();
        QFile::remove(hold);
        rig.release();
    });
    rig.click();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.atAct.isEmpty(), scaled(10000));
    QTRY_COMPARE_WITH_TIMEOUT(rig.look(), Done, scaled(15000));
    QVERIFY2(rig.matches(esc(rig.atAct + CancelMarker) + SpeedTest + Stages, { "c", "a", "b" }),
             report());
}

void tst_Window::close_data()
{
    restart_data();
    QTest::newRow("stubborn tracert") << ""
                                      << "hold-" + Trace << "Checking tracert...";
}

// Closing the window mid-run ends the tool's event loop, and with it every
// wait; nothing the run started goes on.
void tst_Window::close()
{
    QFETCH(QString, route);
    QFETCH(QString, hold);
    QFETCH(QString, label);
    WorkDir dir;
    StandIns standIns(Script);
    Rig rig;
    int requests = -1;
    rig.catchRun(route, hold, label, [&] {
        requests = rig.svc.requests.size();
        rig.window->close();
    });
    QTimer::singleShot(0, [&] { rig.click(); });
    QTimer::singleShot(scaled(10000), &rig.poll, QCoreApplication::quit);
    QCoreApplication::exec();
    QVERIFY(requests >= 0);
    rig.window.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QFile::remove(hold);
    QTRY_VERIFY(ended(hold));
    QCOMPARE(report(), rig.atAct);
    QCOMPARE(rig.svc.requests.size(), requests);
}

void tst_Window::killed_data()
{
    QTest::addColumn<int>("sig");
    QTest::newRow("killed") << int(SIGKILL);
    QTest::newRow("terminated") << int(SIGTERM);
}

// However the tool ends, nothing it started writes on into the report: here
// it runs in a child, held in its trace stage, and is ended by a signal.
void tst_Window::killed()
{
#ifdef Q_OS_WIN
    QSKIP("The job object ends a Windows tool's commands with the tool");
#else
    QFETCH(int, sig);
    WorkDir dir;
    StandIns standIns(Script);
    Rig::write("hold-" + Trace, "");
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), { "child" });
    QTRY_VERIFY_WITH_TIMEOUT(report().contains(Trace.toLatin1() + " -- "), scaled(15000));
    const QByteArray atKill = report();
    ::kill(pid_t(child.processId()), sig);
    QTRY_VERIFY(ended("hold-" + Trace));
    QFile::remove("hold-" + Trace);
    QTRY_COMPARE(child.state(), QProcess::NotRunning);
    QCOMPARE(report(), atKill);
#endif
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    // The child of killed(): a whole run in the working directory.
    if (app.arguments().value(1) == "child") {
        Rig rig;
        closeOnQuitSignals(rig.window.get());
        rig.click();
        return QCoreApplication::exec();
    }
    tst_Window test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_window.moc"
