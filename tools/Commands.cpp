#include "tools/Commands.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "dunmereprefs/Shared/FeatureStateLines.h"
#include "host/Platform.h"
#include "hostsim/Device.h"
#include "hostsim/DeviceRoot.h"
#include "hostsim/FileLayer.h"
#include "hostsim/Process.h"
#include "hostsim/SettingsApp.h"
#include "tools/EngineFunctions.h"
#include "tools/Scenario.h"

namespace harbrite::sim {

namespace {

constexpr std::size_t kMany = SIZE_MAX;

// The modules of a device that declares none.
const std::set<std::string> kDefaultModules = {
    "com.apple.control-center.ConnectivityModule", "com.apple.control-center.VPNModule",
    "com.apple.control-center.FlashlightModule", "com.apple.control-center.OrientationLockModule"};

void countRestart(Command&, ParseState& s);

[[noreturn]] void invalid(const std::string& message) {
  throw std::invalid_argument(message);
}

void countRestart(Command&, ParseState& s) {
  if (++s.restarts > kMostRestarts) {
    invalid("more than " + std::to_string(kMostRestarts) + " restarts in one scenario");
  }
}

void oneOf(const Command& c, std::size_t operand, std::initializer_list<const char*> words) {
  if (operand >= c.operandCount()) return;  // the count is checked with the usage
  for (const char* word : words) {
    if (c.operand(operand) == word) return;
  }
  invalid("usage: " + c.entry->syntax());
}

void installed(const ParseState& state, const std::string& bundleId) {
  if (state.apps.count(bundleId) == 0) {
    invalid("no application " + quoteInput(bundleId) + " is installed (declare it with 'apps')");
  }
}

// A jbroot prefix: an absolute path without NUL, since it is put in front of absolute paths.
void jbrootPrefix(const std::string& prefix) {
  if (!hostsim::isValidJbrootPrefix(prefix)) {
    invalid("a jbroot prefix is an absolute path, not " + quoteInput(prefix));
  }
}

void fileCommandsNotYet(const ParseState& state) {
  if (state.anyFileCommand) {
    invalid("'libroot' must come before the file commands: it decides where the files are");
  }
}

std::string prefsFile(Play& play) {
  return hostsim::hostPath(play.device().preferencesFile());
}
std::string stateFile(Play& play) {
  return hostsim::hostPath(play.device().featureStateFile());
}

// The file commands reach the device's files through the device folder's sandbox
// (hostsim/DeviceRoot.h), as the system does.
void makeFolderOf(const std::string& hostFile) {
  if (hostsim::makeDeviceDirectories(hostsim::directoryOf(hostFile)) != 0) {
    throw std::runtime_error("cannot make the folder of " + hostFile + " (" + std::strerror(errno) +
                             ")");
  }
}

void replaceBytes(const std::string& hostFile, const std::string& bytes) {
  hostsim::putDeviceFile(hostFile, bytes);
}

void removeFile(const std::string& hostFile) {
  makeFolderOf(hostFile);
  if (hostsim::unlinkDeviceFile(hostFile) != 0 && errno != ENOENT) {
    throw std::runtime_error("cannot remove " + hostFile + " (" + std::strerror(errno) + ")");
  }
}

void changePrefs(Play& play, const std::string& key, const host::Value* value) {
  const std::string device = play.device().preferencesFile();
  makeFolderOf(hostsim::hostPath(device));
  host::Dictionary prefs = host::readDictionary(device).valueOr(host::Dictionary{});
  if (value != nullptr) {
    prefs.set(key, *value);
  } else {
    prefs.remove(key);
  }
  if (!host::writeDictionaryAtomically(prefs, device).ok()) {
    throw std::runtime_error("cannot write " + device);
  }
}

std::optional<std::string> readBytes(const std::string& hostFile) {
  std::string bytes;
  if (!hostsim::readDeviceFile(hostFile, bytes)) return std::nullopt;
  return bytes;
}

void compare(Play& play, const Command& c, const std::string& prefix, const std::string& actual) {
  const std::string& expected = c.operand(c.operandCount() - 1);
  play.checked(c, actual == expected, prefix + expected, prefix + actual);
}

std::string list(const std::vector<std::string>& ids) {
  if (ids.empty()) return "none";
  std::string out;
  for (const auto& id : ids) out += (out.empty() ? "" : " ") + id;
  return out;
}

}  // namespace

std::string CommandSpec::syntax() const {
  return *operands == '\0' ? std::string(name) : std::string(name) + " " + operands;
}

const std::vector<CommandSpec>& commandTable() {
  using P = Phase;
  using O = Operands;
  static const std::vector<CommandSpec> table = {
      // Set-up, before boot.
      {"ios", "VERSION", P::SetUp, false, O::Words, 1, 1, nullptr,
       [](const Command& c, Play& p) { p.device().config().systemVersion = c.operand(0); }},
      {"apps", "ID...", P::SetUp, false, O::Words, 1, kMany,
       [](Command& c, ParseState& s) { s.apps.insert(c.words.begin() + 1, c.words.end()); },
       [](const Command& c, Play& p) {
         auto& apps = p.device().config().apps;
         apps.insert(apps.end(), c.words.begin() + 1, c.words.end());
       }},
      {"module", "IDENTIFIER [vpn] [inert]", P::SetUp, false, O::Words, 1, 3,
       [](Command& c, ParseState& s) {
         for (std::size_t i = 1; i < c.operandCount(); ++i) oneOf(c, i, {"vpn", "inert"});
         s.modulesDeclared = true;
         if (c.operandCount() > 0) s.modules.insert(c.operand(0));
       },
       [](const Command& c, Play& p) {
         auto& modules = p.device().config().modules;
         if (!modules) modules.emplace();
         hostsim::ModuleSpec module{c.operand(0), false, false};
         for (std::size_t i = 1; i < c.operandCount(); ++i) {
           if (c.operand(i) == "vpn") module.vpn = true;
           if (c.operand(i) == "inert") module.inert = true;
         }
         modules->push_back(module);
       }},
      {"libroot", "none|PREFIX", P::SetUp, false, O::Words, 1, 1,
       [](Command& c, ParseState& s) {
         fileCommandsNotYet(s);
         if (c.operandCount() == 1 && c.operand(0) != "none") jbrootPrefix(c.operand(0));
       },
       [](const Command& c, Play& p) {
         hostsim::DeviceConfig& config = p.device().config();
         if (c.operand(0) == "none") {
           config.libroot = hostsim::Libroot::None;
         } else {
           config.libroot = hostsim::Libroot::Full;
           config.librootPrefix = c.operand(0);
         }
       }},
      {"libroot only-jbroot-prefix", "PREFIX", P::SetUp, false, O::Words, 1, 1,
       [](Command& c, ParseState& s) {
         fileCommandsNotYet(s);
         if (c.operandCount() == 1) jbrootPrefix(c.operand(0));
       },
       [](const Command& c, Play& p) {
         hostsim::DeviceConfig& config = p.device().config();
         config.libroot = hostsim::Libroot::OnlyJbrootPrefix;
         config.librootPrefix = c.operand(0);
       }},
      {"backboard absent", "", P::SetUp, false, O::Words, 0, 0, nullptr,
       [](const Command&, Play& p) { p.device().config().backboard = false; }},

      // Files, at any time.
      {"prefs set", "KEY VALUE", P::AnyTime, false, O::KeyValue, 2, 2, nullptr,
       [](const Command& c, Play& p) { changePrefs(p, c.operand(0), &c.value); }},
      {"prefs remove", "KEY", P::AnyTime, false, O::Words, 1, 1, nullptr,
       [](const Command& c, Play& p) { changePrefs(p, c.operand(0), nullptr); }},
      {"prefs delete", "", P::AnyTime, false, O::Words, 0, 0, nullptr,
       [](const Command&, Play& p) { removeFile(prefsFile(p)); }},
      {"prefs write", "\"BYTES\"", P::AnyTime, false, O::Words, 1, 1, nullptr,
       [](const Command& c, Play& p) { replaceBytes(prefsFile(p), c.operand(0)); }},
      {"state write", "\"BYTES\"", P::AnyTime, false, O::Words, 1, 1, nullptr,
       [](const Command& c, Play& p) { replaceBytes(stateFile(p), c.operand(0)); }},
      {"state delete", "", P::AnyTime, false, O::Words, 0, 0, nullptr,
       [](const Command&, Play& p) { removeFile(stateFile(p)); }},

      // Events.
      {"boot", "", P::Event, false, O::Words, 0, 0,
       [](Command&, ParseState& s) {
         if (s.booted) invalid("the device has booted already");
         s.booted = true;
       },
       [](const Command&, Play& p) { p.device().boot(); }},
      {"respring", "", P::Event, true, O::Words, 0, 0, countRestart,
       [](const Command& c, Play& p) { p.restart(c, false); }},
      {"reboot", "", P::Event, true, O::Words, 0, 0, countRestart,
       [](const Command& c, Play& p) { p.restart(c, true); }},
      {"front", "ID|home", P::Event, true, O::Words, 1, 1,
       [](Command& c, ParseState& s) {
         if (c.operandCount() == 1 && c.operand(0) != "home" && s.booted) {
           installed(s, c.operand(0));
         }
       },
       [](const Command& c, Play& p) {
         if (c.operand(0) == "home") {
           p.device().frontHome();
         } else {
           p.device().front(c.operand(0));
         }
       }},
      {"exit", "ID", P::Event, true, O::Words, 1, 1,
       [](Command& c, ParseState& s) {
         if (c.operandCount() == 1 && s.booted) installed(s, c.operand(0));
       },
       [](const Command& c, Play& p) { p.device().exit(c.operand(0)); }},
      {"wait", "DURATION", P::Event, false, O::Words, 1, 1,
       [](Command& c, ParseState& s) {
         if (c.operandCount() != 1) return;
         c.nanoseconds = parseDuration(c.operand(0));
         s.waited += c.nanoseconds;
         if (s.waited > kLongestRun) {
           throw std::invalid_argument("the waits add up to more than a year (365 days)");
         }
       },
       [](const Command& c, Play& p) { p.device().wait(c.nanoseconds); }},
      {"user vpn", "on|off", P::Event, true, O::Words, 1, 1,
       [](Command& c, ParseState&) {
         oneOf(c, 0, {"on", "off"});
       },
       [](const Command& c, Play& p) { p.device().userSwitchesVPN(c.operand(0) == "on"); }},
      {"call", "FUNCTION [\"PATH\"]", P::Event, true, O::Words, 1, 2,
       [](Command& c, ParseState&) {
         if (c.operandCount() == 0) return;
         const EngineFunction* function = findEngineFunction(c.operand(0));
         if (function == nullptr) {
           invalid(quoteInput(c.operand(0)) +
                   " is not a function of the engine that a scenario may call (see "
                   "docs/scenarios.md)");
         }
         const std::size_t wanted = function->signature == Signature::PathMapping ? 2 : 1;
         if (c.operandCount() != wanted) invalid("usage: " + callSyntax(*function));
       },
       [](const Command& c, Play& p) {
         const EngineFunction& function = *findEngineFunction(c.operand(0));
         void* symbol = p.device().engineSymbol(function.name);
         if (symbol == nullptr) {
           throw std::runtime_error(std::string("the engine exports no ") + function.name);
         }
         const std::string path = c.operandCount() > 1 ? c.operand(1) : std::string();
         if (auto answer = callEngineFunction(symbol, function, path)) p.answered(c, *answer);
       }},
      {"pane set", "KEY VALUE", P::Event, false, O::KeyValue, 2, 2, nullptr,
       [](const Command& c, Play& p) { p.settings().set(c.operand(0), c.value); }},
      {"pane reset-vpn", "", P::Event, false, O::Words, 0, 0, nullptr,
       [](const Command&, Play& p) { p.settings().resetVPN(); }},

      // Checks.
      {"expect engine", "inert|installed", P::Check, true, O::Words, 1, 1,
       [](Command& c, ParseState&) {
         oneOf(c, 0, {"inert", "installed"});
       },
       [](const Command& c, Play& p) {
         compare(p, c, "", p.device().engineInstalled() ? "installed" : "inert");
       }},
      {"expect exit-hook", "SBMainSwitcherViewController|SBMainSwitcherControllerCoordinator|none",
       P::Check, true, O::Words, 1, 1,
       [](Command& c, ParseState&) {
         oneOf(c, 0,
               {"SBMainSwitcherViewController", "SBMainSwitcherControllerCoordinator", "none"});
       },
       [](const Command& c, Play& p) { compare(p, c, "", p.device().exitHook()); }},
      {"expect vpn", "on|off", P::Check, true, O::Words, 1, 1,
       [](Command& c, ParseState&) {
         oneOf(c, 0, {"on", "off"});
       },
       [](const Command& c, Play& p) {
         compare(p, c, "VPN ", p.device().vpnConnected() ? "on" : "off");
       }},
      {"expect record", "on|off", P::Check, false, O::Words, 1, 1,
       [](Command& c, ParseState&) {
         oneOf(c, 0, {"on", "off"});
       },
       [](const Command& c, Play& p) {
         const host::Result<std::string> file = host::readUTF8Text(p.device().featureStateFile());
         const bool on = file.ok() && featurestate::readFeature(file.value(), featurestate::kVPN);
         compare(p, c, "record ", on ? "on" : "off");
       }},
      {"expect state", "\"BYTES\"|absent", P::Check, false, O::WordOrAbsent, 1, 1, nullptr,
       [](const Command& c, Play& p) {
         std::optional<std::string> bytes = readBytes(stateFile(p));
         const std::string actual = bytes ? quoteBytes(*bytes) : "absent";
         const std::string expected = c.absent ? "absent" : quoteBytes(c.operand(0));
         p.checked(c, actual == expected, "state " + expected, "state " + actual);
       }},
      {"expect prefs", "KEY VALUE|absent", P::Check, false, O::KeyValueOrAbsent, 2, 2, nullptr,
       [](const Command& c, Play& p) {
         const std::string& key = c.operand(0);
         const host::Result<host::Dictionary> prefs =
             host::readDictionary(p.device().preferencesFile());
         const host::Value* found = prefs.ok() ? prefs->find(key) : nullptr;
         const std::string actual =
             found != nullptr ? key + " = " + formatValue(*found) : key + " absent";
         if (c.absent) {
           p.checked(c, found == nullptr, key + " absent", actual);
         } else {
           // The same value, or one printed the same: NaN equals no number, yet reads back as
           // itself.
           const bool same = found != nullptr &&
                             (*found == c.value || formatValue(*found) == formatValue(c.value));
           p.checked(c, same, key + " = " + formatValue(c.value), actual);
         }
       }},
      {"expect module", "IDENTIFIER selected|deselected", P::Check, true, O::Words, 2, 2,
       [](Command& c, ParseState& s) {
         oneOf(c, 1, {"selected", "deselected"});
         const auto& known = s.modulesDeclared ? s.modules : kDefaultModules;
         if (c.operandCount() > 0 && known.count(c.operand(0)) == 0) {
           invalid("the device has no module " + quoteInput(c.operand(0)));
         }
       },
       [](const Command& c, Play& p) {
         std::optional<bool> selected = p.device().moduleSelected(c.operand(0));
         compare(p, c, c.operand(0) + " ",
                 !selected   ? "missing"
                 : *selected ? "selected"
                             : "deselected");
       }},
      {"expect terminated", "ID...|none", P::Check, true, O::Words, 1, kMany, nullptr,
       [](const Command& c, Play& p) {
         std::vector<std::string> actual = p.device().takeTerminations();
         std::vector<std::string> expected;
         if (c.operand(0) != "none") expected.assign(c.words.begin() + 2, c.words.end());
         std::sort(actual.begin(), actual.end());
         std::sort(expected.begin(), expected.end());
         p.checked(c, actual == expected, "terminated " + list(expected),
                   "terminated " + list(actual));
       }},
      {"expect log", "\"TEXT\"", P::Check, false, O::Words, 1, 1, nullptr,
       [](const Command& c, Play& p) {
         const auto& lines = hostsim::systemLogLines();
         const std::string& text = c.operand(0);
         const bool found = std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
           return line.find(text) != std::string::npos;
         });
         p.checked(c, found, "a log line containing " + quoteBytes(text),
                   lines.empty() ? std::string("no log line")
                                 : "last log line " + quoteBytes(lines.back()));
       }},
      {"expect notified", "NAME", P::Check, false, O::Words, 1, 1, nullptr,
       [](const Command& c, Play& p) {
         const auto& posted = hostsim::darwinNotificationsPosted();
         const bool found = std::find(posted.begin(), posted.end(), c.operand(0)) != posted.end();
         p.checked(c, found, "Darwin notification " + c.operand(0),
                   posted.empty() ? std::string("none posted")
                                  : std::to_string(posted.size()) + " others posted");
       }},
  };
  return table;
}

}  // namespace harbrite::sim
