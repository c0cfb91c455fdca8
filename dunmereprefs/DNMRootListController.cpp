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
  return host::UTF8String(
      host::msgSend<id, id>(specifier, selectors().propertyForKey, propertyKeys().key.get()));
}

}  // namespace

id rootSpecifiers(id self, SEL) noexcept {
  try {
    return loadCollapsingGroups(self, rootPlistName(self, nullptr));
  } catch (...) {
    return nullptr;
  }
}

id rootPlistName(id, SEL) noexcept {
  try {
    static const host::StrongRef name = host::stringWithUTF8String(kRootPlist);
    return name.get();
  } catch (...) {
    return nullptr;
  }
}

// The file's entry for the row's key, read afresh (autoreleased); the row's "default" while the
// file has none (no file, a file that is no dictionary, no such entry, or a row without a key).
id rootReadPreferenceValue(id, SEL, id specifier) noexcept {
  try {
    if (const std::optional<std::string> key = keyOf(specifier)) {
      if (const std::optional<host::Dictionary> file = prefs::read()) {
        if (const host::Value* entry = file->find(*key)) {
          return host::autoreleased(host::propertyListFromValue(*entry));
        }
      }
    }
    return host::msgSend<id, id>(specifier, selectors().propertyForKey,
                                 propertyKeys().defaultValue.get());
  } catch (...) {
    return nullptr;
  }
}

// A row without a key has nowhere to keep its value: the change is dropped, and nothing is
// written or posted. Otherwise the file is reread (a missing or malformed file starts afresh),
// the one entry set (nil, or an object that is no property-list value, removes it) and the whole
// file replaced; the outcome of the write is not examined, and the row's notification follows it
// either way.
//
// A file that is there but could not be read (an I/O error, no permission, not a regular file,
// more than can be kept) holds settings the page has not seen: writing the one entry over it
// would lose them all. It is left as it is, as the engine leaves the feature state file.
void rootSetPreferenceValue(id self, SEL, id value, id specifier) noexcept {
  try {
    const std::optional<std::string> key = keyOf(specifier);
    if (!key) return;
    host::Result<host::Dictionary> current = prefs::readForChange();
    if (current.status().code() != host::Status::Code::Unreadable) {
      host::Dictionary file = std::move(current).valueOr(host::Dictionary{});
      host::Value entry = host::valueFromPropertyList(value);
      if (entry.isNone()) {
        file.remove(*key);
      } else {
        file.set(*key, std::move(entry));
      }
      static_cast<void>(prefs::write(file));
    }

    openOrCloseGroup(self, value, specifier);

    id notification = host::msgSend<id, id>(specifier, selectors().propertyForKey,
                                            propertyKeys().postNotification.get());
    if (host::UTF8String(notification)) host::darwinNotifyPost(notification);
  } catch (...) {
  }
}

}  // namespace harbrite::pane
