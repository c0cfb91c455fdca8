// The Settings app of the simulated device, with its Preferences framework and application
// picker: it installs and loads the pane's bundle, makes its principal class and shows its rows.
// One Settings app runs at a time; when it goes, the classes it and the pane registered go too.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/PropertyList.h"
#include "host/Runtime.h"

namespace hostsim {

struct SettingsRow {
  std::string cell;  // the specifier's "cell" (PSSwitchCell, PSGroupCell, ...)
  std::string label;
  std::string key;    // empty when the row has none
  host::Value value;  // as the page reads it (none for rows without a key)
  bool groupSwitch = false;
  bool picker = false;  // the application picker: its value is the chosen bundle identifiers
  std::string action;   // what a button row sends to the page when tapped; empty otherwise
  int depth = 0;        // how many group switches own the row
  std::string footer;   // a group's footer text; empty otherwise
  int hidden = 0;       // for a group switch: how many of the rows it owns the page does not show
};

class SettingsApp {
 public:
  // Where the pane's bundle is installed on the device.
  static constexpr const char* kBundlePath = "/Library/PreferenceBundles/dunmereprefs.bundle";

  // `deviceRoot`: the same device folder that harbrite-sim run uses. `bundleDirectory`: the
  // built bundle to install (empty: the one this build made).
  explicit SettingsApp(const std::string& deviceRoot, std::string bundleDirectory = "");
  ~SettingsApp();
  SettingsApp(const SettingsApp&) = delete;
  SettingsApp& operator=(const SettingsApp&) = delete;

  // Opens the pane's root page: installs and loads the bundle on first use.
  void open();
  // The rows the page shows, in order.
  std::vector<SettingsRow> rows();
  // The user changes the row whose key is `key`; a key that no row has gets a row of its own.
  // The application picker takes a list of bundle identifiers.
  void set(const std::string& key, const host::Value& value);
  // The user taps the reset row; answers what the action answered.
  bool resetVPN();

  // The root page's controller (after open).
  host::id rootController() const;
  // A new controller of the named class, reading its plists from the installed bundle, as the
  // Settings app makes one for a page that a row opens (after open).
  host::StrongRef makeController(const std::string& className);
  // A new specifier with these properties, whose target is `target`.
  host::StrongRef makeSpecifier(host::Dictionary properties, host::id target = nullptr);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace hostsim
