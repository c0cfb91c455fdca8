// What a change of the front application means for the VPN: the file that decides whether the
// VPN goes on.
//
// Default mode: a change starts a settling delay of 0.8 s; changes during the delay are not
// decided on their own, but the display that is in front when the delay ends is the one decided
// for: VPN on for an enabled application, off for anything else (the home screen included).
// Persist mode: an enabled application switches the VPN on at once, and every application that
// comes to the front adds one more observation of "appDidExit", through which an enabled
// application's exit switches it off (PersistMode.cpp).
#include "Tweak/Engine.h"
#include "dunmereprefs/Shared/PreferencesFile.h"
#include "host/Platform.h"

namespace harbrite {

namespace {

constexpr std::int64_t kSettlingDelayNanoseconds = 800'000'000;

// The front display to decide for when the settling delay ends: the latest one reported during
// the delay, held strongly (nil held as nil).
id pendingFrontDisplay = nullptr;

void holdPendingFrontDisplay(id frontDisplay) {
  id previous = pendingFrontDisplay;
  pendingFrontDisplay = host::objc_retain(frontDisplay);
  host::objc_release(previous);
}

bool isEnabledApplication(id application) {
  id bundleId = host::msgSend<id>(application, selectors().uniqueIdentifier);
  return prefs::isEnabled(prefs::read(), host::UTF8String(bundleId));
}

void persistModeChange(id self, id frontDisplay) {
  if (!isApplication(frontDisplay)) return;
  if (isEnabledApplication(frontDisplay))
    host::msgSend<void, bool>(self, selectors().setVPNState, true);
  host::notificationCenterAddObserver(self, selectors().turnVPNOn, appDidExit, nullptr);
}

void defaultModeChange(id self, id frontDisplay) {
  holdPendingFrontDisplay(frontDisplay);
  if (isHandlingChange) return;
  isHandlingChange = true;
  // SpringBoard's application object lives as long as the process: held without a reference.
  host::dispatchAfterOnMainQueue(kSettlingDelayNanoseconds, [self]() noexcept {
    id decided = pendingFrontDisplay;  // the decision takes over the pending reference
    pendingFrontDisplay = nullptr;
    host::msgSend<void, id>(self, selectors().handleDisplayChange, decided);
    host::objc_release(decided);
    isHandlingChange = false;
  });
}

}  // namespace

host::Class applicationClass() {
  static host::Class cached = nullptr;
  if (cached == nullptr) cached = host::objc_getClass("SBApplication");
  return cached;
}

bool isApplication(id frontDisplay) {
  return frontDisplay != nullptr && host::isKindOfClass(frontDisplay, applicationClass());
}

void frontDisplayDidChange(id self, SEL sel, id frontDisplay) noexcept {
  try {
    host::callIMP<void, id>(origFrontDisplayDidChange, self, sel, frontDisplay);
    if (usePersistMode) {
      persistModeChange(self, frontDisplay);
    } else {
      defaultModeChange(self, frontDisplay);
    }
  } catch (...) {
    // Nothing escapes into SpringBoard.
  }
}

void handleDisplayChange(id self, SEL, id frontDisplay) noexcept {
  try {
    const bool on = isApplication(frontDisplay) && isEnabledApplication(frontDisplay);
    host::msgSend<void, bool>(self, selectors().setVPNState, on);
  } catch (...) {
  }
}

}  // namespace harbrite
