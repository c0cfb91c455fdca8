#include "tools/SettingsCommand.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "host/Platform.h"
#include "hostsim/Device.h"
#include "hostsim/DeviceSetUp.h"
#include "hostsim/FileLayer.h"
#include "hostsim/PlistCodec.h"
#include "hostsim/Process.h"
#include "hostsim/SettingsApp.h"
#include "hostsim/Timeline.h"
#include "tools/Scenario.h"

namespace harbrite::sim {

namespace {

constexpr const char* kPreferencesFileName = "com.quorvik.harbrite.plist";

// One line a row, as the page shows it: groups as headings, the rows of a group indented, and
// the rows that a group switch owns indented once more.
std::string describeRow(const hostsim::SettingsRow& row) {
  if (row.cell == "PSGroupCell") return "== " + row.label + " ==";
  std::string line = row.label.empty() ? "(" + row.cell + ")" : row.label;
  if (!row.key.empty()) line += "  [" + row.key + "]";
  if (row.picker) {
    std::string chosen;
    if (const host::Array* apps = row.value.asArray()) {
      for (const host::Value& app : *apps) {
        const std::string* id = app.asString();
        chosen += (chosen.empty() ? "" : ", ") + (id != nullptr ? *id : formatValue(app));
      }
    }
    line += "  picker: " + (chosen.empty() ? std::string("none chosen") : chosen);
  } else if (row.cell == "PSSwitchCell") {
    line += row.value.boolValue() ? "  on" : "  off";
  } else if (!row.value.isNone()) {
    line += "  " + formatValue(row.value);
  }
  if (row.groupSwitch) {
    line += "  (group switch";
    if (row.hidden > 0) {
      line += ", hides " + std::to_string(row.hidden) + (row.hidden == 1 ? " row" : " rows");
    }
    line += ")";
  }
  if (!row.action.empty()) line += "  (button: " + row.action + ")";
  return line;
}

// The page: each group's heading, its rows, then its footer.
void printPage(hostsim::SettingsApp& app, std::FILE* out) {
  std::string footer;
  auto endGroup = [&] {
    if (!footer.empty()) std::fprintf(out, "  -- %s\n", footer.c_str());
    footer.clear();
  };
  for (const hostsim::SettingsRow& row : app.rows()) {
    const bool group = row.cell == "PSGroupCell";
    if (group) endGroup();
    const int indent = (group ? 0 : 1) + row.depth;
    const std::string line =
        std::string(static_cast<std::size_t>(indent) * 2, ' ') + describeRow(row);
    std::fprintf(out, "%s\n", line.c_str());
    if (group) footer = row.footer;
  }
  endGroup();
}

// Watches the file layer for the preferences file being replaced: the Settings app gives the
// pane no way to say that a value's write failed, but the write is done exactly when a rename
// onto the file succeeds.
class PreferencesWriteWatch final : public hostsim::FileLayerWrapper {
 public:
  PreferencesWriteWatch()
      : FileLayerWrapper(hostsim::fileLayer()), previous_(&hostsim::fileLayer()) {
    hostsim::setFileLayer(this);
  }
  ~PreferencesWriteWatch() override {
    hostsim::setFileLayer(previous_ == &hostsim::posixFileLayer() ? nullptr : previous_);
  }
  PreferencesWriteWatch(const PreferencesWriteWatch&) = delete;
  PreferencesWriteWatch& operator=(const PreferencesWriteWatch&) = delete;

  int rename(const char* from, const char* to) override {
    const int result = FileLayerWrapper::rename(from, to);
    const char* slash = std::strrchr(to, '/');
    if (result == 0 && std::strcmp(slash != nullptr ? slash + 1 : to, kPreferencesFileName) == 0) {
      written_ = true;
    }
    return result;
  }
  bool written() const { return written_; }

