#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include <csignal>
#include <memory>

#include "Columns.h"
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
// The Unix stand-ins for ping and traceroute, as the Windows one: they print
// their arguments, then wait while hold-<name> exists, <name>.running
// telling that they run; they ignore SIGTERM, so only the kill that follows
// a grace time ends them.
const QByteArray Script = "name=${0##*/}\necho $$ >$name.running\ntrap '' TERM\n"
                          "echo \"$name $*\"\n[ -f hold-$name ] || exit 0\n"
                          "while [ -f hold-$name ]; do sleep 0.02; done\necho $name after hold\n";

// A whole run's report, with <svc> the local service's address.
const QString SpeedTest =
        "Test time: \\d{4}(-\\d\\d){5}-\\d{3} \\nISP: Acme Net \\nServer: Sponsor S "
        "\\(S\\) \\nLatency: \\d+ms \\nDowload: [0-9.e+-]+mbps \\nLoss: not "
        "available \\n";
const QString Stages = "={54}\\n"
                       "={54}\\n\\nfile: <svc>/c\\.bin, speed (0\\.0*)?[1-9][0-9.e-]*mbps\\n \\n"
                       "={54}\\n\\nfile: <svc>/a\\.bin, speed (0\\.0*)?[1-9][0-9.e-]*mbps\\n \\n"
                       "={54}\\n\\nfile: <svc>/b\\.bin, speed (0\\.0*)?[1-9][0-9.e-]*mbps\\n \\n"
                       "<ping>={54}\\n<trace>={27}finn={27}\\n"
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

// Whether the stand-in held by the file hold-<name> has ended, or never ran.
bool ended(const QString &hold)
{
#ifdef Q_OS_WIN
    return standInEnded(hold.mid(5));
#else
    QFile pidFile(hold.mid(5) + ".running"); // empty while it starts: not yet ran
    pidFile.open(QIODevice::ReadOnly);
    QFile stat("/proc/" + QString::number(pidFile.readAll().trimmed().toInt()) + "/stat");
    return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
#endif
}

