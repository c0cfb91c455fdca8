#include "tools/ScenarioRunner.h"

#include <cstdio>
#include <memory>

#include "hostsim/Device.h"
#include "hostsim/SettingsApp.h"
#include "hostsim/Timeline.h"
#include "tools/Commands.h"

namespace harbrite::sim {

namespace {

std::string formatTime(std::int64_t nanoseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%8.3fs", static_cast<double>(nanoseconds) / 1e9);
  return text;
}

// What the player tells whoever shows the run.
enum class Report {
  CommandStarted,  // text: the command as written
  Effect,          // text: what the device reports
  CheckPassed,     // text: the check, found as expected
  CheckFailed,     // text: what was expected and what was found
  Answered,        // text: what a called function answered
  Stopped,         // text: why the command could not run
};

class Player final : public Play {
 public:
  Player(const Scenario& scenario, const RunOptions& options, std::FILE* out, std::FILE* err)
      : scenario_(scenario), options_(options), out_(out), err_(err), device_(options.deviceRoot) {
    hostsim::setTimelineSink(
        [this](const std::string& event) { report(Report::Effect, nullptr, event); });
  }
  ~Player() { hostsim::setTimelineSink(nullptr); }

  int play() {
    for (const Command& c : scenario_.commands) {
      report(Report::CommandStarted, &c, c.text);
      try {
        c.spec->act(c, *this);
      } catch (const std::exception& e) {
        report(Report::Stopped, &c, e.what());
        return kBadInput;
      }
    }
    std::fprintf(out_, "%s\n",
                 failures_ == 0 ? "all checks passed"
                                : (std::to_string(failures_) + " check(s) failed").c_str());
    return failures_ == 0 ? kSuccess : kCheckFailed;
  }

  hostsim::Device& device() override { return device_; }

  hostsim::SettingsApp& settings() override {
    if (!settings_) {
      if (!device_.booted()) device_.applySetUp();
      settings_ = std::make_unique<hostsim::SettingsApp>(device_.root(), options_.paneBundle);
      settings_->open();
    }
    return *settings_;
  }

  void checked(const Command& c, bool passed, const std::string& expected,
               const std::string& actual) override {
    if (passed) {
      // The check as written, without its "expect": what was found is what it says.
      report(Report::CheckPassed, &c, c.text.substr(c.text.find(' ') + 1));
    } else {
      ++failures_;
      report(Report::CheckFailed, &c, "expected " + expected + ", got " + actual);
    }
  }

  void answered(const Command& c, const std::string& answer) override {
    report(Report::Answered, &c, c.operand(0) + " answered " + answer);
  }

 private:
  // The one place where the run meets its output.
  void report(Report kind, const Command* c, const std::string& text) {
    const std::string time = formatTime(device_.now());
    switch (kind) {
      case Report::CommandStarted:
        if (!options_.quiet) std::fprintf(out_, "%s   > %s\n", time.c_str(), text.c_str());
        break;
      case Report::Effect:
      case Report::Answered:
        if (!options_.quiet) std::fprintf(out_, "%s     %s\n", time.c_str(), text.c_str());
        break;
      case Report::CheckPassed:
        if (!options_.quiet) std::fprintf(out_, "%s     ok: %s\n", time.c_str(), text.c_str());
        break;
      case Report::CheckFailed:
        std::fprintf(out_, "%s:%d: check failed: %s\n", escapeInput(c->file).c_str(), c->line,
                     text.c_str());
        break;
      case Report::Stopped:
        std::fflush(out_);
        std::fprintf(err_, "%s:%d: could not run: %s\n", escapeInput(c->file).c_str(), c->line,
                     escapeInput(text, 400).c_str());
        break;
    }
  }

  const Scenario& scenario_;
  RunOptions options_;
  std::FILE* out_;
  std::FILE* err_;
  hostsim::Device device_;
  std::unique_ptr<hostsim::SettingsApp> settings_;
  int failures_ = 0;
};

}  // namespace

int playScenario(const Scenario& scenario, const RunOptions& options, std::FILE* out,
                 std::FILE* err) {
  Player player(scenario, options, out, err);
  return player.play();
}

}  // namespace harbrite::sim
