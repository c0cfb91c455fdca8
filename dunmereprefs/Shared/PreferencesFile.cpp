#include "dunmereprefs/Shared/PreferencesFile.h"

#include "libroot_dyn/libroot_dyn.h"

namespace harbrite::prefs {

std::optional<host::Dictionary> read() {
  return host::readDictionary(libroot_dyn::jbrootPath(kPath));
}

host::DictionaryRead readForChange() {
  return host::readDictionaryFile(libroot_dyn::jbrootPath(kPath));
}

bool write(const host::Dictionary& dictionary) {
  return host::writeDictionaryAtomically(dictionary, libroot_dyn::jbrootPath(kPath));
}

}  // namespace harbrite::prefs
