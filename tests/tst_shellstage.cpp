#include <QtTest>

#include "Columns.h"
#include "LocalService.h"
#include "ShellStage.h"
#include "StandIns.h"
#include "WorkDir.h"

using namespace ShellStage;

// The ping stage with the real shell (sh; cmd under Wine) and ipconfig.txt as users write it,
// against a stand-in that records its arguments (none: the real command). The trace stage runs
// the same loop: the whole run of tst_window shows its command.
class tst_ShellStage : public QObject
{
    Q_OBJECT

private slots:
    void stage_data()
    {
        // report: a pattern of the whole report.
        columns<QString, QString, QString>("hosts", "standIn", "report");
#ifdef Q_OS_WIN // the stand-in program (StandIn.cpp) prints its name and its arguments
        QTest::newRow("host lines")
                << "127.0.0.1\n   localhost  more\n\n \t \n127.0.0.2\r\n-f\nlast"
                << "y"
                << esc("ping [-n][4][127.0.0.1]\nping [-n][4][localhost]\nping "
                       "[-n][4][127.0.0.2]\nping [-n][4][-f]\nping [-n][4][last]\n");
        QTest::newRow("real ping") << "127.0.0.1\n"
                                   << ""
                                   << "(?s)\\s*Pinging 127\\.0\\.0\\.1 .*Received = 4, Lost = 0.*";
#else
        // First words of lines, no comments or blank lines; data, never code or options (run, the
        // code would write to the report); standard error in order.
        QTest::newRow("host lines")
                << "127.0.0.1\n; comment\n   localhost  more\n\n \t \n127.0.0.2\r\n"
                   "a;echo${IFS}x>>Linkometer.log\n$(echo${IFS}y>>Linkometer.log)\n"
                   "`echo${IFS}z>>Linkometer.log`\n-f\nlast"
                << "for a; do printf '[%s]' \"$a\"; done; echo\n"
                   "echo Name or service not known >&2\n"
                << esc("[-c][4][--][127.0.0.1]\nName or service not known\n"
                       "[-c][4][--][localhost]\nName or service not known\n"
                       "[-c][4][--][127.0.0.2]\nName or service not known\n"
                       "[-c][4][--][a;echo${IFS}x>>Linkometer.log]\nName or service not known\n"
                       "[-c][4][--][$(echo${IFS}y>>Linkometer.log)]\nName or service not known\n"
                       "[-c][4][--][`echo${IFS}z>>Linkometer.log`]\nName or service not known\n"
                       "[-c][4][--][-f]\nName or service not known\n"
                       "[-c][4][--][last]\nName or service not known\n");
        QTest::newRow("real ping") << "127.0.0.1\n"
                                   << ""
                                   << "(?s).*4 packets transmitted, 4 received.*";
        QTest::newRow("no host list") << ""
                                      << ""
                                      << "";
#endif
    }

    void stage()
    {
        QFETCH(QString, hosts);
        QFETCH(QString, standIn);
        QFETCH(QString, report);
        WorkDir dir;
        QVERIFY(hosts.isEmpty() || dir.write("ipconfig.txt", hosts.toUtf8()));
        StandIns standIns(standIn.toUtf8());
        ShellProcess process;
        process.start(pingCommand(hostPlatform()));
        QVERIFY(process.waitForFinished(30000));
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(report))
                         .match(dir.read("Linkometer.log"))
                         .hasMatch(),
                 dir.read("Linkometer.log").constData());
    }
};

QTEST_GUILESS_MAIN(tst_ShellStage)
#include "tst_shellstage.moc"
