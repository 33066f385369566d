#ifndef RUNSETUP_H
#define RUNSETUP_H

#include <QString>
#include <QVector>

#include "EndpointChecks.h"

// Where a run's stages go and how long they wait. The tool always runs with
// production(); tests point a window at local services instead.
struct RunSetup
{
    // Empty means the speed-test engine's own default address.
    QString configsUrl;
    QString serversUrl;
    EndpointChecks::Table endpoints;
    int pauseMsecs = 0;
    int probeTimeoutMsecs = 0;
    int downloadNoDataMsecs = 0;

    static RunSetup production();
};

#endif // RUNSETUP_H
