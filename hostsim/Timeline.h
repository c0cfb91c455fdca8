// What the simulated device reports as it happens: methods added, hooks installed, modules
// selected, files written, notifications posted, log lines, applications terminated. The driver
// decides where the lines go (harbrite-sim prints them with the simulated time).
#pragma once

#include <functional>
#include <string>

namespace hostsim {

void setTimelineSink(std::function<void(const std::string&)> sink);
void timeline(const std::string& event);
// Whether anyone listens; events on the system's hot paths are only described when someone does.
bool timelineActive();
template <class Describe>
void timelineLazy(Describe&& describe) {
  if (timelineActive()) timeline(describe());
}

}  // namespace hostsim