// The real window against one local service that stands in for the
// speed-test host, its test server, the file hosts and the endpoints, in the
// working directory. faults: routes served otherwise, the stages' "shell", a
// "folder" or a link to a "full" disk at a name.
struct Rig
{
    Rig(const QVariantMap &faults = {}) : window(std::make_unique<MainWindow>())
    {
        // A server list cache of its own, emptied, so every run fetches the list (Windows keeps
        // it in the test program's own folder of the user's, whatever the variable says).
        qputenv("XDG_CACHE_HOME", QDir::current().filePath("cache").toLocal8Bit());
        QDir(ServerCache::cacheDirectory()).removeRecursively();
        WorkDir::write("ipconfig.txt", "127.0.0.1\n");
        WorkDir::write("downloadConfig.txt",
                       (svc.url("/c.bin") + "\n  \n" + svc.url("/a.bin") + '\n' + svc.url("/b.bin"))
                               .toUtf8());
        QDir().mkdir(faults.value("folder").toString());
        QFile::link("/dev/full", faults.value("full").toString());
        serve();
        for (auto fault = faults.cbegin(); fault != faults.cend(); ++fault)
            svc.route(fault.key(), fault.value().toByteArray());
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
    void serve()
    {
        svc.route(ConfigPath, configDocument());
        svc.route(ListPath, serverListDocument({ { &svc, 52.5, 13.4, "S" } }));
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
    bool matches(const QString &pattern)
    {
        const QString whole = QString(pattern)
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
        svc.requests.clear();
        WorkDir::write(hold, ""); // no file for no name
        QFile::remove(hold.mid(5) + ".running");
        poll.disconnect();
        QObject::connect(&poll, &QTimer::timeout, [=] {
            if (look().constFirst() == label
                && (svc.requests.contains(route) || QFile::exists(hold.mid(5) + ".running")))
                poll.stop(), atAct = report(), act();
        });
        poll.start(5);
    }
    // Held requests fail at last: a cancelled stage goes on, or ends.
    void release()
    {
        serve();
        // (A request whose connection just closes, Qt sends once more.)
        for (QTcpSocket *socket : svc.findChildren<QTcpSocket *>())
            socket->write("HTTP/1.1 500 Held\r\nContent-Length: 0\r\n\r\n");
    }

    StandIns standIns{ Script };
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
    void killed_data();
    void killed();
};

void tst_Window::run_data()
{
    columns<QVariantMap, QString, QString>("faults", "label", "log");
    const QString finished = Done.first(), unwritten = "Report could not be written in full";
    QTest::newRow("complete run") << QVariantMap() << finished << SpeedTest + Stages;
    QTest::newRow("configuration not XML") << QVariantMap{ { ConfigPath, "not xml" } } << finished
                                           << "Test time: [-0-9]+ \\n" + Stages;
    QTest::newRow("shell that cannot start")
            << QVariantMap{ { "shell", "missing/sh" } } << finished
            << QString(SpeedTest + Stages)
                       .replace("<ping>", "ping could not start: [^\\n]*" + NoFile + " \\n")
                       .replace("<trace>", "tracert could not start: [^\\n]*" + NoFile + " \\n");
    QTest::newRow("folder at the report's name")
            << QVariantMap{ { "folder", Log } } << unwritten << "";
#ifndef Q_OS_WIN
    QTest::newRow("report on a full disk") << QVariantMap{ { "full", Log } } << unwritten << "";
#endif
}

void tst_Window::run()
{
    QFETCH(QVariantMap, faults);
    QFETCH(QString, label);
    QFETCH(QString, log);
    WorkDir dir;
    Rig rig(faults);
    QCOMPARE(rig.look() << rig.window->windowTitle(),
             (QStringList{ "Start to Test your internet speed", "Start Test", "", "",
                           "Orvana Speed Test" }));
    rig.click();
    QCOMPARE(rig.look(), (QStringList{ "Checking download...", "Cancel", "busy", "" }));
    QTRY_COMPARE_WITH_TIMEOUT(rig.look(), (QStringList{ label, "Start Test", "", "export" }),
                              scaled(15000));
    QVERIFY2(rig.matches(log), report());
    rig.click(); // the next run
    QCOMPARE(rig.look(), (QStringList{ "Checking download...", "Cancel", "busy", "export" }));
}

void tst_Window::cancel_data()
{
    columns<QString, QString, QString, QString>("route", "hold", "label", "after");
    const QString download = "Checking download...", tracert = "Checking tracert...";
    QTest::newRow("speed test") << ListPath << "" << download << "";
    QTest::newRow("first download") << "/c.bin"
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

// Cancel ends the stage at once, its command too. Then Cancel and Start at
// once at the same point, while the cancelled stage may still wait: nothing
// of a cancelled run comes after its cancel marker.
void tst_Window::cancel()
{
    QFETCH(QString, route);
    QFETCH(QString, hold);
    QFETCH(QString, label);
    QFETCH(QString, after);
    WorkDir dir;
    Rig rig;
    rig.catchRun(route, hold, label, [&] {
        rig.click();
        rig.release();
    });
    rig.click();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.atAct.isEmpty(), scaled(10000));
    QCOMPARE(rig.look(),
             (QStringList{ "Start to test your internet speed", "Start Test", "", "" }));
    QTRY_VERIFY(ended(hold));
    QTRY_VERIFY(rig.matches(esc(rig.atAct + CancelMarker) + after));

    rig.catchRun(route, hold, label, [&] {
        rig.click();
        rig.click();
        QFile::remove(hold);
        rig.release();
    });
    rig.click();
    QTRY_COMPARE_WITH_TIMEOUT(rig.look(), Done, scaled(15000));
    QVERIFY2(rig.matches(esc(rig.atAct + CancelMarker) + SpeedTest + Stages), report());
}

void tst_Window::killed_data()
{
    columns<int, QString>("sig", "hold");
#ifndef Q_OS_WIN // the job object ends a Windows tool's commands with the tool
    QTest::newRow("killed in tracert") << int(SIGKILL) << "hold-" + Trace;
    QTest::newRow("terminated in ping") << int(SIGTERM) << "hold-ping";
#endif
}

// However the tool ends, nothing it started goes on writing into the report:
// here it runs in a child, its stand-in held until a signal ends the tool.
void tst_Window::killed()
{
#ifndef Q_OS_WIN
    QFETCH(int, sig);
    QFETCH(QString, hold);
    WorkDir dir;
    WorkDir::write(hold, "");
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), { "child" });
    QTRY_VERIFY_WITH_TIMEOUT(report().contains(hold.mid(5).toLatin1()), scaled(15000));
    const QByteArray atKill = report();
    ::kill(pid_t(child.processId()), sig);
    QTRY_VERIFY(ended(hold));
    QFile::remove(hold);
    QTRY_COMPARE(child.state(), QProcess::NotRunning);
    // Ended by its own hand, it ended cleanly (a sanitizer's finding fails it).
    QVERIFY(child.exitStatus() == QProcess::CrashExit || child.exitCode() == 0);
    QCOMPARE(report(), atKill);
#endif
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
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
