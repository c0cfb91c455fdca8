// BackBoardServices as the device carries it: records each termination, and a running
// application that is terminated is reported as exited.
#include <cstdint>

#include "hostsim/Device.h"

extern "C" __attribute__((visibility("default"))) void
BKSTerminateApplicationForReasonAndReportWithDescription(const char* bundleId, std::int32_t reason,
                                                         bool report, const char* description) {
  hostsim::recordTermination(bundleId != nullptr ? bundleId : "", reason, report,
                             description != nullptr ? description : "");
}
