#include "tools/ScenarioRunner.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>

#include "dunmereprefs/Shared/FeatureStateLines.h"
#include "host/Platform.h"
#include "hostsim/Device.h"
#include "hostsim/FileLayer.h"
#include "hostsim/Process.h"
#include "hostsim/SettingsApp.h"
#include "hostsim/Timeline.h"

namespace harbrite::sim {

namespace {

std::string formatTime(std::int64_t nanoseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%8.3fs", static_cast<double>(nanoseconds) / 1e9);
  return text;
}

std::optional<std::string> readBytes(const std::string& hostFile) {
  std::ifstream in(hostFile, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Player {
 public:
  Player(const Scenario& scenario, const RunOptions& options, std::FILE* out)
      : scenario_(scenario), options_(options), out_(out), device_(options.deviceRoot) {
    hostsim::setTimelineSink([this](const std::string& event) {
      std::fprintf(out_, "%s     %s\n", formatTime(device_.now()).c_str(), event.c_str());
    });
  }
  ~Player() { hostsim::setTimelineSink(nullptr); }

  int play() {
    for (const Command& c : scenario_.commands) {
      std::fprintf(out_, "%s   > %s\n", formatTime(device_.now()).c_str(), c.text.c_str());
      try {
        run(c);
      } catch (const std::exception& e) {
        report(c, std::string("could not run: ") + e.what());
        return 2;
      }
    }
    std::fprintf(out_, "%s\n",
                 failures_ == 0 ? "all checks passed"
                                : (std::to_string(failures_) + " check(s) failed").c_str());
    return failures_ == 0 ? 0 : 1;
  }

 private:
  void report(const Command& c, const std::string& message) {
    std::fprintf(out_, "%s:%d: %s\n", c.file.c_str(), c.line, message.c_str());
    std::fflush(out_);
  }

  void check(const Command& c, bool ok, const std::string& expected, const std::string& actual) {
    if (ok) return;
    ++failures_;
    report(c, "check failed: expected " + expected + ", got " + actual);
  }

  std::string prefsFile() const { return hostsim::hostPath(device_.preferencesFile()); }
  std::string stateFile() const { return hostsim::hostPath(device_.featureStateFile()); }

  hostsim::SettingsApp& settings() {
    if (!settings_) {
      if (!device_.booted()) device_.applySetUp();
      settings_ = std::make_unique<hostsim::SettingsApp>(device_.root(), options_.paneBundle);
      settings_->open();
    }
    return *settings_;
  }

  void run(const Command& c) {
    const std::string& verb = c.words[0];
    const std::string sub = c.words.size() > 1 ? c.words[1] : "";
    hostsim::DeviceConfig& config = device_.config();
    if (verb == "ios") {
      config.systemVersion = sub;
    } else if (verb == "apps") {
      config.apps.insert(config.apps.end(), c.words.begin() + 1, c.words.end());
    } else if (verb == "module") {
      if (!config.modules) config.modules.emplace();
      hostsim::ModuleSpec module{sub, false, false};
      for (std::size_t i = 2; i < c.words.size(); ++i) {
        if (c.words[i] == "vpn") module.vpn = true;
        if (c.words[i] == "inert") module.inert = true;
      }
      config.modules->push_back(module);
    } else if (verb == "libroot") {
      if (sub == "none") {
        config.libroot = hostsim::Libroot::None;
      } else if (sub == "only-jbroot-prefix") {
        config.libroot = hostsim::Libroot::OnlyJbrootPrefix;
        config.librootPrefix = c.words[2];
      } else {
        config.libroot = hostsim::Libroot::Full;
        config.librootPrefix = sub;
      }
    } else if (verb == "backboard") {
      config.backboard = false;
    } else if (verb == "prefs") {
      runPrefs(c, sub);
    } else if (verb == "state") {
      std::filesystem::create_directories(std::filesystem::path(stateFile()).parent_path());
      if (sub == "delete") {
        std::filesystem::remove(stateFile());
      } else {
        std::ofstream(stateFile(), std::ios::binary | std::ios::trunc) << c.words[2];
      }
    } else if (verb == "boot") {
      device_.boot();
    } else if (verb == "front") {
      if (sub == "home") {
        device_.frontHome();
      } else {
        device_.front(sub);
      }
    } else if (verb == "exit") {
      device_.exit(sub);
    } else if (verb == "wait") {
      device_.wait(c.nanoseconds);
    } else if (verb == "user") {
      device_.userSwitchesVPN(c.words[2] == "on");
    } else if (verb == "call") {
      void* symbol = device_.engineSymbol(sub.c_str());
      if (symbol == nullptr) throw std::runtime_error("the engine exports no " + sub);
      reinterpret_cast<void (*)()>(symbol)();
    } else if (verb == "pane") {
      if (sub == "set") {
        settings().set(c.words[2], c.value);
      } else {
        settings().resetVPN();
      }
    } else if (verb == "expect") {
      runCheck(c, sub);
    }
  }

  void runPrefs(const Command& c, const std::string& sub) {
    const std::string device = device_.preferencesFile();
    std::filesystem::create_directories(std::filesystem::path(prefsFile()).parent_path());
    if (sub == "delete") {
      std::filesystem::remove(prefsFile());
    } else if (sub == "write") {
      std::ofstream(prefsFile(), std::ios::binary | std::ios::trunc) << c.words[2];
    } else {
      host::Dictionary prefs = host::readDictionary(device).value_or(host::Dictionary{});
      if (sub == "set") {
        prefs.set(c.words[2], c.value);
      } else {
        prefs.remove(c.words[2]);
      }
      if (!host::writeDictionaryAtomically(prefs, device)) {
        throw std::runtime_error("cannot write " + device);
      }
    }
  }

  void runCheck(const Command& c, const std::string& what) {
    const std::string word = c.words.size() > 2 ? c.words[2] : "";
    if (what == "engine") {
      const std::string actual = device_.engineInstalled() ? "installed" : "inert";
      check(c, actual == word, word, actual);
    } else if (what == "exit-hook") {
      const std::string actual = device_.exitHook();
      check(c, actual == word, word, actual);
    } else if (what == "vpn") {
      const std::string actual = device_.vpnConnected() ? "on" : "off";
      check(c, actual == word, "VPN " + word, "VPN " + actual);
    } else if (what == "record") {
      host::TextRead file = host::readUTF8Text(device_.featureStateFile());
      const bool on = file.ok && featurestate::readFeature(file.text, featurestate::kVPN);
      const std::string actual = on ? "on" : "off";
      check(c, actual == word, "record " + word, "record " + actual);
    } else if (what == "state") {
      std::optional<std::string> bytes = readBytes(stateFile());
      const std::string actual = bytes ? quoteBytes(*bytes) : "absent";
      const std::string expected = c.absent ? "absent" : quoteBytes(word);
      check(c, actual == expected, "state " + expected, "state " + actual);
    } else if (what == "prefs") {
      std::optional<host::Dictionary> prefs = host::readDictionary(device_.preferencesFile());
      const host::Value* found = prefs ? prefs->find(word) : nullptr;
      const std::string actual = found != nullptr ? formatValue(*found) : "absent";
      if (c.absent) {
        check(c, found == nullptr, word + " absent", word + " = " + actual);
      } else {
        check(c, found != nullptr && *found == c.value, word + " = " + formatValue(c.value),
              found != nullptr ? word + " = " + actual : word + " absent");
      }
    } else if (what == "module") {
      std::optional<bool> selected = device_.moduleSelected(word);
      const std::string actual = !selected ? "missing" : *selected ? "selected" : "deselected";
      check(c, actual == c.words[3], word + " " + c.words[3], word + " " + actual);
    } else if (what == "terminated") {
      std::vector<std::string> actual = device_.takeTerminations();
      std::vector<std::string> expected;
      if (word != "none") expected.assign(c.words.begin() + 2, c.words.end());
      std::sort(actual.begin(), actual.end());
      std::sort(expected.begin(), expected.end());
      auto list = [](const std::vector<std::string>& ids) {
        if (ids.empty()) return std::string("none");
        std::string out;
        for (const auto& id : ids) out += (out.empty() ? "" : " ") + id;
        return out;
      };
      check(c, actual == expected, "terminated " + list(expected), "terminated " + list(actual));
    } else if (what == "log") {
      const auto& lines = hostsim::systemLogLines();
      const bool found = std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(word) != std::string::npos;
      });
      check(
          c, found, "a log line containing " + quoteBytes(word),
          lines.empty() ? std::string("no log line") : "last log line " + quoteBytes(lines.back()));
    } else if (what == "notified") {
      const auto& posted = hostsim::darwinNotificationsPosted();
      const bool found = std::find(posted.begin(), posted.end(), word) != posted.end();
      check(c, found, "Darwin notification " + word,
            posted.empty() ? std::string("none posted")
                           : std::to_string(posted.size()) + " others posted");
    }
  }

  const Scenario& scenario_;
  RunOptions options_;
  std::FILE* out_;
  hostsim::Device device_;
  std::unique_ptr<hostsim::SettingsApp> settings_;
  int failures_ = 0;
};

}  // namespace

int playScenario(const Scenario& scenario, const RunOptions& options, std::FILE* out) {
  Player player(scenario, options, out);
  return player.play();
}

}  // namespace harbrite::sim
