#include <QJsonDocument>
#include <QtTest>

#include "Columns.h"
#include "DownloadList.h"
#include "DownloadMgr.h"
#include "ReadSizeAttribute.h"
#include "ServerCache.h"
#include "TestSpeed.h"
#include "WorkDir.h"

// The parsers' edge cases, which whole speed tests do not reach.
class tst_Parsers : public QObject
{
    Q_OBJECT

private slots:
    void configDocument_data()
    {
        // read: error, download testlength threads, latency timeout, settings
        columns<QByteArray, QString>("body", "read");
        QTest::newRow("full") << QByteArray(
                "<?xml version='1.0'?><!-- c --><s> <?pi x?><client isp='Acme' lat='52.5' "
                "lon='-1e1'/><download testlength='10' threadsperurl='4'/><latency timeout='3'/>"
                "<key>ab<!-- c -->cd</key><download testlength='11'/></s>")
                              << R"( 11 0 3 {"client":{"isp":"Acme","lat":"52.5",)"
                                 R"("lon":"-1e1"},"download":{"testlength":"11"},"key":"abcd",)"
                                 R"("latency":{"timeout":"3"}})";
        QTest::newRow("words, and past 32 bits")
                << QByteArray("<s><client lat='north'/><download testlength='5G' "
                              "threadsperurl='4294967297'/><latency timeout='2k'/></s>")
                << R"( 705032704 1 2000 {"client":{"lat":"north"},"download":{"testlength":)"
                   R"("5G","threadsperurl":"4294967297"},"latency":{"timeout":"2k"}})";
        QTest::newRow("empty") << QByteArray() << "Empty config file 0 0 0 {}";
        QTest::newRow("no settings") << QByteArray("<s> <!-- c --> </s>")
                                     << "Config file error: No settings in the document 0 0 0 {}";
    }
    void configDocument()
    {
        QFETCH(QByteArray, body);
        const ConfigDocument doc = Client::parseConfigDocument(body);
        const ConfigDownload download = doc.download.value_or(ConfigDownload());
        QTEST(QStringLiteral("%1 %2 %3 %4 ")
                              .arg(doc.error)
                              .arg(download.testlength())
                              .arg(download.threadsperurl())
                              .arg(doc.latency.value_or(ConfigLatency()).timeout())
                      + QJsonDocument::fromVariant(doc.configs).toJson(QJsonDocument::Compact),
              "read");
    }
    void serverList_data()
    {
        // servers: name, latency file, km from 87.5 N 13.4 E
        columns<QByteArray, QString>("body", "servers");
        QTest::newRow("kept and dropped")
                << QByteArray("<a><b><c url='/' name='root'/><!-- c --><c url='u' name='no slash'/>"
                              "<c url='http://h/x/u.php' lat='-87.5' lon='-166.6' name='antipode'/>"
                              "</b><b><c url='/'/></b></a>")
                << "root /latency.txt 9748.03649974 antipode http://h/x/latency.txt "
                   "20037.5083428 ";
    }
    void serverList()
    {
        QFETCH(QByteArray, body);
        QString text;
        for (const ServerItem &s : ServerList::parseServers(body, 87.5, 13.4, &text))
            text += QStringLiteral("%1 %2 %3 ")
                            .arg(s.name(), s.latencyUrl())
                            .arg(s.distance(), 0, 'g', 12);
        QTEST(text, "servers");
    }
    void sizes()
    {
        QCOMPARE(QList<qint64>({ sizeFromText("250K"), sizeFromText("10m"), sizeFromText("5g"),
                                 sizeFromText("1.5M"), sizeFromText("-3") }),
                 QList<qint64>({ 250000, 10000000, 5000000000, 0, -3 }));
    }
    void figures()
    {
        // The speed in bits / 1024 per ms; the download's and a probe's time-outs in ms from the
        // service's seconds, the usual ones outside the sane range.
        QCOMPARE(QList<double>({ TestSpeed::downloadSpeed(1280000, 1000),
                                 TestSpeed::downloadSpeed(1, 1), TestSpeed::downloadSpeed(1, 0) }),
                 QList<double>({ 10, 0.0078125, 0 }));
        // A file's rate in MiB/s, within one millisecond as in one.
        QCOMPARE(QList<float>({ DownloadMgr::rate(1048576, 1000), DownloadMgr::rate(1048576, 0) }),
                 QList<float>({ 1, 1000 }));
        QCOMPARE(QList<int>({ TestSpeed::downloadTimeout(1), TestSpeed::downloadTimeout(3600),
                              TestSpeed::downloadTimeout(3601), TestSpeed::latencyTimeout(1),
                              TestSpeed::latencyTimeout(60), TestSpeed::latencyTimeout(61) }),
                 QList<int>({ 1000, 3600000, 10000, 1000, 60000, 2000 }));
    }
    void cache_data()
    {
        // written: the file after the servers read from it were saved back
        columns<QByteArray, QByteArray>("content", "written");
        QTest::newRow("numbers as texts")
                << QByteArray(R"([{"country":"C","distance":"1.5","host":8080,"latencyUrl":"l",)"
                              R"("latitude":"-1e2","longitude":-0.25,"name":0.5,"sponsor":"S",)"
                              R"("url":"u"}])")
                << QByteArray("[\n    {\n        \"country\": \"C\",\n        \"distance\": 1.5,\n "
                              "       \"host\": \"8080\",\n        \"latencyUrl\": \"l\",\n      "
                              "  \"latitude\": -100,\n        \"longitude\": -0.25,\n        "
                              "\"name\": \"0.5\",\n        \"sponsor\": \"S\",\n        \"url\": "
                              "\"u\"\n    }\n]\n");
        QTest::newRow("no numbers") << QByteArray(R"([{"distance":"nan","latitude":"x"}])")
                                    << QByteArray("[\n    {\n        \"country\": \"\",\n        "
                                                  "\"distance\": 0,\n        \"host\": \"\",\n   "
                                                  "     \"latencyUrl\": \"\",\n        "
                                                  "\"latitude\": 0,\n        \"longitude\": 0,\n "
                                                  "       \"name\": \"\",\n        \"sponsor\": "
                                                  "\"\",\n        \"url\": \"\"\n    }\n]\n");
        QTest::newRow("not a list: kept") << QByteArray("{}") << QByteArray("{}");
    }
    void cache()
    {
        QFETCH(QByteArray, content);
        WorkDir dir;
        QVERIFY(dir.write("c", content));
        ServerList list(nullptr);
        list.setServers(ServerCache::load("c"));
        QFETCH(QByteArray, written);
        QCOMPARE(ServerCache::save("c", &list), written != content);
        QCOMPARE(dir.read("c"), written);
        QVERIFY(!ServerCache::save("none/c", &list));
    }
    void downloadList()
    {
        WorkDir dir;
        QVERIFY(dir.write("d", "http://a/1\r\n\r\n  https://b/2 \n") && QDir().mkdir("e"));
        QCOMPARE(DownloadList::read("d") + DownloadList::read("e") + DownloadList::read("f"),
                 QVector<QString>({ "http://a/1", "https://b/2" }));
    }
};

QTEST_GUILESS_MAIN(tst_Parsers)
#include "tst_parsers.moc"
