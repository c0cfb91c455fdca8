// How the preferences file's values read: its keys, a setting's boolean reading and the enabled
// applications. Pure rules over a dictionary already read, so that whatever shows a run (the
// simulator's picture and exposure) reads the file exactly as the engine does.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/PropertyList.h"

namespace harbrite::prefs {

inline constexpr const char* kEnabledApplications = "enabledApplications";
inline constexpr const char* kUsePersistMode = "usePersistMode";
// Older files kept one "enabled-<bundle identifier>" boolean per application.
inline constexpr std::string_view kLegacyEnabledPrefix = "enabled-";

// A setting's boolean reading: a boolean, integer or real is on when it is not zero; a missing
// key, or a value of any other type, is off.
bool boolSetting(const host::Dictionary& dictionary, std::string_view key);

// The enabled applications: the strings of the enabledApplications array, in its order, as
// they stand (duplicates included). Elements that are not strings are passed over, so that one
// stray value cannot disable every application in the list; a missing entry, or one that is not
// an array, gives none. Every reader of the list (the front-application decision, persist mode's
// exit test, enforcement) goes through here.
std::vector<std::string_view> enabledApplications(const host::Dictionary& dictionary);
// Whether the application is enabled: one of those strings, compared exactly. An application
// without an identifier is not.
bool isEnabled(const std::optional<host::Dictionary>& dictionary,
               const std::optional<std::string>& bundleId);

}  // namespace harbrite::prefs