 private:
  hostsim::FileLayer* previous_;
  bool written_ = false;
};

}  // namespace

host::Value settingsValue(const std::string& text) {
  try {
    return parseValue(text);
  } catch (const std::invalid_argument&) {
    // A word that starts like a VALUE of its own (date:, data:, uid:, {...}) and is not one is
    // a mistake, not a string.
    const bool typed =
        text.rfind("date:", 0) == 0 || text.rfind("data:", 0) == 0 || text.rfind("uid:", 0) == 0;
    const bool bareWord =
        !text.empty() && !typed && text.find_first_of(" \t\"[],{}") == std::string::npos;
    if (!bareWord) throw;
    return host::Value(text);
  }
}

int settingsCommand(const SettingsOptions& options, std::FILE* out, std::FILE* err) {
  using Action = SettingsOptions::Action;
  host::Value value;
  if (options.action == Action::Set) {
    try {
      value = settingsValue(options.value);
    } catch (const std::invalid_argument& e) {
      std::fprintf(err, "harbrite-sim: settings set: %s is not a value: %s\n",
                   quoteInput(options.value).c_str(), e.what());
      return kBadInput;
    }
  }

  const char* name = options.action == Action::Get        ? "settings get"
                     : options.action == Action::Set      ? "settings set"
                     : options.action == Action::ResetVPN ? "settings reset-vpn"
                                                          : "settings";
  auto badInput = [&](const std::string& why) {
    std::fprintf(err, "harbrite-sim: %s: %s\n", name, escapeOutput(why).c_str());
    return kBadInput;
  };
  const bool change = options.action == Action::Set || options.action == Action::ResetVPN;
  // A change on a throwaway device would be lost without a word.
  if (change && options.deviceRoot.empty()) {
    return badInput("a change needs --device DIR (the device whose files it changes)");
  }
  if (!options.deviceRoot.empty()) {
    struct stat info {};
    // A read never creates anything: the device must be there already.
    if (!change && ::stat(options.deviceRoot.c_str(), &info) != 0) {
      return badInput("no device at " + quoteInput(options.deviceRoot) + " (" +
                      std::strerror(errno) + ")");
    }
    try {
      hostsim::checkDeviceFolder(options.deviceRoot);
    } catch (const std::invalid_argument& e) {
      return badInput(quoteInput(options.deviceRoot) + ": " + e.what());
    }
  }

  if (options.action == Action::Get) {
    // Read where the device's pane reads: through the jbroot prefix of the device's own set-up.
    hostsim::DeviceConfig config;
    std::string root;
    if (!options.deviceRoot.empty()) {
      try {
        root = std::filesystem::canonical(options.deviceRoot).string();
        hostsim::readDeviceSetUp(root, config);
      } catch (const std::exception& e) {
        return badInput(e.what());
      }
    }
    host::Dictionary prefs;
    if (!root.empty()) {
      hostsim::setDeviceRoot(root);
      const std::string prefix =
          config.libroot == hostsim::Libroot::None ? "/var/jb" : config.librootPrefix;
      const std::string file = prefix + "/var/mobile/Library/Preferences/" + kPreferencesFileName;
      host::Result<host::Dictionary> read = host::readDictionary(file);
      hostsim::setDeviceRoot("");
      if (options.verbose) {
        std::fprintf(out, "  %s %s\n", read.ok() ? "read" : "could not read",
                     escapeOutput(file).c_str());
      }
      prefs = std::move(read).valueOr(host::Dictionary{});
    } else if (options.verbose) {
      std::fprintf(out, "  no device: nothing to read\n");
    }
    const host::Value* found = prefs.find(options.key);
    std::fprintf(out, "%s\n", found != nullptr ? formatValue(*found).c_str() : "absent");
    return kSuccess;
  }

  hostsim::Device device(options.deviceRoot);
  try {
    hostsim::readDeviceSetUp(device.root(), device.config());
  } catch (const std::invalid_argument& e) {
    return badInput(e.what());
  }
  // The device laid out as its own set-up says (libroot and its prefix included), so that the
  // pane finds its files where the device's engine does.
  device.applySetUp();

  std::string failedWrite;
  hostsim::setTimelineSink([&](const hostsim::TimelineEvent& e) {
    if (e.kind == "file" && e.text.rfind("failed to write ", 0) == 0) failedWrite = e.text;
    if (options.verbose) std::fprintf(out, "  %s\n", escapeOutput(e.text).c_str());
  });
  struct SinkOff {
    ~SinkOff() { hostsim::setTimelineSink(nullptr); }
  } sinkOff;
  hostsim::SettingsApp app(device.root());
  app.open();
  int status = kSuccess;
  if (options.action == Action::Set) {
    bool written = false;
    {
      PreferencesWriteWatch watch;
      app.set(options.key, value);
      written = watch.written();
    }
    if (!written) {
      // The pane never writes over a file it cannot read whole: when the file's bytes read but
      // hold more than can be kept, say what kept it.
      std::string bytes;
      const host::Status content =
          hostsim::readWholeFile(hostsim::hostPath(device.preferencesFile()), bytes)
              ? hostsim::readDictionaryBytes(bytes).status()
              : host::Status();
      if (content.code() == host::Status::Code::Unreadable) {
        std::fprintf(err,
                     "harbrite-sim: settings set: the preferences file is kept as it is, since "
                     "it cannot be read whole: %s\n",
                     escapeMessage(content.message()).c_str());
      } else {
        std::fprintf(err,
                     "harbrite-sim: settings set: the preferences file could not be written%s%s\n",
                     failedWrite.empty() ? "" : ": ", escapeMessage(failedWrite).c_str());
      }
      status = kCheckFailed;
    } else {
      std::fprintf(out, "%s is now %s\n", escapeOutput(options.key).c_str(),
                   formatValue(value).c_str());
    }
  } else if (options.action == Action::ResetVPN) {
    const std::size_t logged = hostsim::systemLogLines().size();
    if (!app.resetVPN()) {
      const auto& lines = hostsim::systemLogLines();
      std::fprintf(err, "harbrite-sim: settings reset-vpn: the reset answered NO%s%s\n",
                   lines.size() > logged ? ": " : "",
                   lines.size() > logged ? escapeMessage(lines.back()).c_str() : "");
      status = kCheckFailed;
    } else {
      std::fprintf(out, "the VPN's record is now off\n");
    }
  }
  // A change says what changed; the whole page comes with --verbose.
  if (!change || options.verbose) printPage(app, out);
  return status;
}

}  // namespace harbrite::sim
