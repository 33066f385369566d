#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include <memory>

#include "LocalService.h"
#include "MainWindow.h"
#include "RunSetup.h"
#include "WorkDir.h"

namespace {

const QByteArray Sep = QByteArray(54, '=') + '\n';
const QByteArray Finish = QByteArray(27, '=') + "finn" + QByteArray(27, '=') + '\n';
const QByteArray Cancel = QByteArray(27, '=') + "cancel" + QByteArray(27, '=') + '\n';
const QString Config = QStringLiteral("/speedtest-config.php");
const QString Servers = QStringLiteral("/speedtest-servers-static.php");
const QString Log = QStringLiteral("Linkometer.log");

// How a row's first run ends; every row but Close ends with a complete run. The last three are complete
// runs whose shell cannot start, whose report is a folder, whose report is on a full disk.
enum Ending { Complete, CancelRun, Restart, Stale, Close, NoShell, Unwritable, FullDisk };
const QString Done = QStringLiteral("Finished Test. Export Report to us");
const QString Unwritten = QStringLiteral("Report could not be written in full");

QString esc(const QString &text)
{
    return QRegularExpression::escape(text);
}

// Stand-ins for ping and traceroute: their pid into pid-<name>, one line
// with their arguments, then they wait while their hold file exists;
// "stubborn" makes them ignore SIGTERM.
bool writeStandIns(const WorkDir &dir)
{
    if (!QDir().mkpath(dir.filePath("bin")))
        return false;
    for (const QByteArray name : {"ping", "traceroute"}) {
        const QString file = dir.filePath("bin/" + name);
        if (!dir.write("bin/" + name,
                       "#!/bin/sh\necho $$ >pid-" + name + "\n[ -f stubborn ] && trap '' TERM\necho \"" + name
                           + " $*\"\n[ -f hold-" + name + " ] || exit 0\nwhile [ -f hold-" + name
                           + " ]; do sleep 0.02; done\necho " + name + " after hold\n")
            || !QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
            return false;
    }
    return true;
}

} // namespace

// Whole runs through the real window against one local service that stands
// in for the speed-test host, its test server, the file host and the
// endpoints.
class tst_Window : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_path = qgetenv("PATH"); }
    void run_data();
    void run();

private:
    QByteArray m_path;
};

void tst_Window::run_data()
{
    // label and hold: where the first run is caught. hold is a route that
    // stays silent, or the hold file of a stand-in, until the run is ended.
    QTest::addColumn<int>("ending");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("hold");
    const QString download = QStringLiteral("Checking download...");
    const QString tracert = QStringLiteral("Checking tracert...");
    QTest::newRow("complete run") << int(Complete) << QString() << QString();
    QTest::newRow("cancel in speed test") << int(CancelRun) << download << Servers;
    QTest::newRow("cancel in first download") << int(CancelRun) << download << "/a.bin";
    QTest::newRow("cancel in ping") << int(CancelRun) << "Checking ping..." << "hold-ping";
    QTest::newRow("cancel in tracert") << int(CancelRun) << tracert << "hold-traceroute";
    QTest::newRow("cancel in endpoint checks") << int(CancelRun) << tracert << "/t2/response.json";
    QTest::newRow("cancel and start in second download") << int(Restart) << download << "/b.bin";
    QTest::newRow("cancel and start in endpoint checks") << int(Restart) << tracert << "/t2/response.json";
    QTest::newRow("stale child of a cancelled run") << int(Stale) << "Checking ping..." << "hold-ping";
    QTest::newRow("close in download") << int(Close) << download << "/a.bin";
    QTest::newRow("close in endpoint checks") << int(Close) << tracert << "/t2/response.json";
    QTest::newRow("close in tracert, its command stubborn") << int(Close) << tracert << "hold-traceroute";
    QTest::newRow("shell that cannot start") << int(NoShell) << QString() << QString();
    QTest::newRow("report folder at the report's name") << int(Unwritable) << QString() << QString();
    QTest::newRow("report on a full disk") << int(FullDisk) << QString() << QString();
}

