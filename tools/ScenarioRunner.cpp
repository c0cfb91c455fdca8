#include "tools/ScenarioRunner.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>

#include "dunmereprefs/Shared/FeatureStateLines.h"
#include "dunmereprefs/Shared/PreferenceValues.h"
#include "host/Platform.h"
#include "hostsim/Device.h"
#include "hostsim/DeviceSetUp.h"
#include "hostsim/Process.h"
#include "hostsim/SettingsApp.h"
#include "hostsim/Timeline.h"
#include "tools/Commands.h"
#include "tools/JsonReport.h"
#include "tools/RunRecord.h"
#include "tools/SvgReport.h"

namespace harbrite::sim {

namespace {

class Player final : public Play {
 public:
  Player(const Scenario& scenario, const RunOptions& options, std::FILE* out, std::FILE* err)
      : scenario_(scenario),
        options_(options),
        out_(out),
        err_(err),
        device_(options.deviceRoot),
        recorder_(
            scenario.file, out, options.quiet, [this] { return moment(); }, device_.now()) {
    hostsim::setTimelineSink([this](const hostsim::TimelineEvent& e) { recorder_.event(e); });
  }
  ~Player() { hostsim::setTimelineSink(nullptr); }

  int play() {
    for (const Command& c : scenario_.commands) {
      recorder_.command(c, device_.now());
      try {
        // Once the set-up is over, the device folder keeps it, for later commands on it.
        if (!setUpRecorded_ && c.entry->phase != Phase::SetUp) {
          hostsim::recordDeviceSetUp(device_.config());
          setUpRecorded_ = true;
        }
        c.entry->act(c, *this);
      } catch (const std::exception& e) {
        recorder_.stopped(c, device_.now(), e.what());
        recorder_.finish(device_.now());
        std::fflush(out_);
        std::fprintf(err_, "%s:%d: could not run: %s\n", escapeInput(c.file).c_str(), c.line,
                     escapeMessage(e.what()).c_str());
        return kBadInput;
      }
      // A message the receiver did not answer ended a simulated process, as it would end
      // SpringBoard or the Settings app on a device: the run stops there and fails.
      if (const std::optional<std::string> crash = hostsim::takeCrash()) {
        recorder_.stopped(c, device_.now(), *crash);
        recorder_.finish(device_.now());
        std::fflush(out_);
        std::fprintf(err_, "%s:%d: %s\n", escapeInput(c.file).c_str(), c.line,
                     escapeMessage(*crash).c_str());
        return kCheckFailed;
      }
    }
    recorder_.finish(device_.now());
    return recorder_.record().failed == 0 ? kSuccess : kCheckFailed;
  }

  const RunRecord& record() const { return recorder_.record(); }

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
    recorder_.check(c, device_.now(), passed, expected, actual);
  }

  void answered(const Command& c, const std::string& answer) override {
    recorder_.answered(c, device_.now(), c.operand(0) + " answered " + answer);
  }

 private:
  // What the device shows now, for the lanes of the picture and the exposure.
  std::optional<Moment> moment() const {
    if (!device_.booted()) return std::nullopt;
    Moment m;
    m.front = device_.frontApplication();
    m.vpn = device_.vpnConnected();
    m.enabled = !m.front.empty() && enabledNow(m.front);
    host::TextRead file = host::readUTF8Text(device_.featureStateFile());
    if (!file.ok) {
      m.record = Record::Absent;
    } else if (!featurestate::findFeatureLine(file.text, featurestate::kVPN)) {
      m.record = Record::NoLine;
    } else {
      m.record =
          featurestate::readFeature(file.text, featurestate::kVPN) ? Record::On : Record::Off;
    }
    return m;
  }

  // Whether the preferences file, as it is now, enables the application, by the engine's rule.
  bool enabledNow(const std::string& app) const {
    return prefs::isEnabled(host::readDictionary(device_.preferencesFile()), app.c_str());
  }

  const Scenario& scenario_;
  RunOptions options_;
  std::FILE* out_;
  std::FILE* err_;
  hostsim::Device device_;
  std::unique_ptr<hostsim::SettingsApp> settings_;
  RunRecorder recorder_;
  bool setUpRecorded_ = false;
};

// A report goes to its file, or to standard output (`out`) for "-".
bool writeReport(const std::string& file, const std::string& contents, std::FILE* out,
                 std::FILE* err) {
  if (file == "-") {
    return std::fwrite(contents.data(), 1, contents.size(), out) == contents.size() &&
           std::fflush(out) == 0;
  }
  std::ofstream report(file, std::ios::binary | std::ios::trunc);
  report << contents;
  report.close();
  if (report) return true;
  std::fprintf(err, "harbrite-sim: cannot write %s\n", quoteInput(file).c_str());
  return false;
}

}  // namespace

int playScenario(const Scenario& scenario, const RunOptions& options, std::FILE* out,
                 std::FILE* err) {
  // A report on standard output has it to itself: the timeline goes with the errors.
  const bool reportOnOut = options.jsonFile == "-" || options.svgFile == "-";
  Player player(scenario, options, reportOnOut ? err : out, err);
  int status = player.play();
  if (!options.jsonFile.empty() &&
      !writeReport(options.jsonFile, jsonReport(player.record()), out, err))
    status = kBadInput;
  if (!options.svgFile.empty() &&
      !writeReport(options.svgFile, svgReport(player.record()), out, err))
    status = kBadInput;
  return status;
}

}  // namespace harbrite::sim
