#include "dunmereprefs/Shared/PreferenceValues.h"

namespace harbrite::prefs {

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

bool isEnabled(const std::optional<host::Dictionary>& dictionary,
               const std::optional<std::string>& bundleId) {
  if (!dictionary || !bundleId) return false;
  const std::string_view wanted(*bundleId);
  for (std::string_view identifier : enabledApplications(*dictionary)) {
    if (identifier == wanted) return true;
  }
  return false;
}

}  // namespace harbrite::prefs
