// Plays a parsed scenario on a simulated device and prints its timeline.
#pragma once

#include <cstdio>
#include <string>

#include "tools/Scenario.h"

namespace harbrite::sim {

struct RunOptions {
  std::string deviceRoot;  // empty: a fresh temporary device, removed afterwards
  std::string paneBundle;  // empty: the pane this build made
  bool realTime = false;   // waits take wall-clock time (for a live demo)
};

// 0 when every check passed, 1 when a check failed, 2 when a command could not run.
int playScenario(const Scenario& scenario, const RunOptions& options, std::FILE* out);

}  // namespace harbrite::sim
