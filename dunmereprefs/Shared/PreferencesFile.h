// The preferences file: its place, and reading and writing it whole (its keys and how its values
// read: PreferenceValues.h). Every reader and writer in both libraries goes through here.
#pragma once

#include <optional>

#include "dunmereprefs/Shared/PreferenceValues.h"
#include "host/PropertyList.h"

namespace harbrite::prefs {

inline constexpr const char* kPath = "/var/mobile/Library/Preferences/com.quorvik.harbrite.plist";

// Maps the path afresh and reads the file: no dictionary when it is missing, unreadable,
// malformed, or not a dictionary at its top level.
std::optional<host::Dictionary> read();
// The same, telling a missing or malformed file from one that exists but could not be read
// (Unreadable), which a writer must leave as it is.
host::Result<host::Dictionary> readForChange();
// Maps the path afresh and replaces the file whole, atomically.
host::Status write(const host::Dictionary& dictionary);

}  // namespace harbrite::prefs
