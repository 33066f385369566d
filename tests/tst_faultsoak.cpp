#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

#include <functional>
#include <memory>

#include "Client.h"
#include "HttpFileServer.h"
#include "MainWindow.h"
#include "ReplyGuard.h"
#include "ReportLog.h"
#include "RunSetup.h"
#include "ServerCache.h"
#include "ServerList.h"
#include "ReportLines.h"
#include "SpeedTestService.h"
#include "TestSpeed.h"
#include "WorkDir.h"

// A soak under faults: many speed tests one after another, each against a
// local service that misbehaves in a way drawn from a fixed seed, then a few
// whole runs through the window with Cancels at random moments. Every draw is
// printed, so a failure can be replayed; OSP_SOAK_SEED picks another seed.

namespace {

const quint32 DefaultSeed = 20240611;

const QByteArray Separator(ReportLog::SeparatorLine);
const QByteArray Finish(ReportLog::FinishMarker);
const QByteArray Cancel(ReportLog::CancelMarker);
const char ReportFile[] = "Linkometer.log";

// Short bounds: no speed test of the soak may take long.
const int IdleBoundMsecs = 500;
const qint64 BodyCapBytes = 256 * 1024;
// A hang fails by this bound.
const int HangBoundMsecs = 20000;

const char StampPattern[] = "^Test time: \\d{4}-\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d{3} \\n$";

quint32 soakSeed()
{
    bool ok = false;
    const quint32 seed = qEnvironmentVariable("OSP_SOAK_SEED").toUInt(&ok);
    return ok ? seed : DefaultSeed;
}

enum Fault {
    Healthy,
    ConfigSilent,
    ConfigClosedEarly,
    ConfigGarbage,
    ConfigHuge,
    ListSilent,
    ListClosedEarly,
    ListGarbage,
    ListHuge,
    ListEmpty,
    LatencyFails,
    ServersRefuse,
    ServersCloseEarly,
    ServersSlow,
    ServerVanishes,
    FaultCount
};

enum CacheState { NoCache, StaleCache, FreshCache, FreshEmptyCache, CacheStateCount };

bool isConfigFault(int fault)
{
    return fault >= ConfigSilent && fault <= ConfigHuge;
}

bool isListFault(int fault)
{
    return fault >= ListSilent && fault <= ListHuge;
}

int variantCount(int fault)
{
    switch (fault) {
    case ConfigSilent:
    case ListSilent:
        return 2;
    case ConfigGarbage:
    case ListGarbage:
    case LatencyFails:
        return 4;
    case ConfigHuge:
    case ListHuge:
    case ServersSlow:
        return 3;
    default:
        return 1;
    }
}

QString faultText(int fault, int variant, int param)
{
    const QString doc = isConfigFault(fault) ? QStringLiteral("configuration") : QStringLiteral("server list");
    switch (fault) {
    case Healthy:
        return QStringLiteral("healthy");
    case ConfigSilent:
    case ListSilent:
        return doc + (variant == 0 ? QStringLiteral(" silent") : QStringLiteral(" stalls after its first piece"));
    case ConfigClosedEarly:
    case ListClosedEarly:
        return doc + QStringLiteral(" closed after %1 per mille of its body").arg(param);
    case ConfigGarbage:
    case ListGarbage: {
        const char *kinds[] = {"random bytes (seed %1)", "an empty body", "no settings", "an error status"};
        if (fault == ListGarbage && variant >= 2)
            return doc + (variant == 2 ? QStringLiteral(" garbage: a 404 page") : QStringLiteral(" garbage: an error status with a good body"));
        const QString kind = QString::fromLatin1(kinds[variant]);
        return doc + QStringLiteral(" garbage: ") + (variant == 0 ? kind.arg(param) : kind);
    }
    case ConfigHuge:
    case ListHuge: {
        const char *kinds[] = {"endless body", "declared body past the cap", "endless body at 1 MB/s"};
        return doc + QStringLiteral(" huge: ") + QLatin1String(kinds[variant]);
    }
    case ListEmpty:
        return QStringLiteral("server list without servers");
    case LatencyFails: {
        const char *kinds[] = {"wrong body", "404 page", "silent", "empty body"};
        return QStringLiteral("every latency probe fails: ") + QLatin1String(kinds[variant]);
    }
    case ServersRefuse:
        return QStringLiteral("test servers refuse (stopped)");
    case ServersCloseEarly:
        return QStringLiteral("test servers close each connection after %1 bytes").arg(param);
    case ServersSlow: {
        if (variant == 0)
            return QStringLiteral("test servers send %1 bytes/s").arg(param);
        if (variant == 1)
            return QStringLiteral("test servers send after %1 ms").arg(param);
        return QStringLiteral("latency files answer after %1 ms").arg(param);
    }
    case ServerVanishes:
        return QStringLiteral("chosen server vanishes %1 ms into the download").arg(param);
    default:
        return QStringLiteral("?");
    }
}

// About how long a speed test under the fault lasts, so that a release
// drawn below it lands while the test is still at work.
int typicalMsecs(int fault, int variant)
{
    switch (fault) {
    case ConfigSilent:
    case ListSilent:
        return IdleBoundMsecs;
    case ConfigHuge:
    case ListHuge:
        return variant == 2 ? 250 : 30;
    case ConfigClosedEarly:
    case ListClosedEarly:
    case ConfigGarbage:
    case ListGarbage:
    case ListEmpty:
    case ServersCloseEarly:
        return 30;
    case LatencyFails:
        return variant == 2 ? 3000 : 1000;
    case ServerVanishes:
        return 300;
    default:
        return 1000;
    }
}

QString cacheText(int cache)
{
    const char *texts[] = {"no cache", "stale cache", "fresh cache", "fresh empty cache"};
    return QLatin1String(texts[cache]);
}

QByteArray randomBytes(quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray bytes(1 + int(seed % 3000), Qt::Uninitialized);
    for (char &c : bytes)
        c = char(gen.bounded(256));
    return bytes;
}

qint64 reportSize()
{
    return QFileInfo(QString::fromLatin1(ReportFile)).size();
}

QByteArray readReport()
{
    QFile file(QString::fromLatin1(ReportFile));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Two test servers of one sponsor, the near one first: indexes 0 and 1.
bool addNearAndFar(SpeedTestService &svc, const ServerBehaviour &behaviour)
{
    ServerEntry near;
    near.lat = 52.5;
    near.lon = 13.4;
    near.sponsor = QStringLiteral("Acme");
    near.name = QStringLiteral("Near");
    ServerEntry far = near;
    far.lat = 48.1;
    far.lon = 11.6;
    far.name = QStringLiteral("Far");
    return svc.addTestServer(near, behaviour) == 0 && svc.addTestServer(far, behaviour) == 1;
}

QByteArray number(double value)
{
    return QByteArray::number(value, 'g', 6);
}

// Every signal of one TestSpeed in order. Once the test object has been
// released, any further signal is counted as a fault.
class Recorder : public QObject
{
public:
    explicit Recorder(TestSpeed *test)
        : m_test(test)
    {
        connect(test, &TestSpeed::statusChanged, this, [this] {
            note(QStringLiteral("status:%1").arg(int(m_test->status())));
            statuses << m_test->status();
        });
        connect(test, &TestSpeed::statusStringChanged, this, [this] {
            note(QStringLiteral("text:") + m_test->statusString());
            texts << m_test->statusString();
        });
        connect(test, &TestSpeed::errorChanged, this,
                [this] { note(QStringLiteral("error:%1").arg(int(m_test->error()))); });
        connect(test, &TestSpeed::errorStringChanged, this, [this] {
            note(QStringLiteral("errorString:") + m_test->errorString());
            errorTexts << m_test->errorString();
        });
        connect(test, &TestSpeed::bestServerChanged, this, [this] { note(QStringLiteral("best")); });
        connect(test, &TestSpeed::finished, this, [this] {
            note(QStringLiteral("finished"));
            ++finished;
            reportAtFinished = reportSize();
        });
        connect(test, &QObject::destroyed, this, [this] { reportAtDestruction = reportSize(); });
    }

    // As the window releases a test; bare: with the deferred deletion alone,
    // which leaves the test at work until it is carried out.
    void release(bool bare = false)
    {
        released = true;
        if (!bare)
            m_test->cancel();
        m_test->deleteLater();
    }

    QStringList events;
    QList<TestSpeed::Status> statuses;
    QStringList texts;
    QStringList errorTexts;
    int finished = 0;
    qint64 reportAtFinished = -1;
    qint64 reportAtDestruction = -1;
    bool released = false;
    QStringList afterRelease;

private:
    void note(const QString &event)
    {
        events << event;
        if (released)
            afterRelease << event;
    }

    TestSpeed *m_test;
};

// One line of a run's report: exactly these bytes, or a match of a pattern.
struct Line
{
    QByteArray exact;
    QRegularExpression pattern;
    bool endpoint = false;

    static Line is(const QByteArray &bytes, bool endpoint = false)
    {
        return {bytes, QRegularExpression(), endpoint};
    }
    static Line like(const QString &pattern, bool endpoint = false)
    {
        return {QByteArray(), QRegularExpression(pattern), endpoint};
    }
    bool matches(const QByteArray &line) const
    {
        if (pattern.pattern().isEmpty())
            return line == exact;
        return pattern.match(QString::fromLocal8Bit(line)).hasMatch();
    }
};

QString escaped(const QString &text)
{
    return QRegularExpression::escape(text);
}

// The lines a speed test has written so far are the first lines its fault
// allows, in order.
QString prefixMismatch(const QList<QByteArray> &lines, const QList<Line> &expected)
{
    if (lines.size() > expected.size())
        return QStringLiteral("%1 lines, at most %2 expected").arg(lines.size()).arg(expected.size());
    for (int i = 0; i < lines.size(); ++i) {
        if (!expected.at(i).matches(lines.at(i)))
            return QStringLiteral("line %1 is \"%2\"").arg(i).arg(QString::fromLocal8Bit(lines.at(i)));
    }
    return QString();
}

void clickButton(QPushButton *button)
{
    QTest::mouseClick(button, Qt::LeftButton);
}

enum RunMode { Complete, CancelRun, CancelThenStart, RunModeCount };

QString runModeText(int mode)
{
    const char *texts[] = {"complete", "cancel", "cancel then start at once"};
    return QLatin1String(texts[mode]);
}

// A complete run's part of the report, in the two orders the tracert
// separator and the tracert output can take (the window writes the
// separator while the command already runs).
QList<QList<Line>> completeRunOrders(const QString &fileA, const QString &fileB, const QString &testUrl,
                                     const QString &apiOk, const QString &apiFail)
{
    QList<Line> head{
        Line::like(QLatin1String(StampPattern)),
        Line::is("ISP: Acme Net \n"),
        Line::like(QStringLiteral("^Server: Acme \\((Near|Far)\\) \\n$")),
        Line::like(QStringLiteral("^Latency: \\d+ms \\n$")),
        Line::like(QStringLiteral("^Dowload: [0-9.e+-]+mbps \\n$")),
        Line::is("Loss: not available \n"),
        Line::is(Separator),
    };
    for (const QString &file : {fileA, fileB}) {
        head << Line::is(Separator) << Line::is("\n")
             << Line::like(QStringLiteral("^file: %1, speed [0-9.e+-]+mbps\\n$").arg(escaped(file)))
             << Line::is(" \n");
    }
    head << Line::is("fake ping -c 4 -- 127.0.0.1\n");
    QList<Line> tail{Line::is(Finish)};
    for (int i = 0; i < 4; ++i)
        tail << Line::like(QStringLiteral("^download file done from %1 in \\d+ ms \\n$").arg(escaped(testUrl)), true);
    tail << Line::like(QStringLiteral("^query API done from %1 in \\d+ ms \\n$").arg(escaped(apiOk)), true);
    tail << Line::is("query API fail from " + apiFail.toUtf8() + " failed \n", true);
    const Line trace = Line::is("fake traceroute -- 127.0.0.1\n");
    return {head + QList<Line>{Line::is(Separator), trace} + tail, head + QList<Line>{trace, Line::is(Separator)} + tail};
}

// Empty when the part of one run holds what its ending allows: the whole
// run; or the start of it, the cancel marker, and after a plain Cancel at
// most the line of the endpoint probe that was under way.
QString runPartMismatch(const QList<QByteArray> &lines, const QList<QList<Line>> &orders, bool cancelled,
                        bool restarted)
{
    QString why;
    for (const QList<Line> &order : orders) {
        if (!cancelled) {
            why = lines.size() == order.size() ? prefixMismatch(lines, order)
                                               : QStringLiteral("%1 lines, %2 expected").arg(lines.size()).arg(order.size());
            if (why.isEmpty())
                return why;
            continue;
        }
        const int marker = lines.indexOf(Cancel);
        if (marker < 0 || lines.count(Cancel) != 1) {
            why = QStringLiteral("%1 cancel markers").arg(lines.count(Cancel));
            continue;
        }
        why = prefixMismatch(lines.mid(0, marker), order);
        if (!why.isEmpty())
            continue;
        const QList<QByteArray> after = lines.mid(marker + 1);
        if (after.isEmpty())
            return QString();
        if (restarted || after.size() > 1 || marker >= order.size() || !order.at(marker).endpoint
            || !order.at(marker).matches(after.first())) {
            why = QStringLiteral("after the cancel marker: \"%1\"")
                      .arg(QString::fromLocal8Bit(after.join()));
            continue;
        }
        return QString();
    }
    return why;
}

// Fast stand-ins for ping and traceroute earlier on PATH: one line each and
// a short sleep, so that a Cancel can land while they run.
bool writeFakeCommands(const WorkDir &dir)
{
    if (!QDir().mkpath(dir.filePath(QStringLiteral("bin"))))
        return false;
    for (const char *name : {"ping", "traceroute"}) {
        QFile script(dir.filePath(QStringLiteral("bin/") + QLatin1String(name)));
        if (!script.open(QIODevice::WriteOnly))
            return false;
        script.write(QByteArray("#!/bin/sh\necho \"fake ") + name + " $*\"\nsleep 0.2\n");
        script.close();
        if (!script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
            return false;
    }
    return true;
}

// PATH as it was, whatever way the test leaves.
class PathGuard
{
public:
    PathGuard()
        : m_saved(qgetenv("PATH"))
    {
    }
    ~PathGuard() { qputenv("PATH", m_saved); }
    PathGuard(const PathGuard &) = delete;
    PathGuard &operator=(const PathGuard &) = delete;
    QByteArray saved() const { return m_saved; }

private:
    QByteArray m_saved;
};

} // namespace

class tst_FaultSoak : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void speedTests_data();
    void speedTests();
    void windowRuns();

private:
    void prepareCache(const SpeedTestService &svc, int cache) const;
    QList<Line> expectedLines(int fault, const TestSpeed *test) const;

    quint32 m_seed = DefaultSeed;
    QString m_cacheFile;
    std::unique_ptr<WorkDir> m_dir;
    int m_savedIdle = 0;
    qint64 m_savedCap = 0;
};

void tst_FaultSoak::initTestCase()
{
    m_seed = soakSeed();
    qInfo().noquote() << "soak seed" << m_seed << "(replay with OSP_SOAK_SEED)";
    qRegisterMetaType<QProcess::ExitStatus>();
    QStandardPaths::setTestModeEnabled(true);
    m_cacheFile = ServerCache::filePath(ServerCache::cacheDirectory());
    QVERIFY(m_cacheFile.contains(QLatin1String(".qttest")));
    QVERIFY(ServerCache::createDirectory(ServerCache::cacheDirectory()));
    m_savedIdle = ReplyGuard::idleTimeout();
    m_savedCap = ReplyGuard::bodyLimit();
    ReplyGuard::setIdleTimeoutForTesting(IdleBoundMsecs);
    ReplyGuard::setBodyLimitForTesting(BodyCapBytes);
    // One report for the whole soak: each speed test owns its slice of it.
    m_dir.reset(new WorkDir);
    QVERIFY(m_dir->isValid());
}

void tst_FaultSoak::cleanupTestCase()
{
    m_dir.reset();
    QFile::remove(m_cacheFile);
    ReplyGuard::setIdleTimeoutForTesting(m_savedIdle);
    ReplyGuard::setBodyLimitForTesting(m_savedCap);
}

// The two test servers of every speed test: Near is nearest by distance in
// the fetched list and in the cache.
void tst_FaultSoak::prepareCache(const SpeedTestService &svc, int cache) const
{
    QFile::remove(m_cacheFile);
    if (cache == NoCache)
        return;
    QList<ServerItem> items;
    if (cache != FreshEmptyCache) {
        for (int server = 0; server < svc.testServerCount(); ++server) {
            const ServerEntry entry = svc.serverEntry(server);
            ServerItem item;
            item.setLatitude(entry.lat);
            item.setLongitude(entry.lon);
            item.setDistance(server == 0 ? 12.5 : 300);
            item.setCountry(entry.country);
            item.setSponsor(entry.sponsor);
            item.setName(entry.name);
            item.setHost(svc.serverHost(server));
            item.setUrl(svc.serverUrl(server));
            item.setLatencyUrl(svc.serverLatencyUrl(server));
            items << item;
        }
    }
    QFile file(m_cacheFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    const QByteArray json = ServerCache::toJson(items);
    QCOMPARE(file.write(json), qint64(json.size()));
    QVERIFY(file.flush());
    const int daysOld = cache == StaleCache ? 8 : 0;
    QVERIFY(file.setFileTime(QDateTime::currentDateTime().addDays(-daysOld), QFileDevice::FileModificationTime));
}

// Each fault once, the rest drawn (healthy more often), in a shuffled order;
// every parameter of a speed test comes from the same generator.
void tst_FaultSoak::speedTests_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("variant");
    QTest::addColumn<int>("param");
    QTest::addColumn<int>("cache");
    QTest::addColumn<int>("threads");
    QTest::addColumn<int>("cancelMs"); // -1: not released before its end
    QTest::addColumn<bool>("bare");    // released by the deferred deletion alone

    const quint32 seed = soakSeed();
    QRandomGenerator gen(seed);
    const int total = 30;
    QList<int> faults;
    for (int fault = 0; fault < FaultCount; ++fault)
        faults << fault;
    while (faults.size() < total)
        faults << (gen.bounded(4) == 0 ? int(Healthy) : int(gen.bounded(int(FaultCount))));
    for (int i = faults.size() - 1; i > 0; --i)
        faults.swapItemsAt(i, int(gen.bounded(i + 1)));

    for (int i = 0; i < total; ++i) {
        const int fault = faults.at(i);
        const int variant = int(gen.bounded(variantCount(fault)));
        int param = 0;
        switch (fault) {
        case ConfigClosedEarly:
        case ListClosedEarly:
            param = int(gen.bounded(800));
            break;
        case ConfigGarbage:
        case ListGarbage:
            param = int(gen.bounded(1, 100000));
            break;
        case ServersCloseEarly:
            param = int(gen.bounded(1, 300000));
            break;
        case ServersSlow:
            param = variant == 0 ? int(gen.bounded(20000, 200000))
                                 : variant == 1 ? int(gen.bounded(100, 600)) : int(gen.bounded(50, 400));
            break;
        case ServerVanishes:
            param = int(gen.bounded(500));
            break;
        default:
            break;
        }
        // A server list fault needs a fetch.
        int cache = int(gen.bounded(int(CacheStateCount)));
        if (isListFault(fault) || fault == ListEmpty) {
            const int fetching[] = {NoCache, StaleCache, FreshEmptyCache};
            cache = fetching[gen.bounded(3)];
        }
        const int threads = int(gen.bounded(1, 4));
        const int cancelMs = gen.bounded(3) == 0 ? int(gen.bounded(typicalMsecs(fault, variant))) : -1;
        const bool bare = cancelMs >= 0 && gen.bounded(3) == 0;

        QString name = QStringLiteral("%1 %2, %3, %4 connection(s)")
                           .arg(i + 1, 2, 10, QLatin1Char('0'))
                           .arg(faultText(fault, variant, param), cacheText(cache))
                           .arg(threads);
        if (cancelMs >= 0)
            name += QStringLiteral(", released%1 at %2 ms").arg(bare ? QStringLiteral(" bare") : QString()).arg(cancelMs);
        QTest::newRow(qPrintable(name)) << fault << variant << param << cache << threads << cancelMs << bare;
    }
}

QList<Line> tst_FaultSoak::expectedLines(int fault, const TestSpeed *test) const
{
    QList<Line> lines{Line::like(QLatin1String(StampPattern))};
    if (isConfigFault(fault))
        return lines;
    lines << Line::is("ISP: Acme Net \n");
    if (isListFault(fault))
        return lines;
    if (fault == ListEmpty)
        return lines << Line::is("Server:  () \n") << Line::is("Latency: -1ms \n");
    const bool farOnly = fault == LatencyFails || fault == ServersRefuse;
    const QString name = farOnly ? QStringLiteral("Far") : QStringLiteral("(Near|Far)");
    lines << Line::like(QStringLiteral("^Server: Acme \\(%1\\) \\n$").arg(name));
    lines << Line::like(farOnly ? QStringLiteral("^Latency: 2147483647ms \\n$") : QStringLiteral("^Latency: \\d+ms \\n$"));
    // The speed from the downloader's own counts, once they are final.
    const Downloader *downloader = test ? test->downloader() : nullptr;
    if (downloader && downloader->status() == Downloader::Finished)
        lines << Line::is("Dowload: " + number(TestSpeed::downloadSpeed(downloader->downloadBytes64(), downloader->downloadTime())) + "mbps \n");
    else
        lines << Line::like(QStringLiteral("^Dowload: [0-9.e+-]+mbps \\n$"));
    return lines << Line::is("Loss: not available \n");
}

void tst_FaultSoak::speedTests()
{
    QFETCH(int, fault);
    QFETCH(int, variant);
    QFETCH(int, param);
    QFETCH(int, cache);
    QFETCH(int, threads);
    QFETCH(int, cancelMs);
    QFETCH(bool, bare);
    qInfo().noquote() << "speed test:" << QTest::currentDataTag();

    // The server the service saw the first download command for.
    int vanished = -1;
    SpeedTestService svc;
    QVERIFY(svc.start());
    svc.setConfigAttribute("download", "testlength", "1");
    svc.setConfigAttribute("download", "threadsperurl", QString::number(threads));
    svc.setConfigAttribute("latency", "timeout", "1");

    ServerBehaviour behaviour;
    // Paced, so that the test length, not the loopback, ends a download.
    behaviour.download.bytesPerSecond = 4000000;
    int latencyDelay = 0;
    switch (fault) {
    case LatencyFails:
        if (variant == 0)
            behaviour.latencyBody = "TEST=TEST\n";
        else if (variant == 1) {
            behaviour.http.status = 404;
            behaviour.http.body = QByteArray("missing");
        } else if (variant == 2)
            behaviour.http.silent = true;
        else
            behaviour.http.closeAfterBytes = 0;
        break;
    case ServersCloseEarly:
        behaviour.download.bytesPerSecond = 0;
        behaviour.download.closeAfterBytes = param;
        break;
    case ServersSlow:
        if (variant == 0)
            behaviour.download.bytesPerSecond = param;
        else if (variant == 1)
            behaviour.download.delayMs = param;
        else
            behaviour.http.delayMs = latencyDelay = param;
        break;
    default:
        break;
    }
    QVERIFY(addNearAndFar(svc, behaviour));
    prepareCache(svc, cache);
    if (fault == ServersRefuse) {
        svc.stopTestServer(0);
        svc.stopTestServer(1);
    }

    const QString path = isConfigFault(fault) ? QString::fromLatin1(SpeedTestService::ConfigPath)
                                              : QString::fromLatin1(SpeedTestService::ServersPath);
    const QByteArray goodBody = isConfigFault(fault) ? svc.configDocument() : svc.serversDocument();
    HttpBehaviour docFault;
    QString exactError; // the one error text this fault gives, when it is known
    const QString prefix = isConfigFault(fault) ? QStringLiteral("Config file error: ")
                                                : QStringLiteral("Server file error: ");
    const QString tooLarge = prefix + QStringLiteral("Document too large (more than %1 bytes)").arg(BodyCapBytes);
    switch (fault) {
    case ConfigSilent:
    case ListSilent:
        if (variant == 0) {
            docFault.silent = true;
        } else {
            docFault.pieces = 3;
            docFault.pieceIntervalMs = 3000;
        }
        exactError = prefix + QStringLiteral("Request timed out after 0.5 s without data");
        break;
    case ConfigClosedEarly:
    case ListClosedEarly:
        docFault.closeAfterBytes = qint64(goodBody.size()) * param / 1000;
        break;
    case ConfigGarbage:
        if (variant == 0) {
            docFault.body = randomBytes(quint32(param));
            exactError = Client::parseConfigDocument(*docFault.body).error;
        } else if (variant == 1) {
            docFault.body = QByteArray();
            exactError = QStringLiteral("Empty config file");
        } else if (variant == 2) {
            docFault.body = QByteArray("<?xml version=\"1.0\"?>\n<settings>\n<!-- nothing -->\n</settings>\n");
            exactError = QStringLiteral("Config file error: No settings in the document");
        } else {
            docFault.status = 500;
            docFault.body = goodBody;
        }
        break;
    case ListGarbage:
        if (variant <= 1) {
            docFault.body = variant == 0 ? randomBytes(quint32(param)) : QByteArray();
            QString error;
            ServerList::parseServers(*docFault.body, 52.52, 13.405, &error);
            exactError = error;
        } else if (variant == 2) {
            docFault.status = 404;
            docFault.body = QByteArray("<html><body>not here</body></html>");
        } else {
            docFault.status = 500;
            docFault.body = goodBody;
        }
        break;
    case ConfigHuge:
    case ListHuge:
        if (variant == 0) {
            docFault.endless = true;
        } else if (variant == 1) {
            docFault.body = QByteArray(int(BodyCapBytes) + 4096, ' ');
        } else {
            docFault.endless = true;
            docFault.bytesPerSecond = 1000000;
        }
        exactError = tooLarge;
        break;
    case ListEmpty:
        svc.setServersDocument("<?xml version=\"1.0\"?>\n<settings><servers></servers></settings>\n");
        break;
    default:
        break;
    }
    if (isConfigFault(fault) || isListFault(fault))
        svc.setDocumentFault(path, docFault);

    const qint64 offset = reportSize();
    auto *test = new TestSpeed(nullptr);
    QPointer<TestSpeed> alive(test);
    test->client()->setConfigsUrl(svc.configUrl());
    test->serverList()->setServersUrl(svc.serversUrl());
    Recorder recorder(test);

    // The chosen server goes away while it streams.
    if (fault == ServerVanishes) {
        connect(&svc, &SpeedTestService::downloadCommandReceived, &svc, [&svc, &vanished, param](int server) {
            if (vanished >= 0)
                return;
            vanished = server;
            QTimer::singleShot(param, &svc, [&svc, server] { svc.stopTestServer(server); });
        });
    }

    qint64 reportAtRelease = -1;
    if (cancelMs >= 0) {
        QTimer::singleShot(cancelMs, &recorder, [&] {
            if (recorder.finished > 0)
                return;
            reportAtRelease = reportSize();
            qInfo().noquote() << "released in status" << int(test->status()) << test->statusString();
            recorder.release(bare);
        });
    }

    test->start();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.finished > 0 || recorder.released, HangBoundMsecs);
    if (cancelMs >= 0 && !recorder.released)
        qInfo() << "ended before its release";

