#include <QtTest>

#ifdef Q_OS_UNIX
#  include <errno.h>
#  include <signal.h>
#endif

#include "ReportLog.h"
#include "ShellStage.h"
#include "StandIns.h"
#include "WorkDir.h"

using namespace ShellStage;

// The ping and tracert stages with the real shell (sh; cmd under Wine), and the report appends all
// writers share.
class tst_ShellStage : public QObject
{
    Q_OBJECT

private slots:
    void stage_data()
    {
        // standIn: the script found first on PATH as ping and traceroute (the real ones if empty);
        // end: the stage is terminated (1) or killed (2) once "started" is in the report, which
        // must match report.
        QTest::addColumn<bool>("trace");
        QTest::addColumn<QByteArray>("hosts");
        QTest::addColumn<QByteArray>("standIn");
        QTest::addColumn<int>("end");
        QTest::addColumn<QString>("report");
#ifdef Q_OS_WIN
        // The stand-in program (StandIn.cpp) waits while hold-ping exists: made when end is set.
        // Windows has no request to end that a console program heeds: both ends kill the whole
        // tree.
        const QByteArray hosts("127.0.0.1\n   localhost  more\n\n \t \n127.0.0.2\r\n-f\nlast"),
                standIn("y");
        QString calls;
        for (const QString host : { "127.0.0.1", "localhost", "127.0.0.2", "-f", "last" })
            calls += "%1" + QRegularExpression::escape('[' + host + "]\n");
        QTest::newRow("ping host lines")
                << false << hosts << standIn << 0 << calls.arg("ping \\[-n\\]\\[4\\]");
        QTest::newRow("tracert host lines")
                << true << hosts << standIn << 0 << calls.arg("tracert ");
        QTest::newRow("real ping") << false << QByteArray("127.0.0.1\n") << QByteArray() << 0
                                   << "(?s)\\s*Pinging 127\\.0\\.0\\.1 .*Received = 4, Lost = 0.*";
        // Wine's cmd, unlike Windows', runs the loop once with the loop variable's name.
        QTest::newRow("no host list") << false << QByteArray() << QByteArray() << 0
                                      << "(Ping request could not find host %d\\. Please check the "
                                         "name and try again\\.\r\n)?";
        const QString first = QRegularExpression::escape("ping [-n][4][127.0.0.1]\n");
        QTest::newRow("terminated") << false << hosts << standIn << 1 << first;
        QTest::newRow("killed") << false << hosts << standIn << 2 << first;
#else
        // First words of lines, no comments or blank lines; data, never code or options; standard
        // error in order.
        const QByteArray hosts("127.0.0.1\n; comment\n   localhost  more\n\n \t \n127.0.0.2\r\n"
                               "a;touch${IFS}x\n$(touch${IFS}y)\n`touch${IFS}z`\n-f\nlast");
        const QByteArray recorder(
                "for a; do printf '[%s]' \"$a\"; done; echo; echo Name or service not known >&2\n");
        QString calls;
        for (const QString host : { "127.0.0.1", "localhost", "127.0.0.2", "a;touch${IFS}x",
                                    "$(touch${IFS}y)", "`touch${IFS}z`", "-f", "last" })
            calls += "%1"
                    + QRegularExpression::escape('[' + host + "]\nName or service not known\n");
        // Until killed, or the row's folder is gone (a broken kill leaves nothing behind).
        const QByteArray endless("echo started\nwhile [ -f ipconfig.txt ]; do sleep 0.02; done\n");
        QTest::newRow("ping host lines")
                << false << hosts << recorder << 0 << calls.arg("\\[-c\\]\\[4\\]\\[--\\]");
        QTest::newRow("tracert host lines")
                << true << hosts << recorder << 0 << calls.arg("\\[--\\]");
        const QByteArray none;
        QTest::newRow("real ping") << false << QByteArray("127.0.0.1\n") << none << 0
                                   << "(?s).*4 packets transmitted, 4 received.*";
        QTest::newRow("real traceroute")
                << true << QByteArray("127.0.0.1\n") << none << 0
                << "(?s)traceroute to 127\\.0\\.0\\.1 \\(127\\.0\\.0\\.1\\).*";
        QTest::newRow("no host list") << false << none << none << 0 << QString();
        QTest::newRow("terminated") << false << hosts << endless << 1 << "started\n";
        QTest::newRow("killed, SIGTERM ignored")
                << false << hosts << "trap '' TERM\n" + endless << 2 << "started\n";
#endif
    }

