#include "dunmereprefs/Shared/PreferencesFile.h"

#include "libroot_dyn/libroot_dyn.h"

namespace harbrite::prefs {

std::optional<host::Dictionary> read() {
  host::Result<host::Dictionary> file = readForChange();
  if (!file.ok()) return std::nullopt;
  return std::move(file).value();
}

host::Result<host::Dictionary> readForChange() {
  return host::readDictionary(libroot_dyn::jbrootPath(kPath));
}

host::Status write(const host::Dictionary& dictionary) {
  return host::writeDictionaryAtomically(dictionary, libroot_dyn::jbrootPath(kPath));
}

}  // namespace harbrite::prefs
