// A simulated device in a fresh temporary folder, for tests; its timeline is kept for asserts.
#pragma once

#include <string>
#include <vector>

#include "host/PropertyList.h"
#include "hostsim/Device.h"

namespace harbrite::test {

class TestDevice : public hostsim::Device {
 public:
  TestDevice();
  ~TestDevice();

  // The preferences file and the feature state file, as the system reaches them.
  void writePrefs(const host::Dictionary& prefs);
  void writePrefsBytes(const std::string& bytes);
  void writeState(const std::string& bytes);
  std::string readState() const;  // "" when absent
  bool stateExists() const;
  std::string hostFile(const std::string& devicePath) const;

  // Every timeline line since the device was made.
  const std::vector<std::string>& events() const { return events_; }
  bool sawEvent(const std::string& part) const;

  // Calls a function the engine exports.
  template <class F>
  F* engineFunction(const char* name) const {
    return reinterpret_cast<F*>(engineSymbol(name));
  }

 private:
  std::vector<std::string> events_;
};

}  // namespace harbrite::test
