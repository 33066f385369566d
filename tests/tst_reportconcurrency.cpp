#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include "MainWindow.h"
#include "ReportLog.h"
#include "WorkDir.h"

// The report has writers in several processes at once: the window (and the
// speed test, through the same routine) and the shell of the ping and tracert
// stages. Every append must land whole and none may be lost.
class tst_ReportConcurrency : public QObject
{
    Q_OBJECT

private slots:
    void windowAndShellAppendAtOnce();
};

void tst_ReportConcurrency::windowAndShellAppendAtOnce()
{
    const int lines = 20000;
    WorkDir dir;
    QVERIFY(dir.isValid());
    MainWindow window;

    QProcess shell;
    shell.start("/bin/sh", {"-c", QStringLiteral("i=0; while [ $i -lt %1 ]; do "
                                                 "echo \"shell $i ..................................\" "
                                                 ">>Linkometer.log; i=$((i+1)); done")
                                      .arg(lines)});
    QVERIFY(shell.waitForStarted());
    const QString padding(180, QLatin1Char('w'));
    for (int i = 0; i < lines; ++i)
        window.appendLog(QStringLiteral("window %1 %2\n").arg(i).arg(padding));
    QVERIFY(shell.state() == QProcess::NotRunning || shell.waitForFinished(60000));
    QCOMPARE(shell.exitCode(), 0);

    const QList<QByteArray> report = dir.read("Linkometer.log").split('\n');
    QCOMPARE(report.size(), 2 * lines + 1);
    QCOMPARE(report.last(), QByteArray());
    const QRegularExpression shellLine("^shell (\\d+) \\.{34}$");
    const QRegularExpression windowLine(QStringLiteral("^window (\\d+) w{180}$"));
    int nextShell = 0;
    int nextWindow = 0;
    int writerChanges = 0;
    bool lastFromShell = false;
    for (int i = 0; i < report.size() - 1; ++i) {
        const QString line = QString::fromLatin1(report.at(i));
        QRegularExpressionMatch match = shellLine.match(line);
        const bool fromShell = match.hasMatch();
        if (i > 0 && fromShell != lastFromShell)
            ++writerChanges;
        lastFromShell = fromShell;
        if (fromShell) {
            QCOMPARE(match.captured(1).toInt(), nextShell++);
            continue;
        }
        match = windowLine.match(line);
        QVERIFY2(match.hasMatch(), qPrintable("torn line: " + line.left(80)));
        QCOMPARE(match.captured(1).toInt(), nextWindow++);
    }
    QCOMPARE(nextShell, lines);
    QCOMPARE(nextWindow, lines);
    // The writers really interleaved, so the check above means something.
    QVERIFY2(writerChanges > 10, qPrintable(QString::number(writerChanges)));
}

QTEST_MAIN(tst_ReportConcurrency)
#include "tst_reportconcurrency.moc"
