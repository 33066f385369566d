#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <signal.h>
#include <errno.h>

#include "ShellStage.h"
#include "WorkDir.h"

using ShellStage::Platform;

// Runs the stage commands with real sh. Where a host line must not reach the
// network (hostile or made-up names), stand-in ping and traceroute programs
// earlier on PATH record the arguments they were given.
class tst_ShellStage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void windowsCommands();
    void unixCommandsUseSh();
    void hostListRules_data();
    void hostListRules();
    void realCommandsAgainstLoopback_data();
    void realCommandsAgainstLoopback();
    void missingHostListFailsAtOnce_data();
    void missingHostListFailsAtOnce();
    void terminatingTheStageEndsTheHostCommand();

private:
    static void writeRecorder(const QString &dir, const QString &name);
    static QProcessEnvironment recorderEnvironment(const QString &binDir);
};

void tst_ShellStage::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
}

void tst_ShellStage::windowsCommands()
{
    const ShellStage::Command ping = ShellStage::pingCommand(Platform::Windows);
    QCOMPARE(ping.program, QStringLiteral("cmd"));
    QCOMPARE(ping.arguments,
             QStringList({"/c", "for /f %d in (ipconfig.txt) do (ping -n 4 %d >> Linkometer.log)"}));
    const ShellStage::Command trace = ShellStage::traceCommand(Platform::Windows);
    QCOMPARE(trace.program, QStringLiteral("cmd"));
    QCOMPARE(trace.arguments,
             QStringList({"/c", "for /f %d in (ipconfig.txt) do (tracert %d >> Linkometer.log)"}));
}

void tst_ShellStage::unixCommandsUseSh()
{
    QCOMPARE(ShellStage::hostPlatform(), Platform::Unix);
    for (const auto &command :
         {ShellStage::pingCommand(Platform::Unix), ShellStage::traceCommand(Platform::Unix)}) {
        QCOMPARE(command.program, QStringLiteral("/bin/sh"));
        QCOMPARE(command.arguments.size(), 2);
        QCOMPARE(command.arguments.at(0), QStringLiteral("-c"));
        QVERIFY(command.arguments.at(1).contains("ipconfig.txt"));
        QVERIFY(command.arguments.at(1).contains(">>Linkometer.log"));
    }
}

void tst_ShellStage::writeRecorder(const QString &dir, const QString &name)
{
    QFile script(dir + "/" + name);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\n"
                 "for a in \"$@\"; do printf '[%s]' \"$a\"; done >>calls.txt\n"
                 "echo >>calls.txt\n"
                 "echo \"" + name.toLatin1() + " output for $#\"\n"
                 "echo \"stderr is not captured\" >&2\n");
    script.close();
    QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

QProcessEnvironment tst_ShellStage::recorderEnvironment(const QString &binDir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", binDir + ":/usr/sbin:/usr/bin:/sbin:/bin");
    return env;
}

void tst_ShellStage::hostListRules_data()
{
    QTest::addColumn<bool>("trace");
    QTest::addColumn<QByteArray>("options");
    QTest::newRow("ping") << false << QByteArray("[-c][4][--]");
    QTest::newRow("traceroute") << true << QByteArray("[--]");
}

