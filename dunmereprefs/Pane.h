// The settings pane's two list controllers, as implementations installed into classes that the
// library registers with the Settings app's runtime when it loads (PaneClasses.cpp):
// - DNMURootListController, a PSListController whose group switches (rows whose properties hold
//   "nestedEntryCount") open and close the run of rows that follows them, and which carries the
//   reset of the VPN's recorded state;
// - DNMRootListController, the root page, which keeps every value in the preferences file.
// Everything here runs on the Settings app's main thread.
#pragma once

#include <cstdint>
#include <optional>

#include "host/PropertyList.h"
#include "host/Runtime.h"

namespace harbrite::pane {

using host::Class;
using host::id;
using host::SEL;

// An array of specifiers, or none: what `specifiers` and the host's loader answer.
using SpecifierList = std::optional<host::ObjectList>;

// The live list, the rows the host shows (PSListController's field), and the full list, every
// row of the loaded plist in plist order, taken before any group was collapsed.
inline constexpr const char* kLiveList = "_specifiers";
inline constexpr const char* kFullList = "_allSpecifiers";

struct Selectors {
  SEL plistName, specifiers, removeDisabledGroups, setPreferenceValue, readPreferenceValue;
  SEL resetVPNState, loadSpecifiers, insertSpecifiers, removeSpecifiers, properties, propertyForKey;
};
const Selectors& selectors();

// PSListController, as it was when the library registered its classes.
extern Class listControllerClass;

// ---- DNMURootListController ----------------------------------------------------------------

const char* plistName(id self, SEL sel) noexcept;
SpecifierList specifiers(id self, SEL sel) noexcept;
void removeDisabledGroups(id self, SEL sel, host::ObjectList* specifiers) noexcept;
void setPreferenceValue(id self, SEL sel, const host::Value* value, id specifier) noexcept;
bool resetVPNState(id self, SEL sel) noexcept;

// ---- DNMRootListController -----------------------------------------------------------------

SpecifierList rootSpecifiers(id self, SEL sel) noexcept;
const char* rootPlistName(id self, SEL sel) noexcept;
void rootSetPreferenceValue(id self, SEL sel, const host::Value* value, id specifier) noexcept;
host::Value rootReadPreferenceValue(id self, SEL sel, id specifier) noexcept;

// ---- Shared by both --------------------------------------------------------------------------

// Loading: the live list, loaded from the named plist when there is none yet; the full list is
// taken from it, and then the groups whose switches are off are collapsed.
SpecifierList loadCollapsingGroups(id self, const char* plistName);
// After a group switch's value has been stored: shows its nested rows when the value is on,
// hides them otherwise. Does nothing for a row that is no group switch.
void openOrCloseGroup(id self, const host::Value* value, id specifier);
// One property of a specifier; none when absent.
host::Value property(id specifier, const char* key);

// A "nestedEntryCount" value read as a 32-bit signed integer, as NSNumber's and NSString's
// intValue read it: a boolean is 0 or 1, an integer keeps its low 32 bits, a real is cut
// towards zero, a string's leading decimal number counts (saturating); anything else is 0.
std::int32_t nestedEntryCount(const host::Value& value);

}  // namespace harbrite::pane
