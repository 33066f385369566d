#include "RunSetup.h"

#include "DownloadMgr.h"

RunSetup RunSetup::production()
{
    RunSetup setup;
    setup.downloadNoDataMsecs = DownloadMgr::NoDataTimeout;
    return setup;
}
