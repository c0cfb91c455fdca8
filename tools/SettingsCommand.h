// `harbrite-sim settings`: the settings pane's root page, as the Settings app shows it, against
// the same device files that `harbrite-sim run --device DIR` uses.
#pragma once

#include <cstdio>
#include <string>

namespace harbrite::sim {

struct SettingsOptions {
  enum class Action { Show, Set, ResetVPN };
  Action action = Action::Show;
  std::string deviceRoot;  // empty: a fresh temporary device
  std::string key;
  std::string value;  // a scenario VALUE
};

int settingsCommand(const SettingsOptions& options, std::FILE* out);

}  // namespace harbrite::sim
