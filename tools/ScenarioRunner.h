// Plays a parsed scenario on a simulated device and prints its timeline.
#pragma once

#include <cstdio>
#include <string>

#include "tools/ExitStatus.h"
#include "tools/RunRecord.h"
#include "tools/Scenario.h"

namespace harbrite::sim {

struct RunOptions {
  std::string deviceRoot;  // empty: a fresh temporary device, removed afterwards
  std::string paneBundle;  // empty: the pane this build made
  bool realTime = false;   // waits take wall-clock time (for a live demo)
  bool quiet = false;      // print failures and the summary alone
  std::string jsonFile;    // when not empty, the run is written there as JSON
  std::string svgFile;     // when not empty, the run is drawn there as SVG
};

// The timeline goes to `out`; an error that stops the run goes to `err`, naming the file and
// line. Answers kSuccess when every check passed, kCheckFailed when a check failed (the run goes
// on to the end), kBadInput when a command could not run or a report could not be written.
// `record`, when not null, receives the run's record, from which the reports are made.
int playScenario(const Scenario& scenario, const RunOptions& options, std::FILE* out,
                 std::FILE* err = stderr, RunRecord* record = nullptr);

}  // namespace harbrite::sim
