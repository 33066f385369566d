#include "RunSetup.h"

#include "DownloadMgr.h"

RunSetup RunSetup::production()
{
    RunSetup setup;
    setup.endpoints = EndpointChecks::productionTable();
    setup.pauseMsecs = EndpointChecks::PauseMsecs;
    setup.probeTimeoutMsecs = EndpointChecks::ProbeTimeoutMsecs;
    setup.downloadNoDataMsecs = DownloadMgr::NoDataTimeout;
    return setup;
}
