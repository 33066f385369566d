#include <QElapsedTimer>
#include <QLabel>
#include <QNetworkReply>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

#include <functional>
#include <memory>

#include "HttpFileServer.h"
#include "MainWindow.h"
#include "ReportLog.h"
#include "RunSetup.h"
#include "SpeedTestService.h"
#include "WorkDir.h"

namespace {

const QByteArray Separator(ReportLog::SeparatorLine);
const QByteArray Finish(ReportLog::FinishMarker);
const QByteArray Cancel(ReportLog::CancelMarker);

// Drives a window from inside whatever event loop is running, including the
// nested ones of the stages: each step waits for its condition, then acts.
// It also records every text the status label shows.
class Script : public QObject
{
public:
    struct Step
    {
        std::function<bool()> when;
        std::function<void()> act;
    };

    Script(QLabel *label, QObject *parent = nullptr)
        : QObject(parent),
          m_label(label)
    {
        m_timer.setInterval(1);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
        m_timer.start();
    }

    void then(std::function<bool()> when, std::function<void()> act)
    {
        m_steps.append({std::move(when), std::move(act)});
    }
    bool done() const { return m_next >= m_steps.size(); }
    QStringList labels() const { return m_labels; }

private:
    void poll()
    {
        const QString text = m_label ? m_label->text() : QString();
        if (m_label && (m_labels.isEmpty() || m_labels.last() != text))
            m_labels << text;
        if (m_next < m_steps.size() && m_steps.at(m_next).when()) {
            // Advance first: the action may run a nested loop that polls again.
            const Step step = m_steps.at(m_next++);
            step.act();
        }
    }

    QPointer<QLabel> m_label;
    QTimer m_timer;
    QVector<Step> m_steps;
    int m_next = 0;
    QStringList m_labels;
};

// Runs an action once, just before the deferred deletion of the first reply
// for a path is carried out: the moment the speed-test client reads the
// body of its configuration.
class BeforeReplyDeletion : public QObject
{
public:
    BeforeReplyDeletion(const QString &path, std::function<void()> act)
        : m_path(path),
          m_act(std::move(act))
    {
        qApp->installEventFilter(this);
    }
    bool done() const { return m_done; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!m_done && event->type() == QEvent::DeferredDelete) {
            const auto *reply = qobject_cast<QNetworkReply *>(watched);
            if (reply && reply->url().path() == m_path) {
                m_done = true;
                m_act();
            }
        }
        return false;
    }

private:
    QString m_path;
    std::function<void()> m_act;
    bool m_done = false;
};

} // namespace

// Whole runs through the real window against local services: the speed-test
// service, a file server, endpoints, and real shell stages.
class tst_DiagnosticSequence : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void productionSetup();
    void completeRun();
    void emptyDownloadListAndNoHostList();
    void cancelInEachStage_data();
    void cancelInEachStage();
    void cancelThenStartAtOnce();
    void cancelWhileConfigurationIsRead_data();
    void cancelWhileConfigurationIsRead();
    void staleChildOfCancelledRunIsEnded();
    void closeDuringStage_data();
    void closeDuringStage();

private:
    void makeWindow();
    QPushButton *startButton() const;
    QPushButton *exportButton() const;
    QLabel *label() const;
    QProgressBar *bar() const;
    QByteArray report() const;
    void writeFakeCommands(const QString &slow);
    void clickStart();

    std::unique_ptr<WorkDir> m_dir;
    std::unique_ptr<SpeedTestService> m_speed;
    std::unique_ptr<HttpFileServer> m_files;
    std::unique_ptr<HttpFileServer> m_endpoints;
    std::unique_ptr<MainWindow> m_window;
    QByteArray m_savedPath;
};

void tst_DiagnosticSequence::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    QStandardPaths::setTestModeEnabled(true);
    m_savedPath = qgetenv("PATH");
}

