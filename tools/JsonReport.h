// A run as JSON, for programs: the timeline's events in time order and the summary. The schema
// is in docs/scenarios.md.
#pragma once

#include <string>

#include "tools/RunRecord.h"

namespace harbrite::sim {

std::string jsonReport(const RunRecord& record);

}  // namespace harbrite::sim
