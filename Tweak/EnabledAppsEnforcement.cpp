// Enforcing a change of the enabled applications: the applications that were enabled or
// disabled since the previous call are terminated through BackBoardServices, so that each starts
// again under its new setting. Called from outside the engine, never by the engine itself.
#include <cstdint>
#include <cstring>
#include <optional>
#include <set>
#include <string>

#include <utf8.h>

#include "Tweak/Engine.h"
#include "dunmereprefs/Shared/PreferencesFile.h"
#include "host/Platform.h"

extern "C" {

HARBRITE_EXPORT host::BKSTerminateApplicationFunction
    __BKSTerminateApplicationForReasonAndReportWithDescription = nullptr;

HARBRITE_EXPORT void loadBackboardServices() noexcept;
HARBRITE_EXPORT void handleEnabledAppsChange() noexcept;
HARBRITE_EXPORT host::id safe_getExecutablePath() noexcept;
HARBRITE_EXPORT host::id safe_getBundleIdentifier() noexcept;
}

namespace {

constexpr const char* kBackBoardServicesPath =
    "/System/Library/PrivateFrameworks/BackBoardServices.framework/BackBoardServices";
constexpr int kTerminationReason = 5;
constexpr const char* kTerminationDescription = "Lumawick - prefs changed, killed";

// The preferences as the previous call read them; none at start and after a call that found
// no readable file.
std::optional<host::Dictionary>* cachedPrefs = nullptr;

std::set<std::string> enabledSet(const std::optional<host::Dictionary>& prefs) {
  std::set<std::string> result;
  if (!prefs) return result;
  for (std::string_view app : harbrite::prefs::enabledApplications(*prefs)) result.emplace(app);
  return result;
}

}  // namespace

extern "C" {

void loadBackboardServices() noexcept {
  static host::OnceToken onceToken;
  try {
    host::dispatchOnce(onceToken, [] {
      // A system framework: its path is used as it stands, never mapped through libroot.
      void* handle = host::dlopen(kBackBoardServicesPath, host::kRtldNow);
      __BKSTerminateApplicationForReasonAndReportWithDescription =
          reinterpret_cast<host::BKSTerminateApplicationFunction>(
              host::dlsym(handle, "BKSTerminateApplicationForReasonAndReportWithDescription"));
    });
  } catch (...) {
  }
}

void handleEnabledAppsChange() noexcept {
  try {
    if (cachedPrefs == nullptr) cachedPrefs = new std::optional<host::Dictionary>;
    std::optional<host::Dictionary> current = harbrite::prefs::read();
    if (!*cachedPrefs) {
      *cachedPrefs = std::move(current);
      return;
    }
    const std::set<std::string> before = enabledSet(*cachedPrefs);
    const std::set<std::string> after = enabledSet(current);
    std::set<std::string> changed;
    for (const std::string& app : before) {
      if (after.count(app) == 0) changed.insert(app);
    }
    for (const std::string& app : after) {
      if (before.count(app) == 0) changed.insert(app);
    }
    for (const std::string& app : changed) {
      loadBackboardServices();
      if (auto terminate = __BKSTerminateApplicationForReasonAndReportWithDescription) {
        static const host::StrongRef description =
            host::stringWithUTF8String(kTerminationDescription);
        const host::StrongRef bundleId = host::stringWithUTF8String(app);
        terminate(bundleId.get(), kTerminationReason, false, description.get());
      }
    }
    *cachedPrefs = std::move(current);
  } catch (...) {
  }
}

// The executable's path as a string object (autoreleased), or nil when the platform cannot give
// it (a path that does not fit in 1024 bytes) or it is not UTF-8.
host::id safe_getExecutablePath() noexcept {
  try {
    char buffer[1024];
    std::uint32_t size = sizeof buffer;
    if (host::NSGetExecutablePath(buffer, &size) != 0) return nullptr;
    const std::size_t length = strnlen(buffer, sizeof buffer);
    if (length == sizeof buffer || !utf8::is_valid(buffer, buffer + length)) return nullptr;
    const host::StrongRef path = host::stringWithUTF8String(std::string_view(buffer, length));
    return host::objc_autorelease(host::objc_retain(path.get()));
  } catch (...) {
    return nullptr;
  }
}

// The main bundle's identifier (a string object the bundle keeps), or nil.
host::id safe_getBundleIdentifier() noexcept {
  const host::Bundle* bundle = host::CFBundleGetMainBundle();
  if (bundle == nullptr) return nullptr;
  return host::CFBundleGetIdentifier(bundle);
}

}  // extern "C"