void tst_DiagnosticSequence::init()
{
    qputenv("PATH", m_savedPath);
    // The server list cache is the engine's business; every run fetches.
    const QString cache =
        QStandardPaths::standardLocations(QStandardPaths::CacheLocation).value(0)
        + "/kavimeter/servers.json";
    QFile::remove(cache);

    m_dir.reset(new WorkDir);
    QVERIFY(m_dir->isValid());

    m_speed.reset(new SpeedTestService);
    QVERIFY(m_speed->start());
    m_speed->setConfigAttribute("download", "testlength", "1");
    m_speed->setConfigAttribute("download", "threadsperurl", "2");
    m_speed->setConfigAttribute("latency", "timeout", "2");
    QVERIFY(m_speed->addTestServer(52.0, 13.0) >= 0);
    QVERIFY(m_speed->addTestServer(10.0, 10.0) >= 0);

    m_files.reset(new HttpFileServer);
    QVERIFY(m_files->listenHttp());
    HttpRoute small;
    small.generatedSize = 64 * 1024;
    m_files->setRoute("/a.bin", small);
    HttpRoute larger;
    larger.generatedSize = 256 * 1024;
    m_files->setRoute("/b.bin", larger);

    m_endpoints.reset(new HttpFileServer);
    QVERIFY(m_endpoints->listenHttp());
    HttpRoute ok;
    ok.body = "{}";
    m_endpoints->setRoute("/test/response.json", ok);
    m_endpoints->setRoute("/orvana-admin/network/test", ok);
    // "/network/test" is not served: that endpoint fails.

    makeWindow();
}

void tst_DiagnosticSequence::cleanup()
{
    m_window.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_endpoints.reset();
    m_files.reset();
    m_speed.reset();
    m_dir.reset();
    qputenv("PATH", m_savedPath);
}

void tst_DiagnosticSequence::makeWindow()
{
    m_window.reset(new MainWindow);
    RunSetup setup = RunSetup::production();
    setup.configsUrl = m_speed->configUrl();
    setup.serversUrl = m_speed->serversUrl();
    const QString test = m_endpoints->url("/test");
    setup.endpointChecks = EndpointChecks({test, test, test, test},
                                          {m_endpoints->url("/orvana-admin/network/test"),
                                           m_endpoints->url("/network/test")},
                                          10, 5000);
    setup.downloadNoDataMsecs = 5000;
    m_window->setRunSetup(setup);
    m_window->show();
}

QPushButton *tst_DiagnosticSequence::startButton() const
{
    return m_window->findChild<QPushButton *>("button_start");
}

QPushButton *tst_DiagnosticSequence::exportButton() const
{
    return m_window->findChild<QPushButton *>("button_export");
}

QLabel *tst_DiagnosticSequence::label() const
{
    return m_window->findChild<QLabel *>("label_message");
}

QProgressBar *tst_DiagnosticSequence::bar() const
{
    return m_window->findChild<QProgressBar *>("bar_prpgress");
}

QByteArray tst_DiagnosticSequence::report() const
{
    return m_dir->read("Linkometer.log");
}

void tst_DiagnosticSequence::clickStart()
{
    QTest::mouseClick(startButton(), Qt::LeftButton);
}

