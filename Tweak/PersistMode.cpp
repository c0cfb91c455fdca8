// Persist mode's exit side: when an enabled application exits, "appDidExit" is posted, and each
// observation SpringBoard added (FrontDisplay.cpp) calls turnVPNOn, which switches the VPN off.
// At once on iOS 13 to 15; 1.5 s later on iOS 16.
#include "Tweak/Engine.h"
#include "dunmereprefs/Shared/PreferencesFile.h"
#include "host/Platform.h"

namespace harbrite {

namespace {

constexpr std::int64_t kIOS16ExitDelayNanoseconds = 1'500'000'000;

bool exitedApplicationIsEnabled(id exitReport) {
  const Selectors& s = selectors();
  id application = host::msgSend<id>(exitReport, s.object);
  id bundleId = host::msgSend<id>(application, s.uniqueIdentifier);
  return prefs::isEnabled(prefs::read(), host::UTF8String(bundleId));
}

}  // namespace

void applicationDidExit15(id self, SEL sel, id exitReport) noexcept {
  try {
    host::callIMP<void, id>(origApplicationDidExit15, self, sel, exitReport);
    if (exitedApplicationIsEnabled(exitReport)) host::notificationCenterPost(appDidExit, nullptr);
  } catch (...) {
  }
}

void applicationDidExit16(id self, SEL sel, id exitReport) noexcept {
  try {
    host::callIMP<void, id>(origApplicationDidExit16, self, sel, exitReport);
    if (!exitedApplicationIsEnabled(exitReport)) return;
    // Neither cancelled nor tested again: it posts after the delay whatever happens meanwhile.
    host::dispatchAfterOnMainQueue(kIOS16ExitDelayNanoseconds, []() noexcept {
      try {
        host::notificationCenterPost(appDidExit, nullptr);
      } catch (...) {
      }
    });
  } catch (...) {
  }
}

}  // namespace harbrite
