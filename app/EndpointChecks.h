#ifndef ENDPOINTCHECKS_H
#define ENDPOINTCHECKS_H

#include <QString>
#include <QVector>

#include <functional>

// The last stage of a run: one timed GET against each test URL of the
// maker's content-delivery and storage hosts, then against each of its API
// endpoints, with one report line per endpoint.
class EndpointChecks
{
public:
    // The maker's host names go in these six entries. It has not named them
    // yet, so they lie under domains reserved for examples: the tool never
    // probes a third party meanwhile.
    static const char CdnTestUrl[];
    static const char AssetTestUrl[];
    static const char BucketHttpsTestUrl[];
    static const char BucketHttpTestUrl[];
    static const char ApiEndpointUrl[];
    static const char NetworkTestUrl[];

    // The file requested below each test URL.
    static const char ResponseFile[];
    // Blocking pause after each probe.
    static const int PauseMsecs = 1000;
    // A probe that receives nothing for this long fails.
    static const int NoAnswerMsecs = 30000;

    using Predicate = std::function<bool()>;

    // The tool's endpoints, pause and bound.
    EndpointChecks();
    // Only tests point the checks elsewhere or shorten the waits.
    EndpointChecks(const QVector<QString> &testUrls, const QVector<QString> &apiEndpoints,
                   int pauseMsecs, int noAnswerMsecs);

    // Elapsed milliseconds of a GET of url (plus "/response.json" when
    // fileName is not empty) answered with status 200, otherwise -1.
    // interrupted, when given, tells a wait cut short by the application's
    // exit from an answer.
    int probeUrl(const QString &url, const QString &fileName, bool *interrupted = nullptr) const;

    // Probes every endpoint in order and appends its line to the report at
    // logPath. runActive ("is the run that started the checks still active
    // and uncancelled?") is asked before each probe: once it is false no
    // further probe runs. The line of a probe in progress is still written
    // after a cancel, unless newerRunStarted says a newer run has begun
    // meanwhile, so that nothing lands in that run's part of the report.
    // Returns true when all probes ran and the run is still active.
    bool runEndpointChecks(const QString &logPath, const Predicate &runActive,
                           const Predicate &newerRunStarted) const;

private:
    QVector<QString> m_testUrls;
    QVector<QString> m_apiEndpoints;
    int m_pauseMsecs;
    int m_noAnswerMsecs;
};

#endif // ENDPOINTCHECKS_H
