// The Settings app of the simulated device, with its Preferences framework and application
// picker: it loads the pane's bundle, makes its principal class and shows its rows.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/PropertyList.h"

namespace hostsim {

struct SettingsRow {
  std::string cell;   // the specifier's "cell" (PSSwitchCell, PSGroupCell, ...)
  std::string label;
  std::string key;    // empty when the row has none
  host::Value value;  // as the page reads it (none for rows without a value)
  bool groupSwitch = false;
  int depth = 0;  // how many open group switches own the row
};

class SettingsApp {
 public:
  // `deviceRoot`: the same device folder that harbrite-sim run uses.
  explicit SettingsApp(const std::string& deviceRoot, std::string bundleDirectory = "");
  ~SettingsApp();
  SettingsApp(const SettingsApp&) = delete;
  SettingsApp& operator=(const SettingsApp&) = delete;

  // Opens the pane's root page (loads the bundle on first use).
  void open();
  // The rows the page shows, in order.
  std::vector<SettingsRow> rows();
  // The user changes the row whose key is `key`; a key that no row has gets a row of its own.
  void set(const std::string& key, const host::Value& value);
  // The user taps the reset row; answers what the action answered.
  bool resetVPN();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace hostsim