// Stand-in ping and traceroute earlier on PATH: they print a first line at
// once and, the one named slow, a last one after a long sleep, so a stage
// can be caught while it runs and a host command that outlives Cancel shows
// in the report.
void tst_DiagnosticSequence::writeFakeCommands(const QString &slow)
{
    QVERIFY(m_dir->write("slow-" + slow, ""));
    QVERIFY(QDir().mkpath(m_dir->filePath("bin")));
    for (const char *name : {"ping", "traceroute"}) {
        QFile script(m_dir->filePath(QStringLiteral("bin/") + QLatin1String(name)));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(QByteArray("#!/bin/sh\n"
                                "[ -f stubborn ] && trap '' TERM\n"
                                "echo \"fake ") + name + " start\"\n"
                     "[ -f slow-" + name + " ] && sleep 20\n"
                     "echo \"fake " + name + " end\"\n");
        script.close();
        QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    qputenv("PATH", m_dir->filePath("bin").toLocal8Bit() + ":" + m_savedPath);
}

void tst_DiagnosticSequence::productionSetup()
{
    const RunSetup setup = RunSetup::production();
    QVERIFY(setup.configsUrl.isEmpty());
    QVERIFY(setup.serversUrl.isEmpty());
    QCOMPARE(setup.endpointChecks.pauseMsecs(), 1000);
    QCOMPARE(setup.endpointChecks.testUrls().size(), 4);
    QCOMPARE(setup.endpointChecks.apiEndpoints().size(), 2);
    QCOMPARE(setup.endpointChecks.testUrls(), EndpointChecks().testUrls());
    QCOMPARE(setup.endpointChecks.apiEndpoints(), EndpointChecks().apiEndpoints());
    QCOMPARE(setup.downloadNoDataMsecs, 60000);
}

void tst_DiagnosticSequence::completeRun()
{
    QVERIFY(m_dir->write("downloadConfig.txt",
                         (m_files->url("/a.bin") + "\n\n  " + m_files->url("/b.bin") + "  \n").toUtf8()));
    QVERIFY(m_dir->write("ipconfig.txt", "127.0.0.1\n"));

    Script script(label());
    clickStart();
    QCOMPARE(startButton()->text(), QStringLiteral("Cancel"));
    QVERIFY(bar()->isVisible());
    QCOMPARE(label()->text(), QStringLiteral("Checking download..."));
    QVERIFY(!exportButton()->isEnabled());

    QTRY_COMPARE_WITH_TIMEOUT(label()->text(), QStringLiteral("Finished Test. Export Report to us"),
                              60000);
    QCOMPARE(startButton()->text(), QStringLiteral("Start Test"));
    QVERIFY(exportButton()->isEnabled());
    QVERIFY(bar()->isHidden());
    QCOMPARE(script.labels().join('|'),
             QStringList({"Checking download...", "Checking ping...", "Checking tracert..."})
                 .join('|'));

    const QByteArray log = report();
    const QRegularExpression head(
        "^Test time: \\d{4}-\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d{3} \\n"
        "ISP: Acme Net \\n"
        "Server: [^\\n]+ \\([^\\n]+\\) \\n"
        "Latency: \\d+ms \\n"
        "Dowload: [0-9.e+-]+mbps \\n"
        "Loss: not available \\n");
    QVERIFY2(head.match(QString::fromLatin1(log)).hasMatch(), log.left(400).constData());

    // The order of a complete run's report.
    const QList<QByteArray> pieces = {
        "Loss: not available \n" + Separator,
        Separator + "\nfile: " + m_files->url("/a.bin").toUtf8() + ", speed ",
        Separator + "\nfile: " + m_files->url("/b.bin").toUtf8() + ", speed ",
        "4 packets transmitted",
        Separator,
        "traceroute to 127.0.0.1",
        Finish,
        "download file done from " + m_endpoints->url("/test").toUtf8() + " in ",
        "query API done from " + m_endpoints->url("/orvana-admin/network/test").toUtf8() + " in ",
        "query API fail from " + m_endpoints->url("/network/test").toUtf8() + " failed \n",
    };
    int at = 0;
    for (const QByteArray &piece : pieces) {
        const int found = log.indexOf(piece, at);
        QVERIFY2(found >= 0, piece.constData());
        at = found + piece.size();
    }
    QCOMPARE(log.count(Separator), 1 + 2 + 1);
    QCOMPARE(log.count("download file done from "), 4);
    QVERIFY(log.endsWith(" failed \n"));
    QVERIFY(!log.contains(Cancel));

    // A second run in the same window makes new objects and appends.
    clickStart();
    QCOMPARE(label()->text(), QStringLiteral("Checking download..."));
    QVERIFY(exportButton()->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(label()->text(), QStringLiteral("Finished Test. Export Report to us"),
                              60000);
    QCOMPARE(report().count("Test time: "), 2);
    QVERIFY(report().startsWith(log));
}

void tst_DiagnosticSequence::emptyDownloadListAndNoHostList()
{
    Script script(label());
    clickStart();
    QTRY_COMPARE_WITH_TIMEOUT(label()->text(), QStringLiteral("Finished Test. Export Report to us"),
                              60000);
    const QByteArray log = report();
    // Straight from the speed test to ping; both shell commands fail at once.
    const int loss = log.indexOf("Loss: not available \n");
    QVERIFY(loss > 0);
    const int afterLoss = loss + int(qstrlen("Loss: not available \n"));
    QCOMPARE(log.mid(afterLoss, 2 * Separator.size() + Finish.size()),
             Separator + Separator + Finish);
    QCOMPARE(log.count("download file "), 4);
    QCOMPARE(log.count("query API "), 2);
    QVERIFY(script.labels().contains("Checking tracert..."));
}

void tst_DiagnosticSequence::cancelInEachStage_data()
{
    QTest::addColumn<QString>("stage");
    QTest::newRow("speed test") << "speed test";
    QTest::newRow("first download") << "first download";
    QTest::newRow("second download") << "second download";
    QTest::newRow("ping") << "ping";
    QTest::newRow("tracert") << "tracert";
    QTest::newRow("endpoint checks") << "endpoint checks";
}

void tst_DiagnosticSequence::cancelInEachStage()
{
    QFETCH(QString, stage);

    writeFakeCommands(stage == "tracert" ? "traceroute" : stage == "ping" ? "ping" : "none");
    QVERIFY(m_dir->write("ipconfig.txt", "127.0.0.1\n"));
    HttpRoute slowFile;
    slowFile.generatedSize = 1024 * 1024;
    slowFile.chunkBytes = 1024;
    slowFile.chunkIntervalMsecs = 20;
    m_files->setRoute("/slow.bin", slowFile);
    QVERIFY(m_dir->write("downloadConfig.txt",
                         (m_files->url(stage == "first download" ? "/slow.bin" : "/a.bin") + "\n"
                          + m_files->url(stage == "second download" ? "/slow.bin" : "/b.bin") + "\n"
                          + m_files->url("/a.bin") + "\n")
                             .toUtf8()));
    if (stage == "speed test") {
        HttpBehaviour slow;
        slow.delayMs = 3000;
        m_speed->setDocumentFault(SpeedTestService::ServersPath, slow);
    }
    if (stage == "endpoint checks") {
        HttpRoute slowOk;
        slowOk.body = "{}";
        slowOk.delayMsecs = 300;
        m_endpoints->setRoute("/test/response.json", slowOk);
    }

    Script script(label());
    int endpointRequests = 0;
    connect(m_endpoints.get(), &HttpFileServer::requestReceived, &script,
            [&endpointRequests] { ++endpointRequests; });
    int slowRequests = 0;
    connect(m_files.get(), &HttpFileServer::requestReceived, &script,
            [&slowRequests](const QString &path) { slowRequests += path == "/slow.bin"; });

    std::function<bool()> when;
    if (stage == "speed test")
        when = [this] { return m_speed->requestCount(SpeedTestService::ServersPath) > 0; };
    else if (stage.endsWith("download"))
        when = [&slowRequests] { return slowRequests > 0; };
    else if (stage == "ping")
        when = [this] { return report().contains("fake ping start"); };
    else if (stage == "tracert")
        when = [this] { return report().contains("fake traceroute start"); };
    else
        when = [&endpointRequests] { return endpointRequests >= 2; };
    QByteArray atCancel;
    script.then(when, [&] {
        atCancel = report();
        clickStart();
    });

    clickStart();
    QTRY_VERIFY_WITH_TIMEOUT(script.done(), 60000);
    QCOMPARE(label()->text(), QStringLiteral("Start to test your internet speed"));
    QCOMPARE(startButton()->text(), QStringLiteral("Start Test"));
    QVERIFY(bar()->isHidden());
    QVERIFY(!exportButton()->isEnabled());

    // Give a stage that wrongly went on the time to show it.
    QTest::qWait(stage == "endpoint checks" ? 1500 : 1000);
    const QByteArray log = report();
    QVERIFY(log.startsWith(atCancel));
    QByteArray after = log.mid(atCancel.size());
    if (stage == "endpoint checks") {
        // The probe in progress completes and writes its line; no other runs.
        const QByteArray line = "download file done from " + m_endpoints->url("/test").toUtf8();
        QVERIFY2(after.startsWith(Cancel) || after.startsWith(line), after.constData());
        after.replace(Cancel, "");
        QVERIFY2(QRegularExpression("^(download file done from [^\\n]+ in \\d+ ms \\n)?$")
                     .match(QString::fromLatin1(after))
                     .hasMatch(),
                 after.constData());
        QCOMPARE(endpointRequests, 2);
        QCOMPARE(log.count(Cancel), 1);
    } else {
        QCOMPARE(after, Cancel);
    }
    // The host command of a cancelled shell stage ends with it.
    if (stage == "ping")
        QVERIFY(!log.contains("fake ping end"));
    if (stage == "tracert")
        QVERIFY(!log.contains("fake traceroute end"));
    if (stage == "first download")
        QVERIFY(!log.contains("\nfile: "));
    if (stage == "second download")
        QCOMPARE(log.count("\nfile: "), 1);
}

void tst_DiagnosticSequence::cancelThenStartAtOnce()
{
    HttpRoute slowFile;
    slowFile.generatedSize = 1024 * 1024;
    slowFile.chunkBytes = 1024;
    slowFile.chunkIntervalMsecs = 20;
    m_files->setRoute("/slow.bin", slowFile);
    QVERIFY(m_dir->write("downloadConfig.txt",
                         (m_files->url("/slow.bin") + "\n" + m_files->url("/a.bin") + "\n").toUtf8()));

    Script script(label());
    int slowRequests = 0;
    connect(m_files.get(), &HttpFileServer::requestReceived, &script,
            [&slowRequests](const QString &path) { slowRequests += path == "/slow.bin"; });
    // Twice in a row: cancel during the slow download, start again at once.
    for (int round = 1; round <= 2; ++round) {
        script.then([&slowRequests, round] { return slowRequests >= round; }, [this] {
            clickStart();
            clickStart();
        });
    }
    HttpRoute fast;
    fast.generatedSize = 1024;
    script.then([&slowRequests] { return slowRequests >= 2; },
                [this, fast] { m_files->setRoute("/slow.bin", fast); });

    clickStart();
    QTRY_VERIFY_WITH_TIMEOUT(script.done(), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(label()->text(), QStringLiteral("Finished Test. Export Report to us"),
                              60000);

    const QByteArray log = report();
    QCOMPARE(log.count("Test time: "), 3);
    QCOMPARE(log.count(Cancel), 2);
    QCOMPARE(log.count(Finish), 1);
    // Each cancelled run ends at its marker; the next run begins right after.
    int at = 0;
    for (int round = 0; round < 2; ++round) {
        const int cancel = log.indexOf(Cancel, at);
        QVERIFY(cancel > at);
        const QByteArray cancelled = log.mid(at, cancel - at);
        QCOMPARE(cancelled.count("Test time: "), 1);
        QVERIFY(!cancelled.contains("\nfile: "));
        at = cancel + Cancel.size();
        QVERIFY2(log.mid(at).startsWith("Test time: "), log.mid(at, 80).constData());
    }
    const QByteArray last = log.mid(at);
    QCOMPARE(last.count("\nfile: "), 2);
    QCOMPARE(last.count("download file "), 4);
    QCOMPARE(last.count("query API "), 2);
}

// The released speed test lives until its deferred deletion; the reply whose
// body it reads meanwhile must not move it on, neither past the cancel
// marker nor into the next run.
void tst_DiagnosticSequence::cancelWhileConfigurationIsRead_data()
{
    QTest::addColumn<bool>("restart");
    QTest::newRow("cancel") << false;
    QTest::newRow("cancel then start") << true;
}

void tst_DiagnosticSequence::cancelWhileConfigurationIsRead()
{
    QFETCH(bool, restart);
    QByteArray atCancel;
    BeforeReplyDeletion hook(QString::fromLatin1(SpeedTestService::ConfigPath), [&] {
        clickStart();
        atCancel = report();
        if (restart)
            clickStart();
    });
    clickStart();
    QTRY_VERIFY_WITH_TIMEOUT(hook.done(), 20000);
    QVERIFY(atCancel.endsWith(Cancel));
    QCOMPARE(atCancel.count("Test time: "), 1);
    if (!restart) {
        QTest::qWait(500);
        QCOMPARE(report(), atCancel);
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(label()->text(), QStringLiteral("Finished Test. Export Report to us"),
                              60000);
    const QByteArray second = report().mid(atCancel.size());
    QVERIFY2(second.startsWith("Test time: "), second.left(200).constData());
    QCOMPARE(second.count("ISP: "), 1);
    QCOMPARE(second.count("Server: "), 1);
    QVERIFY(second.indexOf("Test time: ") < second.indexOf("ISP: "));
}

void tst_DiagnosticSequence::staleChildOfCancelledRunIsEnded()
{
    writeFakeCommands("ping");
    // This ping ignores the termination request.
    QVERIFY(m_dir->write("stubborn", ""));
    QVERIFY(m_dir->write("ipconfig.txt", "127.0.0.1\n"));

    Script script(label());
    script.then([this] { return report().contains("fake ping start"); }, [this] {
        clickStart(); // Cancel; the stubborn ping lives on.
        QFile::remove(m_dir->filePath("stubborn"));
    });
    QByteArray atRestart;
    script.then([] { return true; }, [this, &atRestart] {
        atRestart = report();
        clickStart(); // a new run must end the old child first
    });
    // The new run's own ping: cancel it too, once it has started.
    script.then([this, &atRestart] { return report().mid(atRestart.size()).contains("fake ping start"); },
                [this] { clickStart(); });

    clickStart();
    QTRY_VERIFY_WITH_TIMEOUT(script.done(), 60000);
    QTest::qWait(500);
    const QByteArray log = report();
    QCOMPARE(log.count(Cancel), 2);
    QCOMPARE(log.count("fake ping start"), 2);
    QVERIFY(!log.contains("fake ping end"));
    // Nothing of the old child after the new run began, and the new run went
    // through its own speed test and download stage before its ping.
    const QByteArray second = log.mid(atRestart.size());
    QVERIFY(second.startsWith("Test time: "));
    QVERIFY(second.indexOf("Loss: not available") < second.indexOf("fake ping start"));
    QVERIFY(!second.contains("Checking tracert"));
    QCOMPARE(second.count(Separator), 1);
}

void tst_DiagnosticSequence::closeDuringStage_data()
{
    QTest::addColumn<QString>("stage");
    QTest::newRow("download") << "download";
    QTest::newRow("endpoint checks") << "endpoint checks";
}

void tst_DiagnosticSequence::closeDuringStage()
{
    QFETCH(QString, stage);
    QVERIFY(m_dir->write("ipconfig.txt", "127.0.0.1\n"));
    HttpRoute silent;
    silent.silent = true;
    if (stage == "download") {
        m_files->setRoute("/silent.bin", silent);
        QVERIFY(m_dir->write("downloadConfig.txt",
                             (m_files->url("/silent.bin") + "\n" + m_files->url("/a.bin") + "\n").toUtf8()));
    } else {
        m_endpoints->setRoute("/test/response.json", silent);
    }

    int requests = 0;
    HttpFileServer *server = stage == "download" ? m_files.get() : m_endpoints.get();
    Script script(label());
    connect(server, &HttpFileServer::requestReceived, &script, [&requests] { ++requests; });
    QElapsedTimer sinceClose;
    QByteArray atClose;
    script.then([&requests] { return requests > 0; }, [&] {
        atClose = report();
        sinceClose.start();
        m_window->close();
    });
    QTimer::singleShot(0, this, [this] { clickStart(); });
    // The tool's own event loop: closing the only window ends it.
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, qApp, &QCoreApplication::quit);
    guard.start(60000);
    QCoreApplication::exec();
    QVERIFY2(guard.isActive(), "the event loop did not end after the window closed");
    QVERIFY(sinceClose.isValid());
    QVERIFY2(sinceClose.elapsed() < 2000, qPrintable(QString::number(sinceClose.elapsed())));

    m_window.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QTest::qWait(500);
    // Nothing more was fetched or written once the window was closing.
    QCOMPARE(report(), atClose);
    QCOMPARE(requests, 1);
}

QTEST_MAIN(tst_DiagnosticSequence)
#include "tst_diagnosticsequence.moc"
