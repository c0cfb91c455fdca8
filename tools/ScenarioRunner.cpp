#include "tools/ScenarioRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

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

// ---- What a simulated process tells the run ---------------------------------------------------

// A simulated process reports what happens in it to the run over a pipe, a frame at a time: its
// length, then a kind and the kind's fields (numbers as 8 bytes, texts with their length first,
// so that any bytes pass).
class Frame {
 public:
  explicit Frame(char kind) { bytes_.push_back(kind); }

  Frame& number(std::int64_t v) {
    for (int i = 0; i < 8; ++i)
      bytes_.push_back(static_cast<char>(static_cast<std::uint64_t>(v) >> (8 * i)));
    return *this;
  }
  Frame& flag(bool b) { return number(b ? 1 : 0); }
  Frame& real(double d) {
    std::int64_t bits = 0;
    std::memcpy(&bits, &d, sizeof bits);
    return number(bits);
  }
  Frame& text(const std::string& t) {
    number(static_cast<std::int64_t>(t.size()));
    bytes_ += t;
    return *this;
  }
  Frame& moment(const std::optional<Moment>& m) {
    flag(m.has_value());
    if (m)
      text(m->front).flag(m->enabled).flag(m->vpn).number(static_cast<std::int64_t>(m->record));
    return *this;
  }
  Frame& event(const hostsim::TimelineEvent& e) {
    number(e.time).text(e.kind).text(e.text).number(static_cast<std::int64_t>(e.details.size()));
    for (const auto& [key, value] : e.details) {
      text(key).number(static_cast<std::int64_t>(value.index()));
      if (const auto* t = std::get_if<std::string>(&value)) text(*t);
      if (const auto* n = std::get_if<std::int64_t>(&value)) number(*n);
      if (const auto* d = std::get_if<double>(&value)) real(*d);
      if (const auto* b = std::get_if<bool>(&value)) flag(*b);
    }
    return *this;
  }

  // Whole, or the process ends: the run that reads it has gone.
  void send(int fd) const {
    std::string framed;
    const auto size = static_cast<std::uint32_t>(bytes_.size());
    for (int i = 0; i < 4; ++i) framed.push_back(static_cast<char>(size >> (8 * i)));
    framed += bytes_;
    for (std::size_t done = 0; done < framed.size();) {
      const ssize_t n = ::write(fd, framed.data() + done, framed.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) ::_exit(kBadInput);
      done += static_cast<std::size_t>(n);
    }
  }

 private:
  std::string bytes_;
};

// Reads a frame's fields in the order they were written.
class FrameReader {
 public:
  explicit FrameReader(std::string bytes) : b_(std::move(bytes)) {}
  char kind() { return at_ < b_.size() ? b_[at_++] : '\0'; }
  std::int64_t number() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8 && at_ < b_.size(); ++i) {
      v |= static_cast<std::uint64_t>(static_cast<unsigned char>(b_[at_++])) << (8 * i);
    }
    return static_cast<std::int64_t>(v);
  }
  bool flag() { return number() != 0; }
  double real() {
    const std::int64_t bits = number();
    double d = 0;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }
  std::string text() {
    const auto size = static_cast<std::size_t>(number());
    std::string t = b_.substr(std::min(at_, b_.size()), size);
    at_ += size;
    return t;
  }
  std::optional<Moment> moment() {
    if (!flag()) return std::nullopt;
    Moment m;
    m.front = text();
    m.enabled = flag();
    m.vpn = flag();
    m.record = static_cast<Record>(number());
    return m;
  }
  hostsim::TimelineEvent event() {
    hostsim::TimelineEvent e;
    e.time = number();
    e.kind = text();
    e.text = text();
    for (std::int64_t n = number(); n > 0 && at_ < b_.size(); --n) {
      std::string key = text();
      switch (number()) {
        case 0:
          e.details.emplace_back(std::move(key), text());
          break;
        case 1:
          e.details.emplace_back(std::move(key), number());
          break;
        case 2:
          e.details.emplace_back(std::move(key), real());
          break;
        default:
          e.details.emplace_back(std::move(key), flag());
          break;
      }
    }
    return e;
  }

 private:
  std::string b_;
  std::size_t at_ = 0;
};

