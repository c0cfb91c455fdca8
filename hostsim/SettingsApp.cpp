// Placeholder until the Settings app lands: every use reports that it is missing.
#include "hostsim/SettingsApp.h"

#include <stdexcept>

namespace hostsim {

struct SettingsApp::State {};

SettingsApp::SettingsApp(const std::string&, std::string) {}
SettingsApp::~SettingsApp() = default;
void SettingsApp::open() { throw std::runtime_error("the Settings app is not built yet"); }
std::vector<SettingsRow> SettingsApp::rows() { return {}; }
void SettingsApp::set(const std::string&, const host::Value&) { open(); }
bool SettingsApp::resetVPN() {
  open();
  return false;
}

}  // namespace hostsim
