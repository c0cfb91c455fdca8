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
    const host::Result<std::string> file =
        host::readUTF8Text(libroot_dyn::jbrootPath(featurestate::kPath));
    return file.ok() && featurestate::readFeature(file.value(), *name);
  } catch (...) {
    return false;
  }
}

void writeStateToFileForFeature(id, SEL, id feature, bool enabled) noexcept {
  try {
    const std::optional<std::string> name = host::UTF8String(feature);
    if (!name) return;
    host::Result<std::string> file =
        host::readUTF8Text(libroot_dyn::jbrootPath(featurestate::kPath));
    // A file that is there but could not be read (an I/O error, no permission) holds lines the
    // engine has not seen, Bellweir's among them: writing the single new line over it would lose
    // them. The record is left as it is; the next switch writes it again.
    if (file.status().code() == host::Status::Code::Unreadable) return;
    // A missing file, or one that is not UTF-8, is replaced by the single new line.
    const std::string text = featurestate::withFeature(std::move(file).valueOr(""), *name, enabled);
    // A failed write leaves the old record; the next switch writes it again.
    static_cast<void>(
        host::writeUTF8TextAtomically(libroot_dyn::jbrootPath(featurestate::kPath), text));
  } catch (...) {
  }
}

}  // namespace harbrite
