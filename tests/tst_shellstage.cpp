#include <QtTest>

#include <errno.h>
#include <signal.h>

#include "ReportLog.h"
#include "ShellStage.h"
#include "WorkDir.h"

using ShellStage::Platform;

namespace {

const QString Log = QStringLiteral("Linkometer.log");

// ping and traceroute stand-ins earlier on PATH, from a shell script body.
QProcessEnvironment standIns(const WorkDir &dir, const QByteArray &body)
{
    QDir().mkdir(dir.filePath("bin"));
    for (const QString name : {"ping", "traceroute"}) {
        dir.write("bin/" + name, "#!/bin/sh\n" + body);
        QFile::setPermissions(dir.filePath("bin/" + name), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", dir.filePath("bin") + ":/usr/sbin:/usr/bin:/sbin:/bin");
    return env;
}

} // namespace

// The ping and tracert stages with real sh, and the report appends that all
// writers of the report share.
class tst_ShellStage : public QObject
{
    Q_OBJECT

private slots:
    void hostLines_data();
    void hostLines();
    void realCommands_data();
    void realCommands();
    void endGroup_data();
    void endGroup();
    void appendLog();
    void concurrentAppends();
};

void tst_ShellStage::hostLines_data()
{
    QTest::addColumn<bool>("trace");
    QTest::addColumn<QByteArray>("options");
    QTest::addColumn<QString>("windows");
    QTest::newRow("ping") << false << QByteArray("[-c][4][--]")
                          << "for /f %d in (ipconfig.txt) do (ping -n 4 %d >> Linkometer.log)";
    QTest::newRow("tracert") << true << QByteArray("[--]") << "for /f %d in (ipconfig.txt) do (tracert %d >> Linkometer.log)";
}

void tst_ShellStage::hostLines()
{
    QFETCH(bool, trace);
    QFETCH(QByteArray, options);
    QFETCH(QString, windows);
    const auto command = [trace](Platform p) { return trace ? ShellStage::traceCommand(p) : ShellStage::pingCommand(p); };
    QCOMPARE(command(Platform::Windows).program, QStringLiteral("cmd"));
    QCOMPARE(command(Platform::Windows).arguments, (QStringList{"/c", windows}));

    // First word of each line, comments and blank lines skipped; a line is
    // data, never code and never an option.
    WorkDir dir;
    QVERIFY(dir.write("ipconfig.txt", "127.0.0.1\n; comment\n   localhost  more words\n\n \t \n127.0.0.2\r\n"
                                      "a;touch${IFS}x\n$(touch${IFS}y)\n`touch${IFS}z`\n-f\n--help\nlast"));
    QVERIFY(dir.write(Log, "before\n"));
    ShellProcess process;
    process.setProcessEnvironment(standIns(dir, "for a; do printf '[%s]' \"$a\"; done >>calls.txt\necho >>calls.txt\n"
                                                "echo out\necho err >&2\n"));
    process.start(command(ShellStage::hostPlatform()));
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QByteArray calls;
    for (const char *host : {"127.0.0.1", "localhost", "127.0.0.2", "a;touch${IFS}x", "$(touch${IFS}y)",
                             "`touch${IFS}z`", "-f", "--help", "last"})
        calls += options + '[' + host + "]\n";
    QCOMPARE(dir.read("calls.txt"), calls);
    for (const char *made : {"x", "y", "z"})
        QVERIFY(!QFile::exists(made));
    // Standard output lands in the report, standard error does not.
    QCOMPARE(dir.read(Log), "before\n" + QByteArray("out\n").repeated(9));
}

void tst_ShellStage::realCommands_data()
{
    QTest::addColumn<bool>("trace");
    QTest::addColumn<QByteArray>("hosts");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("ping") << false << QByteArray("; loopback\n127.0.0.1\n") << QByteArray("4 packets transmitted, 4 received");
    QTest::newRow("traceroute") << true << QByteArray("127.0.0.1\n") << QByteArray("traceroute to 127.0.0.1 (127.0.0.1)");
    QTest::newRow("no host list") << false << QByteArray() << QByteArray();
}

void tst_ShellStage::realCommands()
{
    QFETCH(bool, trace);
    QFETCH(QByteArray, hosts);
    QFETCH(QByteArray, expected);
    if (QStandardPaths::findExecutable(trace ? "traceroute" : "ping", {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}).isEmpty())
        QSKIP("the command is missing here");
    WorkDir dir;
    if (!hosts.isEmpty())
        QVERIFY(dir.write("ipconfig.txt", hosts));
    ShellProcess process;
    process.start(trace ? ShellStage::traceCommand(ShellStage::hostPlatform()) : ShellStage::pingCommand(ShellStage::hostPlatform()));
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode() == 0, !hosts.isEmpty());
    QVERIFY2(dir.read(Log).contains(expected), dir.read(Log).constData());
    QCOMPARE(QFile::exists(Log), !hosts.isEmpty());
}

void tst_ShellStage::endGroup_data()
{
    QTest::addColumn<bool>("kill");
    QTest::newRow("terminate") << false;
    QTest::newRow("kill one that ignores SIGTERM") << true;
}

void tst_ShellStage::endGroup()
{
    QFETCH(bool, kill);
    WorkDir dir;
    QVERIFY(dir.write("ipconfig.txt", "127.0.0.1\n127.0.0.1\n"));
    ShellProcess process;
    process.setProcessEnvironment(
        standIns(dir, QByteArray(kill ? "trap '' TERM\n" : "") + "echo started\nwhile :; do sleep 0.02; done\n"));
    process.start(ShellStage::pingCommand(ShellStage::hostPlatform()));
    QVERIFY(process.waitForStarted());
    const pid_t group = pid_t(process.processId());
    QTRY_COMPARE(dir.read(Log), QByteArray("started\n"));
    kill ? process.killGroup() : process.terminateGroup();
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    // Nothing of the stage is left: the host command ended with the shell.
    QTRY_VERIFY(::kill(-group, 0) == -1 && errno == ESRCH);
    QCOMPARE(dir.read(Log), QByteArray("started\n"));
    // A process that is not running is not affected (nor is anything else).
    process.terminateGroup();
    process.killGroup();
}

void tst_ShellStage::appendLog()
{
    WorkDir dir;
    const QString text = QStringLiteral("a\n \nb\r\nc \u00e9\n");
    QVERIFY(ReportLog::appendLog("./" + Log, text));
    QVERIFY(ReportLog::appendLog("./" + Log, "end"));
    QCOMPARE(dir.read(Log), text.toLocal8Bit() + "end");
    // Unwritable: a directory stands at the path. Nothing is written.
    QVERIFY(QDir().mkdir("taken.log"));
    QVERIFY(!ReportLog::appendLog("taken.log", "lost"));
    QVERIFY(QFileInfo("taken.log").isDir());
    QCOMPARE(QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot), (QStringList{Log, "taken.log"}));
}

