#include "dunmereprefs/Shared/PreferencesMigration.h"

#include <string>
#include <vector>

#include "dunmereprefs/Shared/PreferencesFile.h"

extern "C" void migratePreferencesIfNeeded() noexcept {
  try {
    std::optional<host::Dictionary> read = harbrite::prefs::read();
    if (!read) return;
    host::Dictionary dictionary = std::move(*read);

    host::Array enabled;
    std::vector<std::string> legacyKeys;
    // Visited from the last entry to the first; the dictionary is not changed meanwhile.
    std::vector<const host::Dictionary::Entry*> entries;
    for (const auto& entry : dictionary) entries.push_back(&entry);
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
      const auto& [key, value] = **it;
      if (!value.isNumber()) continue;
      if (key.compare(0, harbrite::prefs::kLegacyEnabledPrefix.size(),
                      harbrite::prefs::kLegacyEnabledPrefix) != 0) {
        continue;
      }
      if (value.boolValue())
        enabled.emplace_back(key.substr(harbrite::prefs::kLegacyEnabledPrefix.size()));
      legacyKeys.push_back(key);
    }
    for (const std::string& key : legacyKeys) dictionary.remove(key);
    // Nothing enabled: the file keeps everything, legacy keys whose values were NO included.
    if (enabled.empty()) return;

    dictionary.set(harbrite::prefs::kEnabledApplications, host::Value(std::move(enabled)));
    // A failed write leaves the old file as it was, for the next call to convert.
    static_cast<void>(harbrite::prefs::write(dictionary));
  } catch (...) {
    // Nothing escapes into the host; the file is replaced atomically or not at all.
  }
}
