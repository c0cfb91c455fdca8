// The preferences file: its place, its keys and how its values read. Every reader and writer in
// both libraries goes through here.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "host/PropertyList.h"

namespace harbrite::prefs {

inline constexpr const char* kPath = "/var/mobile/Library/Preferences/com.quorvik.harbrite.plist";
inline constexpr const char* kEnabledApplications = "enabledApplications";
inline constexpr const char* kUsePersistMode = "usePersistMode";
// Older files kept one "enabled-<bundle identifier>" boolean per application.
inline constexpr std::string_view kLegacyEnabledPrefix = "enabled-";

// Maps the path afresh and reads the file: no dictionary when it is missing, unreadable,
// malformed, or not a dictionary at its top level.
std::optional<host::Dictionary> read();
// Maps the path afresh and replaces the file whole, atomically, as XML.
bool write(const host::Dictionary& dictionary);

// A setting's boolean reading: a boolean, integer or real is on when it is not zero; a missing
// key, or a value of any other type, is off.
bool boolSetting(const host::Dictionary& dictionary, std::string_view key);

// The identifiers under enabledApplications, or null when the entry is missing or is not an
// array of strings (then no application is enabled).
const host::Array* enabledApplications(const host::Dictionary& dictionary);
// Whether the application is enabled: listed there, compared exactly.
bool isEnabled(const std::optional<host::Dictionary>& dictionary, const char* bundleId);

}  // namespace harbrite::prefs
