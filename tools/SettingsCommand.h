// `harbrite-sim settings`: the settings pane's root page, as the Settings app shows it, against
// the same device files that `harbrite-sim run --device DIR` uses.
#pragma once

#include <cstdio>
#include <string>

#include "host/PropertyList.h"
#include "tools/ExitStatus.h"

namespace harbrite::sim {

struct SettingsOptions {
  enum class Action { Show, Get, Set, ResetVPN };
  Action action = Action::Show;
  std::string deviceRoot;  // empty: a fresh temporary device
  std::string key;
  std::string value;  // a scenario VALUE, or a bare word taken as a string
  // Also what the Settings app and the pane do, as they do it; for get, which file it read.
  bool verbose = false;
};

// The page (after the change, for set and reset-vpn) goes to `out`; failures go to `err`.
// Answers kSuccess, kCheckFailed when the change was not made (the write failed, or the reset
// answered NO), or kBadInput for a value that cannot be read.
int settingsCommand(const SettingsOptions& options, std::FILE* out, std::FILE* err = stderr);

// A VALUE as `settings set` reads it: a scenario VALUE, or else a bare word (no spaces, quotes,
// brackets or commas) as a string.
host::Value settingsValue(const std::string& text);

}  // namespace harbrite::sim
