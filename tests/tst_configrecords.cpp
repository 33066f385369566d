#include <QDomDocument>
#include <QDomElement>
#include <QtTest>

#include "ConfigClient.h"
#include "ConfigDownload.h"
#include "ConfigLatency.h"
#include "ReadSizeAttribute.h"

class tst_ConfigRecords : public QObject
{
    Q_OBJECT

private slots:
    void sizeText_data();
    void sizeText();
    void defaultRecords();
    void emptyElement();
    void client_data();
    void client();
    void download();
    void latency();
    void lowBitsOfLargeSizes_data();
    void lowBitsOfLargeSizes();
    void copiesAreIndependent();
};

void tst_ConfigRecords::sizeText_data()
{
    QTest::addColumn<QString>("element");
    QTest::addColumn<qint64>("expected");
    QTest::newRow("plain") << "<e v='100'/>" << qint64(100);
    QTest::newRow("K") << "<e v='250K'/>" << qint64(250000);
    QTest::newRow("k lower") << "<e v='250k'/>" << qint64(250000);
    QTest::newRow("M") << "<e v='10M'/>" << qint64(10000000);
    QTest::newRow("m lower") << "<e v='10m'/>" << qint64(10000000);
    QTest::newRow("G") << "<e v='1G'/>" << qint64(1000000000);
    QTest::newRow("g lower") << "<e v='2g'/>" << qint64(2000000000);
    QTest::newRow("letter inside") << "<e v='1k5'/>" << qint64(10005);
    QTest::newRow("letters only") << "<e v='KM'/>" << qint64(0);
    QTest::newRow("fraction") << "<e v='1.5M'/>" << qint64(0);
    QTest::newRow("two-letter unit") << "<e v='10MB'/>" << qint64(0);
    QTest::newRow("word") << "<e v='fast'/>" << qint64(0);
    QTest::newRow("negative") << "<e v='-3'/>" << qint64(-3);
    QTest::newRow("empty") << "<e v=''/>" << qint64(0);
    QTest::newRow("missing") << "<e w='5'/>" << qint64(0);
    QTest::newRow("beyond 32 bits") << "<e v='5G'/>" << qint64(5000000000LL);
    QTest::newRow("beyond 64 bits") << "<e v='100000000000G'/>" << qint64(0);
}

void tst_ConfigRecords::sizeText()
{
    QFETCH(QString, element);
    QFETCH(qint64, expected);
    QDomDocument doc;
    QVERIFY(doc.setContent(element));
    QCOMPARE(readSizeAttribute(doc.documentElement().attributes(), "v"), expected);
    QCOMPARE(sizeFromText(doc.documentElement().attribute("v")), expected);
}

void tst_ConfigRecords::defaultRecords()
{
    const ConfigClient c;
    QVERIFY(c.ip().isNull());
    QVERIFY(c.isp().isNull());
    QCOMPARE(c.lat(), 0.0);
    QCOMPARE(c.lon(), 0.0);
    QCOMPARE(c.rating(), 0.0);
    QCOMPARE(c.isprating(), 0.0);
    QCOMPARE(c.ispdlavg(), 0.0);
    QCOMPARE(c.ispulavg(), 0.0);
    const ConfigDownload d;
    QCOMPARE(d.testlength(), 0);
    QCOMPARE(d.initialtest(), qint64(0));
    QCOMPARE(d.mintestsize(), qint64(0));
    QCOMPARE(d.threadsperurl(), 0);
    const ConfigLatency l;
    QCOMPARE(l.testlength(), 0);
    QCOMPARE(l.waittime(), 0);
    QCOMPARE(l.timeout(), 0);
}

void tst_ConfigRecords::emptyElement()
{
    QDomDocument doc;
    QVERIFY(doc.setContent(QByteArray("<client/>")));
    const QDomNamedNodeMap none = doc.documentElement().attributes();
    const ConfigClient c(none);
    QVERIFY(c.ip().isEmpty());
    QVERIFY(c.isp().isEmpty());
    QCOMPARE(c.lat(), 0.0);
    QCOMPARE(c.ispulavg(), 0.0);
    const ConfigDownload d(none);
    QCOMPARE(d.testlength(), 0);
    QCOMPARE(d.mintestsize(), qint64(0));
    const ConfigLatency l(none);
    QCOMPARE(l.timeout(), 0);
}

void tst_ConfigRecords::client_data()
{
    QTest::addColumn<QString>("lat");
    QTest::addColumn<double>("expected");
    QTest::newRow("decimal") << "52.5" << 52.5;
    QTest::newRow("negative") << "-33.8688" << -33.8688;
    QTest::newRow("word") << "north" << 0.0;
    QTest::newRow("comma decimal") << "52,5" << 0.0;
    QTest::newRow("empty") << "" << 0.0;
}

