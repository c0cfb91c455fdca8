// The host floors' pieces: what the simulated platform does when the engine or the pane calls it,
// done the same way (the same files through the sandbox and the codec, the same messages to the
// same host objects), without the system's own logic.
#pragma once

#include <string>

#include "host/PropertyList.h"
#include "host/Runtime.h"

namespace harbrite::bench {

// An object of a class of its own that answers, with implementations that do nothing, the
// messages the engine and the pane add to the host's classes (handleDisplayChange:, setVPNState:,
// readPreferenceValue:...): sending them costs the floor the runtime's dispatch of the same sends.
class SilentReceiver {
 public:
  SilentReceiver();
  host::id get() const { return object_.get(); }

 private:
  host::StrongRef object_;
};

// What loadPrefs asks of SpringBoard's runtime once its preferences read: the engine's five
// methods added to SpringBoard and its front-display hook, here with silent implementations.
void installSilently(host::Class springBoard);

// SpringBoard's side of the engine's decisions, on a booted device.
class SpringBoardFloor {
 public:
  // `prefs` and `state`: the device paths of the preferences and feature state files, as the
  // engine maps them. `stateOn` and `stateOff`: the state file's bytes with the VPN's line on and
  // off, as the engine would write them.
  SpringBoardFloor(std::string prefs, std::string state, std::string stateOn, std::string stateOff);

  // A message to the engine's own method (SpringBoard's runtime dispatching it).
  void handleDisplayChange(host::id display) const;
  void setVPNState(bool wished) const;
  void turnVPNOn() const;
  // Asking whether an application is enabled: whether it is an application, its bundle
  // identifier as a string object and bridged, the preferences file read and parsed.
  bool readEnabled(host::id application) const;
  // Reading the record: the feature bridged, the state file read as UTF-8 text.
  bool readState() const;
  // A switch: Control Center's module instances walked, each identifier bridged, the VPN
  // module selected or deselected, the record read again and the state file replaced.
  void switchVPN(bool on) const;

  host::id receiver() const { return receiver_.get(); }

 private:
  SilentReceiver receiver_;
  std::string prefs_, state_, stateOn_, stateOff_;
  host::StrongRef feature_;
  host::Class application_, moduleManager_;
  std::size_t vpnInstance_ = 0;
};

// The Settings app's side of the pane's row reads and writes.
class SettingsFloor {
 public:
  // `prefs`: the preferences file's device path.
  explicit SettingsFloor(std::string prefs);
  // What readPreferenceValue: costs the platform: the message, the row's key property bridged,
  // the preferences file read and parsed, the entry made an object (autoreleased).
  host::id readValue(host::id row) const;
  // What setPreferenceValue:specifier: costs it: the message, the row's key and its other
  // properties asked, the file read for a change and parsed, the value bridged into it, the file
  // encoded and replaced.
  void writeValue(host::id value, host::id row) const;

 private:
  SilentReceiver receiver_;
  std::string prefs_;
  host::StrongRef key_, nestedEntryCount_, postNotification_;
};

}  // namespace harbrite::bench