    if (recorder.released) {
        // Released before its end: gone soon, silent from the release on,
        // and nothing more in the report. Released bare, it may go on until
        // its deletion, but only along its own lines.
        QTRY_VERIFY_WITH_TIMEOUT(alive.isNull(), HangBoundMsecs);
        QTest::qWait(300);
        if (bare) {
            qInfo().noquote() << recorder.afterRelease.size() << "signals between release and deletion";
            QCOMPARE(reportSize(), recorder.reportAtDestruction);
        } else {
            QVERIFY2(recorder.afterRelease.isEmpty(), qPrintable(recorder.afterRelease.join(QLatin1String(" | "))));
            QCOMPARE(recorder.finished, 0);
            QCOMPARE(reportSize(), reportAtRelease);
        }
        const QList<QByteArray> lines = splitReportLines(readReport().mid(int(offset)));
        const QString mismatch = prefixMismatch(lines, expectedLines(fault, nullptr));
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
        QTRY_COMPARE_WITH_TIMEOUT(svc.openConnectionCount(SpeedTestService::WebHost), 0, HangBoundMsecs);
        QTRY_COMPARE_WITH_TIMEOUT(svc.openConnectionCount(0) + svc.openConnectionCount(1), 0, HangBoundMsecs);
        return;
    }

