#include <QFile>
#include <QtTest>

#include "DownloadList.h"
#include "WorkDir.h"

class tst_DownloadList : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void readFile_data();
    void readFile();
    void readMissingFile();
    void resultText_data();
    void resultText();
};

using Entries = QVector<QString>;

void tst_DownloadList::parse_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Entries>("expected");

    const Entries two{"http://a.test/1.bin", "https://b.test/2.bin"};
    QTest::newRow("LF, blank line, last line without end")
        << QByteArray("http://a.test/1.bin\n\nhttps://b.test/2.bin") << two;
    QTest::newRow("CRLF, blank line, last line without end")
        << QByteArray("http://a.test/1.bin\r\n\r\nhttps://b.test/2.bin") << two;
    QTest::newRow("CRLF with final line end") << QByteArray("http://a.test/1.bin\r\nhttps://b.test/2.bin\r\n")
                                              << two;
    QTest::newRow("white-space-only lines skipped")
        << QByteArray(" \t \nhttp://a.test/1.bin\n\t\n   \r\nhttps://b.test/2.bin\n \n") << two;
    QTest::newRow("trimmed, inner tab becomes one blank")
        << QByteArray("   http://a.test/x\ty  \n") << Entries{"http://a.test/x y"};
    QTest::newRow("inner run of white space becomes one blank")
        << QByteArray("a \t  b\n") << Entries{"a b"};
    QTest::newRow("duplicates kept") << QByteArray("http://a.test/1.bin\nhttp://a.test/1.bin\n")
                                     << Entries{"http://a.test/1.bin", "http://a.test/1.bin"};
    QTest::newRow("no comment syntax, no second field")
        << QByteArray("# not a comment\nhttp://a.test/1.bin 2\n")
        << Entries{"# not a comment", "http://a.test/1.bin 2"};
    QTest::newRow("UTF-8 decoded") << QByteArray("http://a.test/caf\xc3\xa9.bin\n")
                                   << Entries{QStringLiteral("http://a.test/caf\u00e9.bin")};
    QTest::newRow("empty file") << QByteArray() << Entries{};
    QTest::newRow("only blank lines") << QByteArray("\n\r\n \n") << Entries{};
    QTest::newRow("long line") << QByteArray("http://a.test/" + QByteArray(100000, 'x') + "\n")
                               << Entries{QStringLiteral("http://a.test/") + QString(100000, 'x')};
}

void tst_DownloadList::parse()
{
    QFETCH(QByteArray, content);
    QFETCH(Entries, expected);
    QCOMPARE(DownloadList::parse(content), expected);
}

void tst_DownloadList::readFile_data()
{
    parse_data();
}

void tst_DownloadList::readFile()
{
    QFETCH(QByteArray, content);
    QFETCH(Entries, expected);
    WorkDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.write("downloadConfig.txt", content));
    QCOMPARE(DownloadList::read("./downloadConfig.txt"), expected);
}

void tst_DownloadList::readMissingFile()
{
    WorkDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(DownloadList::read("./downloadConfig.txt").isEmpty());
    // A directory standing at the path cannot be read as a list either.
    QVERIFY(QDir().mkdir("downloadConfig.txt"));
    QVERIFY(DownloadList::read("./downloadConfig.txt").isEmpty());
    // Nothing is reported.
    QVERIFY(!QFile::exists("Linkometer.log"));
}

void tst_DownloadList::resultText_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<float>("speed");
    QTest::addColumn<QString>("expected");

    const QString file = QStringLiteral("http://a.test/f.bin");
    QTest::newRow("6 significant digits") << file << 12.345678f
                                          << "\nfile: http://a.test/f.bin, speed 12.3457mbps\n \n";
    QTest::newRow("no trailing zeros") << file << 0.5f << "\nfile: http://a.test/f.bin, speed 0.5mbps\n \n";
    QTest::newRow("integral") << file << 2.0f << "\nfile: http://a.test/f.bin, speed 2mbps\n \n";
    QTest::newRow("zero") << file << 0.0f << "\nfile: http://a.test/f.bin, speed 0mbps\n \n";
    QTest::newRow("large, two-digit exponent") << file << 1.5e6f
                                               << "\nfile: http://a.test/f.bin, speed 1.5e+06mbps\n \n";
    QTest::newRow("small, two-digit exponent") << file << 1e-5f
                                               << "\nfile: http://a.test/f.bin, speed 1e-05mbps\n \n";
    QTest::newRow("6 digits still plain") << file << 123456.0f
                                          << "\nfile: http://a.test/f.bin, speed 123456mbps\n \n";
    QTest::newRow("widened single precision") << file << 0.1f
                                              << "\nfile: http://a.test/f.bin, speed 0.1mbps\n \n";
    QTest::newRow("percent signs in the entry stay") << QStringLiteral("http://a.test/a%20b%2.bin") << 4.0f
                                                     << "\nfile: http://a.test/a%20b%2.bin, speed 4mbps\n \n";
}

void tst_DownloadList::resultText()
{
    QFETCH(QString, entry);
    QFETCH(float, speed);
    QFETCH(QString, expected);
    QCOMPARE(DownloadList::resultText(entry, speed), expected);
}

QTEST_GUILESS_MAIN(tst_DownloadList)
#include "tst_downloadlist.moc"