    void stage()
    {
        QFETCH(bool, trace);
        QFETCH(QByteArray, hosts);
        QFETCH(QByteArray, standIn);
        QFETCH(int, end);
        QFETCH(QString, report);
#ifdef Q_OS_UNIX
        const QString real = QStandardPaths::findExecutable(trace ? "traceroute" : "ping",
                                                            { "/usr/sbin", "/bin" });
        if (standIn.isEmpty() && real.isEmpty())
            QSKIP("the command is missing here");
#endif

        WorkDir dir;
        QVERIFY(hosts.isEmpty() || dir.write("ipconfig.txt", hosts));
        QVERIFY(!end || dir.write("hold-ping", ""));
        StandIns standIns(standIn);
        QVERIFY(standIns.isValid());
        ShellProcess process;
        process.start(trace ? traceCommand(hostPlatform()) : pingCommand(hostPlatform()));
#ifdef Q_OS_UNIX
        const pid_t group = pid_t(process.processId());
#endif
        const auto matches = [](const QString &pattern, const QByteArray &log) {
            return QRegularExpression("^(?:" + pattern + ")$")
                    .match(QString::fromLocal8Bit(log))
                    .hasMatch();
        };
        if (end) {
            QTRY_VERIFY(matches(report, dir.read("Linkometer.log")));
            end == 1 ? process.terminateGroup() : process.killGroup();
        }
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitStatus(), end ? QProcess::CrashExit : QProcess::NormalExit);
        QVERIFY(end || (process.exitCode() != 0) == hosts.isEmpty());
        // Nothing of the stage is left: the host command ended with the shell.
#ifdef Q_OS_WIN
        QVERIFY(!end || QFile::exists("ping.running"));
        QTRY_VERIFY(!end || standInEnded("ping"));
#else
        QTRY_VERIFY(::kill(-group, 0) == -1 && errno == ESRCH);
#endif
        QVERIFY2(matches(report, dir.read("Linkometer.log")),
                 dir.read("Linkometer.log").constData());
        QVERIFY(!QFile::exists("x") && !QFile::exists("y") && !QFile::exists("z"));
        // A process that is not running is not affected (nor is anything else).
        process.terminateGroup();
        process.killGroup();
    }

    void appendLog()
    {
        WorkDir dir;
        const QString text = QStringLiteral("a\n \nb\r\nc \u00e9\n");
        QVERIFY(ReportLog::appendLog("./Linkometer.log", text));
        QVERIFY(ReportLog::appendLog("./Linkometer.log", "end\n"));
        QCOMPARE(dir.read("Linkometer.log"), text.toLocal8Bit() + "end\n");
        // Unwritable: a directory stands at the path. Nothing is written.
        QVERIFY(QDir().mkdir("taken.log"));
        QVERIFY(!ReportLog::appendLog("taken.log", "lost"));
        QVERIFY(QDir("taken.log").isEmpty()
                && QDir().entryList(QDir::Files) == QStringList{ "Linkometer.log" });
#ifdef Q_OS_UNIX
        // A full disk: the data fails only when the close stores it.
        QVERIFY(QFile::link("/dev/full", "full.log") && !ReportLog::appendLog("full.log", "lost"));

        // A shell loop and this process append at once: every line whole, none lost. (Not on
        // Windows: cmd's ">>" seeks to the end and then writes, so writers at once can overwrite
        // each other there.)
        const int lines = 2000;
        QProcess shell;
        shell.start(
                "/bin/sh",
                { "-c",
                  QStringLiteral("i=0; while [ $i -lt %1 ]; do echo \"shell $i\" >>Linkometer.log; "
                                 "i=$((i+1)); done")
                          .arg(lines) });
        QTRY_VERIFY_WITH_TIMEOUT(dir.read("Linkometer.log").contains("shell"), 30000);
        const QByteArray padding(200, 'w');
        for (int i = 0; i < lines; ++i)
            ReportLog::appendLog("Linkometer.log",
                                 QStringLiteral("window %1 %2\n").arg(i).arg(QString(padding)));
        QVERIFY(shell.state() == QProcess::NotRunning || shell.waitForFinished(30000));
        QList<QByteArray> all =
                dir.read("Linkometer.log").mid(text.toLocal8Bit().size() + 4).split('\n');
        QCOMPARE(all.takeLast(), QByteArray());
        int next[2] = { 0, 0 };
        for (const QByteArray &line : all) {
            const int writer = line.startsWith("window ") ? 1 : 0;
            const QByteArray n = QByteArray::number(next[writer]++);
            QVERIFY2(line == (writer ? "window " + n + ' ' + padding : "shell " + n),
                     line.left(80).constData());
        }
        QVERIFY(next[0] == lines && next[1] == lines);
#endif
    }
};

QTEST_GUILESS_MAIN(tst_ShellStage)
#include "tst_shellstage.moc"
