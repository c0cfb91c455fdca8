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

bool boolSetting(const host::Dictionary& dictionary, std::string_view key) {
  const host::Value* value = dictionary.find(key);
  return value != nullptr && value->boolValue();
}

std::vector<std::string_view> enabledApplications(const host::Dictionary& dictionary) {
  std::vector<std::string_view> identifiers;
  const host::Value* value = dictionary.find(kEnabledApplications);
  const host::Array* array = value != nullptr ? value->asArray() : nullptr;
  if (array == nullptr) return identifiers;
  for (const host::Value& item : *array) {
    if (const std::string* identifier = item.asString()) identifiers.emplace_back(*identifier);
  }
  return identifiers;
}

bool isEnabled(const std::optional<host::Dictionary>& dictionary, const char* bundleId) {
  if (!dictionary || bundleId == nullptr) return false;
  const std::string_view wanted(bundleId);
  for (std::string_view identifier : enabledApplications(*dictionary)) {
    if (identifier == wanted) return true;
  }
  return false;
}

}  // namespace harbrite::prefs
