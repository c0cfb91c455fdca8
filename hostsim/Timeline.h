// What the simulated device reports as it happens: applications in front and exiting, modules
// selected, work the engine queues with a delay and what it decided, files written, methods added,
// hooks installed, notifications posted, log lines, applications terminated. One stream of
// structured events; the driver decides where they go (harbrite-sim prints them, writes them as
// JSON, draws them).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace hostsim {

// A detail's value: text, a whole number, a real or a yes/no.
using TimelineValue = std::variant<std::string, std::int64_t, double, bool>;

struct TimelineEvent {
  std::int64_t time = 0;  // simulated nanoseconds on the main queue's clock
  std::string kind;       // what sort of event: "front", "module", "file", ... (docs/scenarios.md)
  std::string text;       // one line for a person
  // What a program reading the timeline needs beyond the text, e.g. {"app", "com.example.bank"}.
  std::vector<std::pair<std::string, TimelineValue>> details;

  // The detail named `key`, or null.
  const TimelineValue* detail(std::string_view key) const;
  // The detail as text, or "" when it is missing or not text.
  std::string detailText(std::string_view key) const;
  // The detail as a yes/no, or false when it is missing or not one.
  bool detailFlag(std::string_view key) const;
  // The detail as a whole number, or `otherwise` when it is missing or not one.
  std::int64_t detailNumber(std::string_view key, std::int64_t otherwise) const;
};

using TimelineDetails = std::vector<std::pair<std::string, TimelineValue>>;

void setTimelineSink(std::function<void(const TimelineEvent&)> sink);
// Reports an event now (its time is the main queue's clock).
void timeline(std::string kind, std::string text, TimelineDetails details = {});
// Whether anyone listens; events on the system's hot paths are only described when someone does.
bool timelineActive();
// How many events have been reported so far: a driver compares two counts to learn whether
// anything happened in between.
std::uint64_t timelineCount();
template <class Describe>
void timelineLazy(const char* kind, Describe&& describe) {
  if (timelineActive()) timeline(kind, describe());
}

}  // namespace hostsim
