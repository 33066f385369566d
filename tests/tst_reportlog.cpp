#include <QDir>
#include <QFile>
#include <QtTest>

#include "ReportLog.h"
#include "WorkDir.h"

class tst_ReportLog : public QObject
{
    Q_OBJECT

private slots:
    void markers_data();
    void markers();
    void firstAppendCreatesLaterAppendsAdd();
    void bytesAsGiven();
    void unwritable_data();
    void unwritable();
};

void tst_ReportLog::markers_data()
{
    QTest::addColumn<QByteArray>("marker");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("separator") << QByteArray(ReportLog::SeparatorLine)
                               << QByteArray(54, '=') + '\n';
    QTest::newRow("finish") << QByteArray(ReportLog::FinishMarker)
                            << QByteArray(27, '=') + "finn" + QByteArray(27, '=') + '\n';
    QTest::newRow("cancel") << QByteArray(ReportLog::CancelMarker)
                            << QByteArray(27, '=') + "cancel" + QByteArray(27, '=') + '\n';
}

void tst_ReportLog::markers()
{
    QFETCH(QByteArray, marker);
    QFETCH(QByteArray, expected);
    WorkDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(ReportLog::appendLog(QString::fromLatin1(ReportLog::DefaultPath),
                                 QString::fromLatin1(marker)));
    QCOMPARE(dir.read("Linkometer.log"), expected);
}

void tst_ReportLog::firstAppendCreatesLaterAppendsAdd()
{
    WorkDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(!QFile::exists("Linkometer.log"));
    QVERIFY(ReportLog::appendLog("./Linkometer.log", "Test time: x \n"));
    QCOMPARE(dir.read("Linkometer.log"), QByteArray("Test time: x \n"));
    QVERIFY(ReportLog::appendLog("./Linkometer.log", QString::fromLatin1(ReportLog::SeparatorLine)));
    QCOMPARE(QFileInfo("Linkometer.log").size(), qint64(14 + 55));
    // Another writer between two appends is kept: nothing is buffered or
    // rewritten by the routine.
    {
        QFile other("Linkometer.log");
        QVERIFY(other.open(QIODevice::Append));
        other.write("shell\n");
    }
    QVERIFY(ReportLog::appendLog("./Linkometer.log", "end"));
    QCOMPARE(dir.read("Linkometer.log"),
             QByteArray("Test time: x \n") + ReportLog::SeparatorLine + "shell\nend");
}

void tst_ReportLog::bytesAsGiven()
{
    WorkDir dir;
    QVERIFY(dir.isValid());
    const QString text = QStringLiteral("a\n \nb\r\nc \xe9\n");
    QVERIFY(ReportLog::appendLog("./Linkometer.log", text));
    // No text-mode translation: line ends stay as given, no CR is added.
    QCOMPARE(dir.read("Linkometer.log"), text.toLocal8Bit());
    QVERIFY(dir.read("Linkometer.log").startsWith("a\n \nb\r\nc "));
}

void tst_ReportLog::unwritable_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("directoryAtPath");
    QTest::newRow("directory at the path") << QStringLiteral("./Linkometer.log") << true;
    QTest::newRow("missing parent folder") << QStringLiteral("./missing/Linkometer.log") << false;
}

void tst_ReportLog::unwritable()
{
    QFETCH(QString, path);
    QFETCH(bool, directoryAtPath);
    WorkDir dir;
    QVERIFY(dir.isValid());
    if (directoryAtPath)
        QVERIFY(QDir().mkdir(path));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^report not writable:"));
    QVERIFY(!ReportLog::appendLog(path, "lost\n"));
    // Nothing was written anywhere: the folder holds only what the case made.
    const QStringList entries = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    QCOMPARE(entries, directoryAtPath ? QStringList{"Linkometer.log"} : QStringList{});
    QVERIFY(!QFile::exists("missing"));
}

QTEST_GUILESS_MAIN(tst_ReportLog)
#include "tst_reportlog.moc"
