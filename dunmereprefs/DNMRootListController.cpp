// DNMRootListController: the pane's root page, described by Root.plist. It keeps every value
// in the preferences file instead of the framework's own store: each row's value is read from
// the file when the row is shown, and each change rewrites the file whole, atomically, then
// posts the Darwin notification that the row names. The engine reads the same file at each of
// its decisions, so a change here governs its next one.
//
// Like its base class, the page records the full list and collapses the groups whose switches
// are off when it loads, reading the switches' values from the file, so that its group switches
// open and close their groups.
#include "dunmereprefs/Pane.h"
#include "dunmereprefs/Shared/PreferencesFile.h"
#include "host/Platform.h"

namespace harbrite::pane {

namespace {

constexpr const char* kRootPlist = "Root";

// The row's preferences-file key; none for a row without a string "key".
std::optional<std::string> keyOf(id specifier) {
  const host::Value key = property(specifier, "key");
  if (const std::string* text = key.asString()) return *text;
  return std::nullopt;
}

}  // namespace

SpecifierList rootSpecifiers(id self, SEL) noexcept {
  try {
    return loadCollapsingGroups(self, kRootPlist);
  } catch (...) {
    return std::nullopt;
  }
}

const char* rootPlistName(id, SEL) noexcept {
  return kRootPlist;
}

// The file's entry for the row's key, read afresh; the row's "default" while the file has none
// (no file, a file that is no dictionary, no such entry, or a row without a key).
host::Value rootReadPreferenceValue(id, SEL, id specifier) noexcept {
  try {
    if (const std::optional<std::string> key = keyOf(specifier)) {
      if (const std::optional<host::Dictionary> file = prefs::read()) {
        if (const host::Value* entry = file->find(*key)) return *entry;
      }
    }
    return property(specifier, "default");
  } catch (...) {
    return host::Value();
  }
}

// A row without a key has nowhere to keep its value: the change is dropped, and nothing is
// written or posted. Otherwise the file is reread (a missing or malformed file starts afresh),
// the one entry set (no value removes it) and the whole file replaced; the outcome of the write
// is not examined, and the row's notification follows it either way.
//
// A file that is there but could not be read (an I/O error, no permission, not a regular file,
// more than can be kept) holds settings the page has not seen: writing the one entry over it
// would lose them all. It is left as it is, as the engine leaves the feature state file.
void rootSetPreferenceValue(id self, SEL, const host::Value* value, id specifier) noexcept {
  try {
    const std::optional<std::string> key = keyOf(specifier);
    if (!key) return;
    host::DictionaryRead current = prefs::readForChange();
    if (current.failure != host::DictionaryRead::Failure::Unreadable) {
      host::Dictionary file = std::move(current.dictionary).value_or(host::Dictionary{});
      if (value == nullptr || value->isNone()) {
        file.remove(*key);
      } else {
        file.set(*key, *value);
      }
      prefs::write(file);
    }

    openOrCloseGroup(self, value, specifier);

    const host::Value notification = property(specifier, "PostNotification");
    if (const std::string* name = notification.asString()) host::darwinNotifyPost(name->c_str());
  } catch (...) {
  }
}

}  // namespace harbrite::pane