void tst_ShellStage::concurrentAppends()
{
    // A shell loop and this process append to the report at once: every
    // line lands whole, none is lost.
    const int lines = 2000;
    WorkDir dir;
    QProcess shell;
    shell.start("/bin/sh", {"-c", QStringLiteral("i=0; while [ $i -lt %1 ]; do echo \"shell $i\" >>%2; i=$((i+1)); done").arg(lines).arg(Log)});
    QVERIFY(shell.waitForStarted());
    QTRY_VERIFY(QFile::exists(Log));
    const QString padding(200, 'w');
    for (int i = 0; i < lines; ++i)
        ReportLog::appendLog(Log, QStringLiteral("window %1 %2\n").arg(i).arg(padding));
    QVERIFY(shell.waitForFinished(30000));
    QList<QByteArray> all = dir.read(Log).split('\n');
    QCOMPARE(all.takeLast(), QByteArray());
    int next[2] = {0, 0};
    int changes = 0;
    for (int i = 0; i < all.size(); ++i) {
        const int writer = all.at(i).startsWith("window ") ? 1 : 0;
        const QByteArray whole = writer ? "window " + QByteArray::number(next[1]) + ' ' + padding.toLatin1()
                                        : "shell " + QByteArray::number(next[0]);
        QVERIFY2(all.at(i) == whole, all.at(i).left(80).constData());
        ++next[writer];
        changes += i > 0 && all.at(i).at(0) != all.at(i - 1).at(0);
    }
    QCOMPARE(next[0], lines);
    QCOMPARE(next[1], lines);
    qInfo("writers alternated %d times", changes);
}

QTEST_GUILESS_MAIN(tst_ShellStage)
#include "tst_shellstage.moc"