    // Ended: finished once, and it stays at one.
    QCOMPARE(recorder.finished, 1);
    QTest::qWait(200);
    QCOMPARE(recorder.finished, 1);
    QCOMPARE(test->status(), TestSpeed::FinishedStatus);
    QCOMPARE(test->statusString(), QStringLiteral("Finished"));
    QCOMPARE(recorder.texts.last(), QStringLiteral("Finished"));
    QCOMPARE(recorder.statuses.last(), TestSpeed::FinishedStatus);
    QCOMPARE(recorder.statuses.count(TestSpeed::FinishedStatus), 1);
    const int finishedAt = recorder.events.indexOf(QStringLiteral("finished"));
    QVERIFY(finishedAt > 0);
    QCOMPARE(recorder.events.at(finishedAt - 1), QStringLiteral("status:6"));
    QCOMPARE(recorder.events.value(finishedAt + 1), QStringLiteral("text:Finished"));
    // After the end only a late error text of the failed part may come.
    for (const QString &event : recorder.events.mid(finishedAt + 2))
        QVERIFY2(event.startsWith(QLatin1String("errorString:")), qPrintable(event));

    const QString configText = QStringLiteral("Retrieving configuration from server...");
    const QString listText = cache == NoCache ? QStringLiteral("Retrieving servers list from server...")
                             : cache == FreshCache ? QStringLiteral("Servers list is updated.")
                                                   : QStringLiteral("Updating servers list from server...");
    const bool fetched = cache != FreshCache;
    const QString errors = recorder.errorTexts.join(QLatin1String(" | "));

