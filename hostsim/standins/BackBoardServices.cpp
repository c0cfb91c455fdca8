// BackBoardServices as the device carries it: records each termination, and a running
// application that is terminated is reported as exited.
#include <type_traits>

#include "host/Export.h"
#include "host/Foundation.h"
#include "host/Platform.h"
#include "hostsim/Device.h"

extern "C" HARBRITE_EXPORT void BKSTerminateApplicationForReasonAndReportWithDescription(
    host::id bundleId, int reason, host::BOOL report, host::id description) {
  hostsim::recordTermination(host::UTF8String(bundleId).value_or(""), reason, report,
                             host::UTF8String(description).value_or(""));
}

// The prototype the system looks the function up by is the one this library defines.
static_assert(std::is_same_v<decltype(&BKSTerminateApplicationForReasonAndReportWithDescription),
                             host::BKSTerminateApplicationFunction>);
