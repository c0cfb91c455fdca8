// Switching the VPN: through Control Center's own VPN toggle, and only when the wish differs
// from what the engine last recorded.
#include <cctype>
#include <string>

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
bool namesVPN(const std::string& identifier) {
  auto upper = [](char c) { return std::toupper(static_cast<unsigned char>(c)); };
  for (std::size_t i = 0; i + 3 <= identifier.size(); ++i) {
    if (upper(identifier[i]) == 'V' && upper(identifier[i + 1]) == 'P' &&
        upper(identifier[i + 2]) == 'N') {
      return true;
    }
  }
  return false;
}

}  // namespace

void setVPNState(id self, SEL, bool wished) noexcept {
  try {
    const Selectors& s = selectors();
    id feature = vpnFeature();
    if (host::msgSend<bool, id>(self, s.readState, feature) == wished) return;

    id manager = host::msgSend<id>(host::asObject(moduleManagerClass()), s.sharedInstance);
    const host::ObjectList instances =
        host::arrayElements(host::msgSend<id>(manager, s.moduleInstances));
    for (const host::StrongRef& instance : instances) {
      id metadata = host::msgSend<id>(instance.get(), s.metadata);
      const std::optional<std::string> identifier =
          host::UTF8String(host::msgSend<id>(metadata, s.moduleIdentifier));
      if (!identifier || !namesVPN(*identifier)) continue;
      id module = host::msgSend<id>(instance.get(), s.module);
      if (host::respondsToSelector(module, s.setSelected)) {
        host::msgSend<void, bool>(module, s.setSelected, wished);
      }
    }
    // Recorded whatever was found to switch.
    host::msgSend<void, id, bool>(self, s.writeState, feature, wished);
  } catch (...) {
  }
}

void turnVPNOn(id self, SEL) noexcept {
  // Despite its name: the observer method of "appDidExit", which switches the VPN off.
  host::msgSend<void, bool>(self, selectors().setVPNState, false);
}

}  // namespace harbrite
