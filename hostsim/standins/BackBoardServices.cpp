// BackBoardServices as the device carries it: records each termination, and a running
// application that is terminated is reported as exited.
#include <cstdint>

#include "host/Export.h"
#include "hostsim/Device.h"

extern "C" HARBRITE_EXPORT void BKSTerminateApplicationForReasonAndReportWithDescription(
    const char* bundleId, std::int32_t reason, bool report, const char* description) {
  hostsim::recordTermination(bundleId != nullptr ? bundleId : "", reason, report,
                             description != nullptr ? description : "");
}