bool readWhole(int fd, char* into, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::read(fd, into + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The next frame, or none at the end of the pipe.
std::optional<FrameReader> readFrame(int fd) {
  unsigned char size[4];
  if (!readWhole(fd, reinterpret_cast<char*>(size), sizeof size)) return std::nullopt;
  const std::uint32_t length =
      size[0] | (size[1] << 8) | (size[2] << 16) | (static_cast<std::uint32_t>(size[3]) << 24);
  std::string bytes(length, '\0');
  if (!readWhole(fd, bytes.data(), length)) return std::nullopt;
  return FrameReader(std::move(bytes));
}

// ---- The run ----------------------------------------------------------------------------------

// Plays a scenario. The set-up before anything happens on the device runs in this process, which
// registers nothing with the object runtime; from the first event or check on, the commands run
// in simulated processes of their own, one per boot of SpringBoard (forked from this one), each of
// which reports its timeline, checks and answers here. A restart (`respring`, `reboot`) ends the
// process, and the next one boots afresh: no class is registered twice in a process, and no
// process holds more than one engine image.
class Player final : public Play {
 public:
  Player(const Scenario& scenario, const RunOptions& options, std::FILE* out, std::FILE* err)
      : scenario_(scenario),
        options_(options),
        out_(out),
        err_(err),
        device_(options.deviceRoot),
        recorder_(
            scenario.file, out, options.quiet, [this] { return received_; }, device_.now()) {
    hostsim::setTimelineSink([this](const hostsim::TimelineEvent& e) {
      if (report_ >= 0) {
        Frame('E').event(e).moment(moment()).send(report_);
      } else {
        recorder_.event(e);
      }
    });
  }
  ~Player() { hostsim::setTimelineSink(nullptr); }

  int play() {
    const std::vector<Command>& commands = scenario_.commands;
    std::size_t i = 0;
    for (; i < commands.size() && isSetUp(commands[i]); ++i) {
      recorder_.command(commands[i], device_.now());
      try {
        act(commands[i]);
      } catch (const std::exception& e) {
        return stop(commands[i], device_.now(), e.what(),
                    "could not run: " + escapeMessage(e.what()), kBadInput);
      }
    }
    if (i == commands.size()) {
      recorder_.finish(device_.now());
      return checksStatus();
    }
    return playInProcesses(i);
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
    Frame('K')
        .number(index(c))
        .number(device_.now())
        .flag(passed)
        .text(expected)
        .text(actual)
        .moment(moment())
        .send(report_);
  }

  void answered(const Command& c, const std::string& answer) override {
    Frame('A')
        .number(index(c))
        .number(device_.now())
        .text(c.operand(0) + " answered " + answer)
        .moment(moment())
        .send(report_);
  }

  // The simulated process ends here; the run starts the next one.
  void restart(const Command& c, bool reboot) override {
    const bool vpn = device_.vpnConnected();
    if (reboot) {
      hostsim::timeline("restart",
                        "the device restarts: SpringBoard, the applications and Settings end, "
                        "the VPN connection goes down; the files stay",
                        {{"restart", std::string("reboot")}, {"vpn", false}});
    } else {
      hostsim::timeline("restart",
                        "SpringBoard restarts: the applications and Settings end with it; the "
                        "files and the VPN connection stay",
                        {{"restart", std::string("respring")}, {"vpn", vpn}});
    }
    Frame('R')
        .number(index(c))
        .flag(reboot)
        .flag(vpn && !reboot)
        .number(device_.now())
        .send(report_);
    ::_exit(0);
  }

 private:
  // Commands that describe the device or change its files, before anything happens on it.
  static bool isSetUp(const Command& c) {
    return c.entry->phase == Phase::SetUp || c.entry->phase == Phase::AnyTime;
  }

  void act(const Command& c) {
    // Once the set-up is over, the device folder keeps it, for later commands on it.
    if (!setUpRecorded_ && c.entry->phase != Phase::SetUp) {
      hostsim::recordDeviceSetUp(device_.config());
      setUpRecorded_ = true;
    }
    c.entry->act(c, *this);
  }

  std::int64_t index(const Command& c) const { return &c - scenario_.commands.data(); }

  int checksStatus() const { return recorder_.record().failed == 0 ? kSuccess : kCheckFailed; }

  int stop(const Command& c, std::int64_t now, const std::string& why, const std::string& message,
           int status) {
    recorder_.stopped(c, now, why);
    recorder_.finish(now);
    std::fflush(out_);
    std::fprintf(err_, "%s:%d: %s\n", escapeInput(c.file).c_str(), c.line, message.c_str());
    return status;
  }

  // Runs the commands from `first` on, each process until a restart, and reports here.
  int playInProcesses(std::size_t first) {
    const std::vector<Command>& commands = scenario_.commands;
    bool boot = false, vpn = false;
    std::int64_t lastNow = device_.now();
    std::size_t last = first;
    for (;;) {
      int pipe[2];
      if (::pipe2(pipe, O_CLOEXEC) != 0) {
        return stop(commands[first], lastNow, "cannot start a simulated process",
                    "cannot start a simulated process", kBadInput);
      }
      std::fflush(nullptr);
      const pid_t child = ::fork();
      if (child < 0) {
        ::close(pipe[0]);
        ::close(pipe[1]);
        return stop(commands[first], lastNow, "cannot start a simulated process",
                    "cannot start a simulated process", kBadInput);
      }
      if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::close(pipe[0]);
        report_ = pipe[1];
        runProcess(first, boot, vpn);
      }
      ::close(pipe[1]);
      std::optional<int> status;
      bool restarted = false;
      while (std::optional<FrameReader> frame = readFrame(pipe[0])) {
        switch (frame->kind()) {
          case 'C': {
            last = static_cast<std::size_t>(frame->number());
            lastNow = frame->number();
            received_ = frame->moment();
            recorder_.command(commands[last], lastNow);
            break;
          }
          case 'E': {
            const hostsim::TimelineEvent e = frame->event();
            received_ = frame->moment();
            lastNow = e.time;
            recorder_.event(e);
            break;
          }
          case 'K': {
            const auto& c = commands[static_cast<std::size_t>(frame->number())];
            lastNow = frame->number();
            const bool passed = frame->flag();
            const std::string expected = frame->text();
            const std::string actual = frame->text();
            received_ = frame->moment();
            recorder_.check(c, lastNow, passed, expected, actual);
            break;
          }
          case 'A': {
            const auto& c = commands[static_cast<std::size_t>(frame->number())];
            lastNow = frame->number();
            const std::string text = frame->text();
            received_ = frame->moment();
            recorder_.answered(c, lastNow, text);
            break;
          }
          case 'R': {
            first = static_cast<std::size_t>(frame->number()) + 1;
            frame->flag();  // a reboot; what differs is the connection, next
            vpn = frame->flag();
            lastNow = frame->number();
            boot = restarted = true;
            break;
          }
          case 'S': {
            const auto& c = commands[static_cast<std::size_t>(frame->number())];
            const std::int64_t now = frame->number();
            const std::string why = frame->text();
            const std::string message = frame->text();
            const int code = static_cast<int>(frame->number());
            status = stop(c, now, why, message, code);
            break;
          }
          case 'D':
            lastNow = frame->number();
            recorder_.finish(lastNow);
            status = checksStatus();
            break;
          default:
            break;
        }
      }
      ::close(pipe[0]);
      int wait = 0;
      while (::waitpid(child, &wait, 0) < 0 && errno == EINTR) {
      }
      if (status) return *status;
      if (restarted) continue;
      const std::string why = WIFSIGNALED(wait) ? "the simulated process ended by signal " +
                                                      std::to_string(WTERMSIG(wait))
                                                : "the simulated process ended without a word";
      return stop(commands[last], lastNow, why, why, kBadInput);
    }
  }

  // In a simulated process of its own: boots SpringBoard again after a restart, then runs the
  // commands from `first` on, reporting each; ends at a restart, a stop or the scenario's end.
  [[noreturn]] void runProcess(std::size_t first, bool boot, bool vpn) {
    const std::vector<Command>& commands = scenario_.commands;
    try {
      if (boot) device_.boot(vpn);
    } catch (const std::exception& e) {
      failed(commands[first - 1], "could not run: " + escapeMessage(e.what()), e.what(), kBadInput);
    }
    for (std::size_t i = first; i < commands.size(); ++i) {
      const Command& c = commands[i];
      Frame('C')
          .number(static_cast<std::int64_t>(i))
          .number(device_.now())
          .moment(moment())
          .send(report_);
      try {
        act(c);
      } catch (const std::exception& e) {
        failed(c, "could not run: " + escapeMessage(e.what()), e.what(), kBadInput);
      }
      // A message the receiver did not answer ended this simulated process, as it would end
      // SpringBoard or the Settings app on a device: the run stops there and fails.
      if (const std::optional<std::string> crash = hostsim::takeCrash()) {
        failed(c, escapeMessage(*crash), *crash, kCheckFailed);
      }
    }
    Frame('D').number(device_.now()).send(report_);
    ::_exit(0);
  }

  [[noreturn]] void failed(const Command& c, const std::string& message, const std::string& why,
                           int status) {
    Frame('S')
        .number(index(c))
        .number(device_.now())
        .text(why)
        .text(message)
        .number(status)
        .send(report_);
    ::_exit(0);
  }

  // What the device shows now, for the lanes of the picture and the exposure.
  std::optional<Moment> moment() const {
    if (!device_.booted()) return std::nullopt;
    Moment m;
    m.front = device_.frontApplication();
    m.vpn = device_.vpnConnected();
    m.enabled = !m.front.empty() && enabledNow(m.front);
    const host::Result<std::string> file = host::readUTF8Text(device_.featureStateFile());
    if (!file.ok()) {
      m.record = Record::Absent;
    } else if (!featurestate::findFeatureLine(file.value(), featurestate::kVPN)) {
      m.record = Record::NoLine;
    } else {
      m.record =
          featurestate::readFeature(file.value(), featurestate::kVPN) ? Record::On : Record::Off;
    }
    return m;
  }

  // Whether the preferences file, as it is now, enables the application, by the engine's rule.
  bool enabledNow(const std::string& app) const {
    host::Result<host::Dictionary> prefs = host::readDictionary(device_.preferencesFile());
    return prefs.ok() && prefs::isEnabled(std::move(prefs).value(), app.c_str());
  }

  const Scenario& scenario_;
  RunOptions options_;
  std::FILE* out_;
  std::FILE* err_;
  hostsim::Device device_;
  std::unique_ptr<hostsim::SettingsApp> settings_;
  RunRecorder recorder_;
  bool setUpRecorded_ = false;
  int report_ = -1;                 // in a simulated process: where it reports to
  std::optional<Moment> received_;  // what the device showed, as last reported
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
                 std::FILE* err, RunRecord* record) {
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
  if (record != nullptr) *record = player.record();
  return status;
}

}  // namespace harbrite::sim