void tst_Window::run()
{
    QFETCH(int, ending);
    QFETCH(QString, label);
    QFETCH(QString, hold);

    WorkDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeStandIns(dir));
    qputenv("PATH", dir.filePath("bin").toLocal8Bit() + ':' + m_path);
    // A server list cache of its own, so every run fetches the list.
    qputenv("XDG_CACHE_HOME", dir.filePath("cache").toLocal8Bit());
    QVERIFY(dir.write("ipconfig.txt", "127.0.0.1\n"));
    if (ending == Stale || ending == Close)
        QVERIFY(dir.write("stubborn", ""));
    QVERIFY(ending != Unwritable || QDir().mkdir(Log));
    QVERIFY(ending != FullDisk || QFile::link("/dev/full", Log));

    LocalService svc;
    QStringList files{svc.url("/a.bin"), svc.url("/b.bin")};
    QVERIFY(dir.write("downloadConfig.txt", (files.join("\n  \n") + '\n').toUtf8()));
    QVector<QString> tests;
    for (int i = 1; i <= 4; ++i)
        tests << svc.url(QStringLiteral("/t%1").arg(i));
    const QVector<QString> apis{svc.url("/orvana-admin/network/test"), svc.url("/network/test")};
    const auto serve = [&] {
        svc.route(Config, configDocument(52.52, 13.405, "Acme Net", "1", "2", "2"));
        svc.route(Servers, serverListDocument({{&svc, 52.5, 13.4, "S"}}));
        svc.route("/speedtest/latency.txt", "test=test");
        svc.route("/a.bin", Route{200, {}, {}, 300 * 1024});
        svc.route("/b.bin", "small file");
        svc.route("/c.bin", "c");
        for (const QString &url : tests)
            svc.route(QUrl(url).path() + "/response.json", "{}");
        svc.route("/orvana-admin/network/test", "{}");
        // "/network/test" is not served: that endpoint fails.
        QFile::remove("hold-ping");
        QFile::remove("hold-traceroute");
    };
    // The test server's connections end early: the speed test is the
    // engine's business, here it only has to be quick.
    svc.download = Behaviour::CloseEarly;
    serve();
    if (hold.startsWith('/'))
        svc.route(hold, QByteArray(), Behaviour::Silent);
    else if (!hold.isEmpty())
        QVERIFY(dir.write(hold, ""));

    auto window = std::make_unique<MainWindow>();
    RunSetup setup = RunSetup::production();
    setup.configsUrl = svc.url(Config);
    setup.serversUrl = svc.url(Servers);
    setup.endpointChecks = EndpointChecks(tests, apis, 1, 2000);
    setup.downloadNoDataMsecs = 5000;
    if (ending == NoShell)
        setup.shell = dir.filePath("missing/sh");
    window->setRunSetup(setup);
    window->show();
    auto *start = window->findChild<QPushButton *>("button_start");
    auto *exportButton = window->findChild<QPushButton *>("button_export");
    auto *bar = window->findChild<QProgressBar *>("bar_prpgress");
    auto *message = window->findChild<QLabel *>("label_message");
    QVERIFY(start && exportButton && bar && message);
    // What a user first sees: a panel of fixed size, Export not yet possible.
    QCOMPARE((QStringList{window->windowTitle(), start->text(), exportButton->text(), message->text(),
                          exportButton->isEnabled() ? "enabled" : "disabled", bar->isHidden() ? "hidden" : "shown"}),
             (QStringList{"Orvana Speed Test", "Start Test", "Export Report", "Start to Test your internet speed",
                          "disabled", "hidden"}));
    QVERIFY(window->minimumSize() == QSize(320, 182) && window->maximumSize() == QSize(320, 182));
    QVERIFY(!(window->windowFlags() & Qt::WindowMaximizeButtonHint));

    // The stages wait in nested event loops, where only a timer reaches
    // them: it ends the first run where the row says.
    bool acted = false;
    int requestsAtAct = 0;
    QByteArray atAct;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        const bool there = hold.startsWith('/') ? svc.requests.contains(hold)
                                                : dir.read(Log).contains(hold.mid(5).toLatin1() + " -");
        if (acted || message->text() != label || !there)
            return;
        acted = true;
        poll.stop();
        atAct = dir.read(Log);
        requestsAtAct = svc.requests.size();
        if (ending == Close) {
            window->close();
            return;
        }
        QTest::mouseClick(start, Qt::LeftButton);
        const QStringList state{message->text(), start->text(), bar->isHidden() ? "hidden" : "shown",
                                exportButton->isEnabled() ? "enabled" : "disabled", dir.read(Log)};
        // At once, while the cancelled stage may still wait below.
        if (ending == Restart || ending == Stale)
            QTest::mouseClick(start, Qt::LeftButton);
        serve();
        if (ending == Restart) // the held connection ends: the cancelled run's stage goes on under the new run
            for (QTcpSocket *socket : svc.findChildren<QTcpSocket *>())
                socket->abort();
        // A file new to run 2 first: an identical result text is never written twice in a row, across runs too.
        files.prepend(svc.url("/c.bin"));
        QVERIFY(dir.write("downloadConfig.txt", files.join('\n').toUtf8()));
        QCOMPARE(state, (QStringList{"Start to test your internet speed", "Start Test", "hidden", "disabled",
                                     atAct + Cancel}));
    });
    if (!label.isEmpty())
        poll.start(5);

    if (ending == Close) {
        // The tool's own event loop: closing the only window ends it, and
        // with it every nested wait.
        QTimer::singleShot(0, start, [start] { QTest::mouseClick(start, Qt::LeftButton); });
        bool timedOut = false;
        QTimer::singleShot(10000, &poll, [&timedOut] { timedOut = true, QCoreApplication::quit(); });
        QCoreApplication::exec();
        QVERIFY2(acted && !timedOut, "the event loop did not end with the window");
        window.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        // Nothing the run started outlives the window: released, a command would write on.
        if (hold.startsWith("hold-")) {
            QFile::remove(hold);
            const QString pid = QString::fromLatin1(dir.read("pid-" + hold.mid(5))).trimmed();
            const auto gone = [pid] {
                QFile file("/proc/" + pid + "/stat");
                return !file.open(QIODevice::ReadOnly) || file.readAll().contains(") Z "); // or a zombie
            };
            QTRY_VERIFY(gone());
        }
        QCOMPARE(dir.read(Log), atAct);
        QCOMPARE(svc.requests.size(), requestsAtAct);
        return;
    }

    QTest::mouseClick(start, Qt::LeftButton);
    QByteArray before;
    if (label.isEmpty()) {
        QCOMPARE((QStringList{start->text(), message->text(), bar->isVisible() ? "shown" : "hidden",
                              exportButton->isEnabled() ? "enabled" : "disabled"}),
                 (QStringList{"Cancel", "Checking download...", "shown", "disabled"}));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(acted, 10000);
        before = atAct + Cancel;
        // A probe under way at a plain Cancel still ends and writes its line.
        if (ending == CancelRun && hold == "/t2/response.json")
            before += "download file fail from " + tests.at(1).toUtf8() + " failed \n";
        if (ending == CancelRun) {
            QTRY_COMPARE(dir.read(Log), before);
            QTest::mouseClick(start, Qt::LeftButton);
        }
    }
    QTRY_COMPARE_WITH_TIMEOUT(message->text(), ending == Unwritable || ending == FullDisk ? Unwritten : Done, 10000);
    QCOMPARE(start->text(), QStringLiteral("Start Test"));
    QVERIFY(exportButton->isEnabled());
    QVERIFY(bar->isHidden());
    if (ending == Unwritable || ending == FullDisk) // nothing to read back, /dev/full reads endless zeros
        return;

    // The new run follows the cancel marker at once and is whole: nothing
    // of the first run came after the marker.
    QString run = "Test time: \\d{4}(?:-\\d\\d){5}-\\d{3} \\nISP: Acme Net \\nServer: Sponsor S \\(S\\) \\n"
                  "Latency: \\d+ms \\nDowload: [0-9.e+-]+mbps \\nLoss: not available \\n"
        + Sep;
    for (const QString &file : files)
        run += Sep + "\\nfile: " + esc(file) + ", speed [0-9.e+-]+mbps\\n \\n";
    // The tracert separator is written while the command already runs.
    if (ending == NoShell) // the stage and the system's text
        run += "ping could not start: [^\\n]*No such file or directory \\n" + Sep
            + "tracert could not start: [^\\n]*No such file or directory \\n" + Finish;
    else
        run += "ping -c 4 -- 127\\.0\\.0\\.1\\n(" + Sep + ")?traceroute -- 127\\.0\\.0\\.1\\n(?(1)|" + Sep + ")"
            + Finish;
    for (const QString &url : tests)
        run += "download file done from " + esc(url) + " in \\d+ ms \\n";
    run += "query API done from " + esc(apis.at(0)) + " in \\d+ ms \\nquery API fail from " + esc(apis.at(1))
        + " failed \\n";
    const QByteArray log = dir.read(Log);
    QVERIFY2(log.startsWith(before), log.constData());
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(run))
                 .match(QString::fromLocal8Bit(log.mid(before.size())))
                 .hasMatch(),
             log.constData());
}

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
