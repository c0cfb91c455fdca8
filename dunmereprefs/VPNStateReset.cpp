// -[DNMURootListController resetVPNState]: sets the VPN's line of the feature state file back to
// off, so that the engine, which decides by this record and not by the VPN itself, acts on its
// next wish to switch the VPN on even after the user switched it off by hand. Every "YES" in the
// line becomes "NO"; every other byte of the file, that line's terminator included, stays.
// The line is found by the same rules the engine uses (FeatureStateLines.h).
#include "dunmereprefs/Pane.h"
#include "dunmereprefs/Shared/FeatureStateLines.h"
#include "host/Platform.h"
#include "libroot_dyn/libroot_dyn.h"

namespace harbrite::pane {

bool resetVPNState(id, SEL) noexcept {
  try {
    const std::string path = libroot_dyn::jbrootPath(featurestate::kPath);
    const host::Result<std::string> file = host::readUTF8Text(path);
    if (!file.ok()) {
      host::NSLog("Error reading file: %@", {file.status().message()});
      return false;
    }
    const std::optional<std::string> reset =
        featurestate::withFeatureLineReset(file.value(), featurestate::kVPN);
    if (!reset) {
      host::NSLog("VPNState not found in the file.");
      return false;
    }
    const host::Status written = host::writeUTF8TextAtomically(path, *reset);
    if (!written.ok()) {
      host::NSLog("Error writing file: %@", {written.message()});
      return false;
    }
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace harbrite::pane
