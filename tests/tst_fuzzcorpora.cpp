#include <QDir>
#include <QFile>
#include <QtTest>

#include "FuzzTargets.h"

// Every fuzz target on every file of its corpus: the hand-made seeds and
// each input that once broke a parser. A broken invariant aborts the
// program with its condition; the row in progress names the input.
class tst_FuzzCorpora : public QObject
{
    Q_OBJECT

private slots:
    void everyTargetHasSeeds_data();
    void everyTargetHasSeeds();
    void corpus_data();
    void corpus();
};

namespace {

using FuzzFunction = int (*)(const uint8_t *, size_t);

struct Target
{
    const char *name;
    FuzzFunction function;
};

const Target Targets[] = {
    { "configdocument", fuzzConfigDocument },
    { "serverlist", fuzzServerList },
    { "servercache", fuzzServerCache },
    { "downloadlist", fuzzDownloadList },
    { "sizetext", fuzzSizeText },
};

QDir corpusDir(const char *target)
{
    return QDir(QStringLiteral(OSP_FUZZ_CORPUS_DIR "/") + QLatin1String(target));
}

QStringList corpusFiles(const char *target)
{
    return corpusDir(target).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

} // namespace

Q_DECLARE_METATYPE(FuzzFunction)

void tst_FuzzCorpora::everyTargetHasSeeds_data()
{
    QTest::addColumn<QString>("target");
    for (const Target &target : Targets)
        QTest::newRow(target.name) << QString::fromLatin1(target.name);
}

void tst_FuzzCorpora::everyTargetHasSeeds()
{
    QFETCH(QString, target);
    QVERIFY2(!corpusFiles(qPrintable(target)).isEmpty(), qPrintable(corpusDir(qPrintable(target)).path()));
}

void tst_FuzzCorpora::corpus_data()
{
    QTest::addColumn<FuzzFunction>("function");
    QTest::addColumn<QString>("path");
    for (const Target &target : Targets) {
        const QDir dir = corpusDir(target.name);
        const QStringList files = corpusFiles(target.name);
        for (const QString &file : files) {
            QTest::newRow(qPrintable(QLatin1String(target.name) + QLatin1Char('/') + file))
                << target.function << dir.filePath(file);
        }
    }
}

void tst_FuzzCorpora::corpus()
{
    QFETCH(FuzzFunction, function);
    QFETCH(QString, path);
    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
    const QByteArray input = file.readAll();
    QCOMPARE(function(reinterpret_cast<const uint8_t *>(input.constData()), size_t(input.size())), 0);
}

QTEST_GUILESS_MAIN(tst_FuzzCorpora)
#include "tst_fuzzcorpora.moc"