    if (isConfigFault(fault)) {
        QCOMPARE(test->error(), TestSpeed::GetConfigsError);
        QCOMPARE(recorder.statuses, QList<TestSpeed::Status>({TestSpeed::RetrievingConfiguration, TestSpeed::FinishedStatus}));
        QCOMPARE(recorder.texts, QStringList({configText, QStringLiteral("Finished")}));
        QVERIFY2(!recorder.errorTexts.isEmpty(), "no error text");
        for (const QString &text : recorder.errorTexts)
            QVERIFY2(text.startsWith(QLatin1String("Config file error: ")) || text == QLatin1String("Empty config file"),
                     qPrintable(errors));
        if (!exactError.isEmpty())
            QCOMPARE(recorder.errorTexts, QStringList({exactError}));
        if (fault == ConfigGarbage && variant == 3)
            QCOMPARE(recorder.errorTexts.size(), 1);
        if (fault == ConfigClosedEarly)
            QVERIFY2(recorder.errorTexts.first().startsWith(QLatin1String("Config file error: ")), qPrintable(errors));
        QCOMPARE(svc.connectionCount(0) + svc.connectionCount(1), 0);
    } else if (isListFault(fault)) {
        QCOMPARE(test->error(), TestSpeed::GetServerListError);
        QCOMPARE(recorder.statuses, QList<TestSpeed::Status>({TestSpeed::RetrievingConfiguration,
                                                              TestSpeed::RetrievingServerList, TestSpeed::FinishedStatus}));
        QCOMPARE(recorder.texts, QStringList({configText, listText, QStringLiteral("Finished")}));
        QVERIFY2(!recorder.errorTexts.isEmpty(), "no error text");
        for (const QString &text : recorder.errorTexts)
            QVERIFY2(text.startsWith(QLatin1String("Server file error: ")) || text.startsWith(QLatin1String("Servers file error: ")),
                     qPrintable(errors));
        if (!exactError.isEmpty())
            QCOMPARE(recorder.errorTexts, QStringList({exactError}));
        if (fault == ListGarbage && variant >= 2) {
            QCOMPARE(recorder.errorTexts.size(), 1);
            QVERIFY(recorder.errorTexts.first().startsWith(QLatin1String("Server file error: ")));
        }
        if (fault == ListClosedEarly)
            QVERIFY2(recorder.errorTexts.first().startsWith(QLatin1String("Server file error: ")), qPrintable(errors));
        QCOMPARE(svc.connectionCount(0) + svc.connectionCount(1), 0);
    } else {
        QList<TestSpeed::Status> statuses{TestSpeed::RetrievingConfiguration};
        if (fetched)
            statuses << TestSpeed::RetrievingServerList;
        statuses << TestSpeed::FindingClosestServer << TestSpeed::Downloading << TestSpeed::FinishedStatus;
        QCOMPARE(recorder.statuses, statuses);
        const QVariantMap best = test->bestServer();
        const int latency = best.value("latency").toInt();
        const QString selected = QStringLiteral("Selected server: %1 (%2) [%3km]: %4ms")
                                     .arg(best.value("sponsor").toString(), best.value("name").toString(),
                                          QString::fromLatin1(number(best.value("distance").toDouble())))
                                     .arg(latency);
        QStringList texts{configText, listText, QStringLiteral("Check latencies..."), selected,
                          QStringLiteral("Downloading...")};
        const Downloader *downloader = test->downloader();
        const double speed = TestSpeed::downloadSpeed(downloader->downloadBytes64(), downloader->downloadTime());
        if (fault != ListEmpty)
            texts << QStringLiteral("Download Speed: ") + QString::fromLatin1(number(speed)) + QStringLiteral("mbps");
        texts << QStringLiteral("Finished");
        QCOMPARE(recorder.texts, texts);

        int chosen = -1;
        for (int server = 0; server < 2; ++server) {
            if (best.value("host").toString() == svc.serverHost(server))
                chosen = server;
        }
        switch (fault) {
        case ListEmpty:
            QCOMPARE(test->error(), TestSpeed::DownloadError);
            QCOMPARE(recorder.errorTexts, QStringList({QStringLiteral("Invalid server")}));
            QCOMPARE(latency, -1);
            break;
        case LatencyFails:
            QCOMPARE(test->error(), TestSpeed::NoError);
            QVERIFY(recorder.errorTexts.isEmpty());
            QCOMPARE(latency, 2147483647);
            QCOMPARE(chosen, 1);
            QVERIFY(speed > 0);
            break;
        case ServersRefuse:
            QCOMPARE(test->error(), TestSpeed::DownloadError);
            QCOMPARE(test->errorString(), QStringLiteral("Connection refused"));
            QCOMPARE(latency, 2147483647);
            QCOMPARE(chosen, 1);
            QCOMPARE(downloader->downloadBytes64(), qint64(0));
            break;
        case ServersCloseEarly:
            QCOMPARE(test->error(), TestSpeed::DownloadError);
            QCOMPARE(test->errorString(), QStringLiteral("The remote host closed the connection"));
            QVERIFY(chosen >= 0);
            QCOMPARE(downloader->downloadBytes64(), qint64(threads) * param);
            break;
        case ServerVanishes:
            QCOMPARE(test->error(), TestSpeed::DownloadError);
            QVERIFY(!test->errorString().isEmpty());
            QCOMPARE(test->errorString(), downloader->error());
            QCOMPARE(chosen, vanished);
            break;
        default: // healthy or slow
            QCOMPARE(test->error(), TestSpeed::NoError);
            QVERIFY2(recorder.errorTexts.isEmpty(), qPrintable(errors));
            QVERIFY(chosen >= 0);
            QVERIFY2(latency >= latencyDelay && latency < 2147483647, qPrintable(QString::number(latency)));
            QVERIFY(speed > 0);
            break;
        }
        if (chosen >= 0 && fault != ServersRefuse && fault != ServerVanishes)
            QCOMPARE(svc.downloadCommandsReceived(chosen).size(), threads);
        if (fault != ServersRefuse && fault != ListEmpty) {
            QCOMPARE(svc.requestCount(SpeedTestService::LatencyPath, 0), 1);
            QCOMPARE(svc.requestCount(SpeedTestService::LatencyPath, 1), 1);
        }
    }

