// The engine's record of what it last switched each feature to, in the feature state file.
// Every call reads the file anew; every write replaces it whole, atomically.
#include "Tweak/Engine.h"
#include "dunmereprefs/Shared/FeatureStateLines.h"
#include "host/Platform.h"
#include "libroot_dyn/libroot_dyn.h"

namespace harbrite {

id vpnFeature() {
  static const host::StrongRef vpn = host::stringWithUTF8String(featurestate::kVPN);
  return vpn.get();
}

bool readStateFromFileForFeature(id, SEL, id feature) noexcept {
  try {
    const std::optional<std::string> name = host::UTF8String(feature);
    if (!name) return false;
    host::TextRead file = host::readUTF8Text(libroot_dyn::jbrootPath(featurestate::kPath));
    return file.ok && featurestate::readFeature(file.text, *name);
  } catch (...) {
    return false;
  }
}

void writeStateToFileForFeature(id, SEL, id feature, bool enabled) noexcept {
  try {
    const std::optional<std::string> name = host::UTF8String(feature);
    if (!name) return;
    host::TextRead file = host::readUTF8Text(libroot_dyn::jbrootPath(featurestate::kPath));
    // A file that is there but could not be read (an I/O error, no permission) holds lines the
    // engine has not seen, Bellweir's among them: writing the single new line over it would lose
    // them. The record is left as it is; the next switch writes it again.
    if (file.failure == host::TextRead::Failure::Unreadable) return;
    // A missing file, or one that is not UTF-8, is replaced by the single new line.
    const std::string text = featurestate::withFeature(file.ok ? file.text : "", *name, enabled);
    host::writeUTF8TextAtomically(libroot_dyn::jbrootPath(featurestate::kPath), text);
  } catch (...) {
  }
}

}  // namespace harbrite
