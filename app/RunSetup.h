#ifndef RUNSETUP_H
#define RUNSETUP_H

#include <QString>

#include "EndpointChecks.h"

// Where a run's stages go. The tool always runs with production(); only
// tests point a window at local services.
struct RunSetup
{
    // Empty means the speed-test engine's own default address.
    QString configsUrl;
    QString serversUrl;
    EndpointChecks endpointChecks;
    // The program that runs the ping and tracert loops; empty means the
    // platform's own shell.
    QString shell;

    static RunSetup production() { return {}; }
};

#endif // RUNSETUP_H
