// What a played scenario leaves behind: the timeline as one stream of events (the scenario's
// commands and checks among the device's own), what the device showed from moment to moment,
// and the summary (checks, exposure). The player feeds the recorder as the run goes; the text
// on the terminal is written as each event arrives, the JSON and the picture from the whole
// record at the end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hostsim/Timeline.h"
#include "tools/Exposure.h"
#include "tools/Scenario.h"

namespace harbrite::sim {

struct RunRecord {
  std::string scenario;                        // the scenario's name, as given
  std::vector<hostsim::TimelineEvent> events;  // in time order
  std::vector<Moment> moments;                 // from boot on, each different from the one before
  std::int64_t end = 0;                        // when the run ended
  int checks = 0;
  int failed = 0;
  Exposure exposure;  // from boot to the end
  // A command that could not run stops the run: where, and why. Empty reason: it went to the end.
  struct Stop {
    std::string file;
    int line = 0;
    std::string reason;
  };
  std::optional<Stop> stopped;
};

class RunRecorder {
 public:
  // What the device shows now, or nothing before it has booted (its time is filled in).
  using Probe = std::function<std::optional<Moment>()>;
  // `text`: where the terminal's timeline goes as it happens (null: nowhere); `quiet`: only
  // failed checks and the summary go there. `start`: the device's clock when the run begins
  // (time 0 of the record).
  RunRecorder(std::string scenario, std::FILE* text, bool quiet, Probe probe, std::int64_t start);

  // Each takes the device's clock now. The device's clock starts again at boot; the record's
  // time runs on from where it was, so that events stay in time order.
  void command(const Command& c, std::int64_t now);
  void event(const hostsim::TimelineEvent& e);
  void check(const Command& c, std::int64_t now, bool passed, const std::string& expected,
             const std::string& actual);
  // What a called function answered.
  void answered(const Command& c, std::int64_t now, const std::string& text);
  // The command could not run: the run stops here (the player says so on its error stream).
  void stopped(const Command& c, std::int64_t now, const std::string& why);
  // The run is over: measures the exposure and writes the summary (which says where and why the
  // run stopped, when it did).
  void finish(std::int64_t now);

  const RunRecord& record() const { return record_; }

 private:
  std::int64_t timeOf(std::int64_t now);
  void add(hostsim::TimelineEvent e);
  void sample(std::int64_t time);

  RunRecord record_;
  std::FILE* text_;
  bool quiet_;
  Probe probe_;
  std::int64_t lastNow_ = 0;
  std::int64_t offset_ = 0;
};

// The summary as the terminal shows it: where the run stopped, if it did; checks, then the
// exposure.
std::string summaryText(const RunRecord& record);
// "no checks", "1 check", "12 checks".
std::string countOf(int n, const char* one, const char* many);
// "1.6 s", "0.8 s", "12 min 3.5 s".
std::string formatSeconds(std::int64_t nanoseconds);
// Seconds without a unit, to the millisecond: "1.6", "0.8", "723.5".
std::string formatNumber(std::int64_t nanoseconds);

}  // namespace harbrite::sim