    // The report: this test's lines in their order, nothing after its end.
    const QList<QByteArray> lines = splitReportLines(readReport().mid(int(offset)));
    const QList<Line> expected = expectedLines(fault, test);
    QCOMPARE(lines.size(), expected.size());
    const QString mismatch = prefixMismatch(lines, expected);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    QCOMPARE(reportSize(), recorder.reportAtFinished);

    // Released as the window does; its connections all end.
    recorder.release();
    QTRY_VERIFY_WITH_TIMEOUT(alive.isNull(), HangBoundMsecs);
    QTRY_COMPARE_WITH_TIMEOUT(svc.openConnectionCount(SpeedTestService::WebHost), 0, HangBoundMsecs);
    QTRY_COMPARE_WITH_TIMEOUT(svc.openConnectionCount(0) + svc.openConnectionCount(1), 0, HangBoundMsecs);
    QCOMPARE(reportSize(), recorder.reportAtFinished);
}

// Whole runs through the real window, one after another in the same window,
// with Cancels (and Cancel then Start) at moments drawn from the seed.
void tst_FaultSoak::windowRuns()
{
    // The engine's usual bounds: this part is about the window.
    ReplyGuard::setIdleTimeoutForTesting(m_savedIdle);
    ReplyGuard::setBodyLimitForTesting(m_savedCap);
    QFile::remove(m_cacheFile);
    PathGuard path;
    WorkDir dir;
    QVERIFY(dir.isValid());

    SpeedTestService speed;
    QVERIFY(speed.start());
    speed.setConfigAttribute("download", "testlength", "1");
    speed.setConfigAttribute("download", "threadsperurl", "2");
    speed.setConfigAttribute("latency", "timeout", "1");
    ServerBehaviour paced;
    paced.download.bytesPerSecond = 4000000;
    QVERIFY(addNearAndFar(speed, paced));

    HttpFileServer files;
    QVERIFY(files.listenHttp());
    HttpRoute fileA;
    fileA.generatedSize = 64 * 1024;
    fileA.chunkBytes = 4096;
    fileA.chunkIntervalMsecs = 10;
    files.setRoute(QStringLiteral("/a.bin"), fileA);
    HttpRoute fileB = fileA;
    fileB.generatedSize = 96 * 1024;
    files.setRoute(QStringLiteral("/b.bin"), fileB);

    HttpFileServer endpoints;
    QVERIFY(endpoints.listenHttp());
    HttpRoute ok;
    ok.body = "{}";
    ok.delayMsecs = 30;
    endpoints.setRoute(QStringLiteral("/test/response.json"), ok);
    endpoints.setRoute(QStringLiteral("/orvana-admin/network/test"), ok);
    // "/network/test" is not served: that endpoint fails.
    const QString testUrl = endpoints.url(QStringLiteral("/test"));
    const QString apiOk = endpoints.url(QStringLiteral("/orvana-admin/network/test"));
    const QString apiFail = endpoints.url(QStringLiteral("/network/test"));

    QVERIFY(writeFakeCommands(dir));
    qputenv("PATH", dir.filePath(QStringLiteral("bin")).toLocal8Bit() + ':' + path.saved());
    QVERIFY(dir.write(QStringLiteral("ipconfig.txt"), "127.0.0.1\n"));

    MainWindow window;
    RunSetup setup = RunSetup::production();
    setup.configsUrl = speed.configUrl();
    setup.serversUrl = speed.serversUrl();
    setup.endpointChecks = EndpointChecks({testUrl, testUrl, testUrl, testUrl}, {apiOk, apiFail}, 10, 5000);
    setup.downloadNoDataMsecs = 5000;
    window.setRunSetup(setup);
    window.show();
    QPushButton *start = window.findChild<QPushButton *>(QStringLiteral("button_start"));
    QLabel *label = window.findChild<QLabel *>(QStringLiteral("label_message"));
    QVERIFY(start && label);

    // Each ending once; the last run completes.
    QRandomGenerator gen(m_seed ^ 0x9e3779b9u);
    const int runCount = 6;
    QList<int> modes{Complete, CancelRun, CancelThenStart};
    while (modes.size() < runCount - 1)
        modes << int(gen.bounded(int(RunModeCount)));
    for (int i = modes.size() - 1; i > 0; --i)
        modes.swapItemsAt(i, int(gen.bounded(i + 1)));
    modes << Complete;
    QVector<int> delays;
    for (int run = 0; run < runCount; ++run)
        delays << int(gen.bounded(2200));

    QVector<qint64> offsets(runCount, -1);
    QVector<bool> cancelled(runCount, false);
    // Unique file addresses per run, so that every result line names its run.
    auto fileUrl = [&files](const char *name, int run) {
        return files.url(QStringLiteral("/%1.bin?run=%2").arg(QLatin1String(name)).arg(run));
    };
    auto startRun = [&](int run) {
        dir.write(QStringLiteral("downloadConfig.txt"),
                  (fileUrl("a", run) + QLatin1Char('\n') + fileUrl("b", run) + QLatin1Char('\n')).toUtf8());
        offsets[run] = reportSize();
        clickButton(start);
    };

    for (int run = 0; run < runCount; ++run) {
        const int mode = modes.at(run);
        qInfo().noquote() << QStringLiteral("window run %1: %2").arg(run + 1).arg(runModeText(mode))
                          << (mode == Complete ? QString() : QStringLiteral("at %1 ms").arg(delays.at(run)));
        if (offsets.at(run) < 0)
            startRun(run);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(start->text(), QStringLiteral("Cancel"));
        if (mode != Complete) {
            bool fired = false;
            QTimer::singleShot(delays.at(run), &window, [&, run, mode] {
                fired = true;
                // The run may have ended first.
                if (start->text() != QLatin1String("Cancel"))
                    return;
                const QList<QByteArray> written = splitReportLines(readReport().mid(int(offsets.at(run))));
                qInfo().noquote() << "cancel while" << label->text() << "after"
                                  << QString::fromLocal8Bit(written.value(written.size() - 1)).trimmed();
                cancelled[run] = true;
                clickButton(start);
                if (mode == CancelThenStart)
                    startRun(run + 1);
            });
            QTRY_VERIFY_WITH_TIMEOUT(fired, 30000);
        }
        if (!cancelled.at(run)) {
            QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("Finished Test. Export Report to us"), 30000);
            QCOMPARE(start->text(), QStringLiteral("Start Test"));
            qInfo() << "ended after" << clock.elapsed() << "ms";
        } else if (mode == CancelRun) {
            QCOMPARE(label->text(), QStringLiteral("Start to test your internet speed"));
            QCOMPARE(start->text(), QStringLiteral("Start Test"));
            // A probe under way at the Cancel still writes its line.
            QTest::qWait(200);
        }
    }
    QCOMPARE(start->text(), QStringLiteral("Start Test"));
    QCOMPARE(label->text(), QStringLiteral("Finished Test. Export Report to us"));
    const qint64 atEnd = reportSize();
    QTest::qWait(500);
    QCOMPARE(reportSize(), atEnd);

    const QByteArray report = readReport();
    for (int run = 0; run < runCount; ++run) {
        const qint64 end = run + 1 < runCount ? offsets.at(run + 1) : report.size();
        const QByteArray part = report.mid(int(offsets.at(run)), int(end - offsets.at(run)));
        QVERIFY2(part.startsWith("Test time: "), qPrintable(QStringLiteral("run %1").arg(run + 1)));
        QCOMPARE(part.count("Test time: "), 1);
        const QList<QList<Line>> orders = completeRunOrders(fileUrl("a", run), fileUrl("b", run), testUrl, apiOk, apiFail);
        const QString mismatch = runPartMismatch(splitReportLines(part), orders, cancelled.at(run),
                                                 modes.at(run) == CancelThenStart);
        QVERIFY2(mismatch.isEmpty(), qPrintable(QStringLiteral("run %1: %2\n%3").arg(run + 1).arg(mismatch,
                                                                                                  QString::fromLocal8Bit(part))));
    }
    int cancels = 0;
    for (bool c : cancelled)
        cancels += c;
    QCOMPARE(report.count(Cancel), cancels);
}

QTEST_MAIN(tst_FaultSoak)
#include "tst_faultsoak.moc"