void tst_ShellStage::hostListRules()
{
    QFETCH(bool, trace);
    QFETCH(QByteArray, options);

    WorkDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir().mkdir("bin"));
    writeRecorder(dir.filePath("bin"), "ping");
    writeRecorder(dir.filePath("bin"), "traceroute");
    QVERIFY(dir.write("ipconfig.txt",
                      "127.0.0.1\n"
                      "; a comment line\n"
                      "   localhost   more words\n"
                      "\tip6-localhost\tx\n"
                      "\n"
                      "   \t  \n"
                      "127.0.0.2\r\n"
                      ";127.0.0.3\n"
                      "  ;indented comment\n"
                      "127.0.0.1;touch x\n"
                      "$(touch${IFS}y)\n"
                      "`touch${IFS}z`\n"
                      "a&&touch${IFS}w|touch${IFS}v\n"
                      "'\"quoted\n"
                      "-f\n"
                      "--help\n"
                      "last-line"));
    QVERIFY(dir.write("Linkometer.log", "before\n"));

    ShellProcess process;
    process.setProcessEnvironment(recorderEnvironment(dir.filePath("bin")));
    QSignalSpy finished(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    process.start(trace ? ShellStage::traceCommand(Platform::Unix)
                        : ShellStage::pingCommand(Platform::Unix));
    QVERIFY(process.waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);

    const QList<QByteArray> hosts = {"127.0.0.1", "localhost", "ip6-localhost", "127.0.0.2",
                                     "127.0.0.1;touch", "$(touch${IFS}y)", "`touch${IFS}z`",
                                     "a&&touch${IFS}w|touch${IFS}v", "'\"quoted", "-f",
                                     "--help", "last-line"};
    QByteArray expectedCalls;
    for (const QByteArray &host : hosts)
        expectedCalls += options + "[" + host + "]\n";
    QCOMPARE(dir.read("calls.txt"), expectedCalls);

    for (const char *made : {"x", "y", "z", "w", "v"})
        QVERIFY2(!QFileInfo::exists(dir.filePath(made)), made);

    // Standard output of every host command is appended to the report, in
    // order; standard error is not.
    const QByteArray line = (trace ? "traceroute" : "ping") + QByteArray(" output for ");
    const QByteArray report = dir.read("Linkometer.log");
    QVERIFY(report.startsWith("before\n"));
    QCOMPARE(report.count(line), hosts.size());
    QVERIFY(!report.contains("stderr"));
}

void tst_ShellStage::realCommandsAgainstLoopback_data()
{
    QTest::addColumn<bool>("trace");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("ping") << false << QByteArray("4 packets transmitted, 4 received");
    QTest::newRow("traceroute") << true << QByteArray("traceroute to 127.0.0.1 (127.0.0.1)");
}

void tst_ShellStage::realCommandsAgainstLoopback()
{
    QFETCH(bool, trace);
    QFETCH(QByteArray, expected);

    WorkDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.write("ipconfig.txt", "; loopback only\n127.0.0.1\n"));
    ShellProcess process;
    QSignalSpy finished(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    process.start(trace ? ShellStage::traceCommand(Platform::Unix)
                        : ShellStage::pingCommand(Platform::Unix));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    const QByteArray report = dir.read("Linkometer.log");
    QVERIFY2(report.contains(expected), report.constData());
    QVERIFY(!report.contains("loopback only"));
}

void tst_ShellStage::missingHostListFailsAtOnce_data()
{
    QTest::addColumn<bool>("trace");
    QTest::newRow("ping") << false;
    QTest::newRow("traceroute") << true;
}

void tst_ShellStage::missingHostListFailsAtOnce()
{
    QFETCH(bool, trace);
    WorkDir dir;
    QVERIFY(dir.isValid());
    ShellProcess process;
    QSignalSpy finished(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    process.start(trace ? ShellStage::traceCommand(Platform::Unix)
                        : ShellStage::pingCommand(Platform::Unix));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 5000);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY(process.exitCode() != 0);
    QVERIFY(!QFileInfo::exists(dir.filePath("Linkometer.log")));
}

void tst_ShellStage::terminatingTheStageEndsTheHostCommand()
{
    WorkDir dir;
    QVERIFY(dir.isValid());
    // Enough hosts that the loop outlives the test's wait by far.
    QVERIFY(dir.write("ipconfig.txt", QByteArray("127.0.0.1\n").repeated(20)));
    ShellProcess process;
    QSignalSpy finished(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    process.start(ShellStage::pingCommand(Platform::Unix));
    QVERIFY(process.waitForStarted());
    const pid_t group = pid_t(process.processId());
    // Wait until ping itself runs and writes its first lines.
    QTRY_VERIFY_WITH_TIMEOUT(dir.read("Linkometer.log").contains("bytes from 127.0.0.1"), 10000);

    process.terminateGroup();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 5000);
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    // No member of the stage's process group is left: ping ended with sh.
    QTRY_VERIFY_WITH_TIMEOUT(::kill(-group, 0) == -1 && errno == ESRCH, 5000);
    const QByteArray report = dir.read("Linkometer.log");
    QTest::qWait(1500);
    QCOMPARE(dir.read("Linkometer.log"), report);
    QVERIFY(!report.contains("packets transmitted"));

    // A process that is not running is not affected.
    process.terminateGroup();
    process.killGroup();
    QCOMPARE(process.state(), QProcess::NotRunning);
}

QTEST_GUILESS_MAIN(tst_ShellStage)
#include "tst_shellstage.moc"
