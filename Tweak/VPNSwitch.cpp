// Switching the VPN: through Control Center's own VPN toggle, and only when the wish differs
// from what the engine last recorded.
#include <cctype>
#include <cstring>

#include "Tweak/Engine.h"
#include "dunmereprefs/Shared/FeatureStateLines.h"

namespace harbrite {

namespace {

host::Class moduleManagerClass() {
  static host::Class cached = nullptr;
  if (cached == nullptr) cached = host::objc_getClass("CCUIModuleInstanceManager");
  return cached;
}

// Whether the identifier contains "VPN", letters compared without regard to case.
bool namesVPN(const char* identifier) {
  for (const char* p = identifier; *p != '\0'; ++p) {
    if (std::toupper(static_cast<unsigned char>(p[0])) == 'V' &&
        std::toupper(static_cast<unsigned char>(p[1])) == 'P' &&
        std::toupper(static_cast<unsigned char>(p[2])) == 'N') {
      return true;
    }
    if (p[1] == '\0' || p[2] == '\0') break;
  }
  return false;
}

}  // namespace

void setVPNState(id self, SEL, bool wished) noexcept {
  try {
    const Selectors& s = selectors();
    const char* feature = featurestate::kVPN;
    if (host::msgSend<bool, const char*>(self, s.readState, feature) == wished) return;

    id manager = host::msgSend<id>(host::asObject(moduleManagerClass()), s.sharedInstance);
    const host::ObjectList instances = host::msgSend<host::ObjectList>(manager, s.moduleInstances);
    for (const host::StrongRef& instance : instances) {
      id metadata = host::msgSend<id>(instance.get(), s.metadata);
      const char* identifier = host::msgSend<const char*>(metadata, s.moduleIdentifier);
      if (identifier == nullptr || !namesVPN(identifier)) continue;
      id module = host::msgSend<id>(instance.get(), s.module);
      if (host::respondsToSelector(module, s.setSelected)) {
        host::msgSend<void, bool>(module, s.setSelected, wished);
      }
    }
    // Recorded whatever was found to switch.
    host::msgSend<void, const char*, bool>(self, s.writeState, feature, wished);
  } catch (...) {
  }
}

void turnVPNOn(id self, SEL) noexcept {
  // Despite its name: the observer method of "appDidExit", which switches the VPN off.
  host::msgSend<void, bool>(self, selectors().setVPNState, false);
}

}  // namespace harbrite
