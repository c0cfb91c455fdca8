#include "hostsim/Timeline.h"

#include <utility>

namespace hostsim {

namespace {
std::function<void(const std::string&)>& sinkStorage() {
  static auto* sink = new std::function<void(const std::string&)>;
  return *sink;
}
}  // namespace

void setTimelineSink(std::function<void(const std::string&)> sink) {
  sinkStorage() = std::move(sink);
}

bool timelineActive() {
  return static_cast<bool>(sinkStorage());
}

void timeline(const std::string& event) {
  auto& sink = sinkStorage();
  if (sink) sink(event);
}

}  // namespace hostsim