void tst_ConfigRecords::client()
{
    QFETCH(QString, lat);
    QFETCH(double, expected);
    QDomDocument doc;
    QVERIFY(doc.setContent(QStringLiteral("<client ip='203.0.113.7' lat='%1' lon='13.405' rating='0'"
                                          " isp='Acme &amp; Co' isprating='3.7' ispdlavg='41032'"
                                          " ispulavg='9811.5' extra='x'/>").arg(lat)));
    const ConfigClient c(doc.documentElement().attributes());
    QCOMPARE(c.ip(), QString("203.0.113.7"));
    QCOMPARE(c.lat(), expected);
    QCOMPARE(c.lon(), 13.405);
    QCOMPARE(c.rating(), 0.0);
    QCOMPARE(c.isp(), QString("Acme & Co"));
    QCOMPARE(c.isprating(), 3.7);
    QCOMPARE(c.ispdlavg(), 41032.0);
    QCOMPARE(c.ispulavg(), 9811.5);
}

void tst_ConfigRecords::download()
{
    QDomDocument doc;
    QVERIFY(doc.setContent(QByteArray("<download testlength='10' initialtest='250K'"
                                      " mintestsize='10m' threadsperurl='4'/>")));
    const ConfigDownload d(doc.documentElement().attributes());
    QCOMPARE(d.testlength(), 10);
    QCOMPARE(d.initialtest(), qint64(250000));
    QCOMPARE(d.mintestsize(), qint64(10000000));
    QCOMPARE(d.threadsperurl(), 4);
}

void tst_ConfigRecords::latency()
{
    QDomDocument doc;
    QVERIFY(doc.setContent(QByteArray("<latency testlength='10' waittime='50' timeout='2k'/>")));
    const ConfigLatency l(doc.documentElement().attributes());
    QCOMPARE(l.testlength(), 10);
    QCOMPARE(l.waittime(), 50);
    // Every field follows the size rule, whatever it means.
    QCOMPARE(l.timeout(), 2000);
}

void tst_ConfigRecords::lowBitsOfLargeSizes_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<qint32>("expected");
    QTest::newRow("5G") << "5G" << qint32(705032704);            // 5e9 - 2^32
    QTest::newRow("3G") << "3G" << qint32(-1294967296);          // 3e9 - 2^32
    QTest::newRow("4294967296") << "4294967296" << qint32(0);    // 2^32
    QTest::newRow("4294967297") << "4294967297" << qint32(1);
    QTest::newRow("2147483647") << "2147483647" << qint32(2147483647);
}

void tst_ConfigRecords::lowBitsOfLargeSizes()
{
    QFETCH(QString, value);
    QFETCH(qint32, expected);
    QDomDocument doc;
    QVERIFY(doc.setContent(QStringLiteral("<e testlength='%1' threadsperurl='%1' waittime='%1'"
                                          " timeout='%1' initialtest='%1'/>").arg(value)));
    const QDomNamedNodeMap a = doc.documentElement().attributes();
    const ConfigDownload d(a);
    QCOMPARE(d.testlength(), expected);
    QCOMPARE(d.threadsperurl(), expected);
    QCOMPARE(d.initialtest(), readSizeAttribute(a, "initialtest")); // 64-bit field keeps it all
    const ConfigLatency l(a);
    QCOMPARE(l.testlength(), expected);
    QCOMPARE(l.waittime(), expected);
    QCOMPARE(l.timeout(), expected);
}

void tst_ConfigRecords::copiesAreIndependent()
{
    QDomDocument first;
    QVERIFY(first.setContent(QByteArray("<client ip='1.2.3.4' isp='First' lat='1'/>")));
    QDomDocument second;
    QVERIFY(second.setContent(QByteArray("<client ip='5.6.7.8' isp='Second' lat='2'/>")));
    ConfigClient source(first.documentElement().attributes());
    const ConfigClient copy(source);
    ConfigClient assigned;
    assigned = source;
    source = ConfigClient(second.documentElement().attributes());
    QCOMPARE(source.isp(), QString("Second"));
    for (const ConfigClient *c : { &copy, static_cast<const ConfigClient *>(&assigned) }) {
        QCOMPARE(c->isp(), QString("First"));
        QCOMPARE(c->ip(), QString("1.2.3.4"));
        QCOMPARE(c->lat(), 1.0);
    }

    QDomDocument download;
    QVERIFY(download.setContent(QByteArray("<download testlength='7'/>")));
    ConfigDownload d(download.documentElement().attributes());
    const ConfigDownload dCopy(d);
    d = ConfigDownload();
    QCOMPARE(dCopy.testlength(), 7);
    QCOMPARE(d.testlength(), 0);
}

QTEST_GUILESS_MAIN(tst_ConfigRecords)
#include "tst_configrecords.moc"
