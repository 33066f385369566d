#include <QtTest>

#include "Columns.h"
#include "LocalService.h"
#include "ShellStage.h"
#include "StandIns.h"
#include "WorkDir.h"

using namespace ShellStage;

// The ping and tracert stages with the real shell (sh; cmd under Wine) and ipconfig.txt as users
// write it, against stand-ins that record their arguments (none: the real commands).
class tst_ShellStage : public QObject
{
    Q_OBJECT

private slots:
    void stage_data()
    {
        // report: a pattern of the whole report.
        columns<bool, QByteArray, QByteArray, QString>("trace", "hosts", "standIn", "report");
#ifdef Q_OS_WIN // the stand-in program (StandIn.cpp) prints its name and its arguments
        const QByteArray hosts = "127.0.0.1\n   localhost  more\n\n \t \n127.0.0.2\r\n-f\nlast";
        QTest::newRow("ping host lines")
                << false << hosts << QByteArray("y")
                << esc("ping [-n][4][127.0.0.1]\nping [-n][4][localhost]\nping "
                       "[-n][4][127.0.0.2]\nping [-n][4][-f]\nping [-n][4][last]\n");
        QTest::newRow("tracert host lines")
                << true << hosts << QByteArray("y")
                << esc("tracert [127.0.0.1]\ntracert [localhost]\ntracert [127.0.0.2]\ntracert "
                       "[-f]\ntracert [last]\n");
        QTest::newRow("real ping") << false << QByteArray("127.0.0.1\n") << QByteArray()
                                   << "(?s)\\s*Pinging 127\\.0\\.0\\.1 .*Received = 4, Lost = 0.*";
        // Wine's cmd, unlike Windows', runs the loop once with the loop variable's name.
        QTest::newRow("no host list") << false << QByteArray() << QByteArray()
                                      << "(Ping request could not find host %d\\. Please check the "
                                         "name and try again\\.\r\n)?";
#else
        // First words of lines, no comments or blank lines; data, never code or options (run, the
        // code would write to the report); standard error in order.
        const QByteArray hosts = "127.0.0.1\n; comment\n   localhost  more\n\n \t \n127.0.0.2\r\n"
                                 "a;echo${IFS}x>>Linkometer.log\n$(echo${IFS}y>>Linkometer.log)\n"
                                 "`echo${IFS}z>>Linkometer.log`\n-f\nlast";
        const QByteArray recorder = "for a; do printf '[%s]' \"$a\"; done; echo\n"
                                    "echo Name or service not known >&2\n";
        QTest::newRow("ping host lines")
                << false << hosts << recorder
                << esc("[-c][4][--][127.0.0.1]\nName or service not known\n"
                       "[-c][4][--][localhost]\nName or service not known\n"
                       "[-c][4][--][127.0.0.2]\nName or service not known\n"
                       "[-c][4][--][a;echo${IFS}x>>Linkometer.log]\nName or service not known\n"
                       "[-c][4][--][$(echo${IFS}y>>Linkometer.log)]\nName or service not known\n"
                       "[-c][4][--][`echo${IFS}z>>Linkometer.log`]\nName or service not known\n"
                       "[-c][4][--][-f]\nName or service not known\n"
                       "[-c][4][--][last]\nName or service not known\n");
        QTest::newRow("tracert host lines")
                << true << hosts << recorder
                << esc("[--][127.0.0.1]\nName or service not known\n"
                       "[--][localhost]\nName or service not known\n"
                       "[--][127.0.0.2]\nName or service not known\n"
                       "[--][a;echo${IFS}x>>Linkometer.log]\nName or service not known\n"
                       "[--][$(echo${IFS}y>>Linkometer.log)]\nName or service not known\n"
                       "[--][`echo${IFS}z>>Linkometer.log`]\nName or service not known\n"
                       "[--][-f]\nName or service not known\n"
                       "[--][last]\nName or service not known\n");
        QTest::newRow("real ping") << false << QByteArray("127.0.0.1\n") << QByteArray()
                                   << "(?s).*4 packets transmitted, 4 received.*";
        QTest::newRow("real traceroute")
                << true << QByteArray("127.0.0.1\n") << QByteArray()
                << "(?s)traceroute to 127\\.0\\.0\\.1 \\(127\\.0\\.0\\.1\\).*";
        QTest::newRow("no host list") << false << QByteArray() << QByteArray() << "";
#endif
    }

    void stage()
    {
        QFETCH(bool, trace);
        QFETCH(QByteArray, hosts);
        QFETCH(QByteArray, standIn);
        QFETCH(QString, report);
        WorkDir dir;
        QVERIFY(hosts.isEmpty() || dir.write("ipconfig.txt", hosts));
        StandIns standIns(standIn);
        QVERIFY(standIns.isValid());
        ShellProcess process;
        process.start(trace ? traceCommand(hostPlatform()) : pingCommand(hostPlatform()));
        QVERIFY(process.waitForFinished(30000));
        const QString log = QString::fromLocal8Bit(dir.read("Linkometer.log"));
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(report))
                         .match(log)
                         .hasMatch(),
                 qPrintable(log));
    }
};

QTEST_GUILESS_MAIN(tst_ShellStage)
#include "tst_shellstage.moc"
