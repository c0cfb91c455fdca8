// The settings pane's two list controllers, as implementations installed into classes that the
// library registers with the Settings app's runtime when it loads (PaneClasses.cpp):
// - DNMURootListController, a PSListController whose group switches (rows whose properties hold
//   "nestedEntryCount") open and close the run of rows that follows them, and which carries the
//   reset of the VPN's recorded state;
// - DNMRootListController, the root page, which keeps every value in the preferences file.
// Everything here runs on the Settings app's main thread. Rows are PSSpecifier objects, lists of
// rows are arrays, and values are property-list objects, as the Preferences framework passes them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/Foundation.h"
#include "host/PropertyList.h"
#include "host/Runtime.h"

namespace harbrite::pane {

using host::Class;
using host::id;
using host::SEL;

// The live list, the rows the host shows (PSListController's instance variable, a mutable
// array), and the full list, every row of the loaded plist in plist order, taken before any
// group was collapsed (an array in an instance variable of DNMURootListController).
inline constexpr const char* kLiveList = "_specifiers";
inline constexpr const char* kFullList = "_allSpecifiers";

struct Selectors {
  SEL plistName, specifiers, removeDisabledGroups, setPreferenceValue, readPreferenceValue;
  SEL resetVPNState, loadSpecifiers, insertSpecifiers, removeSpecifiers, propertyForKey;
  SEL removeObjectsInArray, dealloc;
};
const Selectors& selectors();

// The specifier property keys the pane reads, as string objects made once.
struct PropertyKeys {
  host::StrongRef key, defaultValue, nestedEntryCount, postNotification;
};
const PropertyKeys& propertyKeys();

// PSListController, as it was when the library registered its classes.
extern Class listControllerClass;

// ---- DNMURootListController ----------------------------------------------------------------

id plistName(id self, SEL sel) noexcept;
id specifiers(id self, SEL sel) noexcept;
void removeDisabledGroups(id self, SEL sel, id specifiers) noexcept;
void setPreferenceValue(id self, SEL sel, id value, id specifier) noexcept;
bool resetVPNState(id self, SEL sel) noexcept;
void deallocListController(id self, SEL sel) noexcept;

// ---- DNMRootListController -----------------------------------------------------------------

id rootSpecifiers(id self, SEL sel) noexcept;
id rootPlistName(id self, SEL sel) noexcept;
void rootSetPreferenceValue(id self, SEL sel, id value, id specifier) noexcept;
id rootReadPreferenceValue(id self, SEL sel, id specifier) noexcept;

// ---- Shared by both --------------------------------------------------------------------------

// Loading: the live list, loaded from the named plist (a string object) when there is none yet;
// the full list is taken from it, and then the groups whose switches are off are collapsed.
id loadCollapsingGroups(id self, id plistName);
// After a group switch's value (a property-list object) has been stored: shows its nested rows
// when the value is on, hides them otherwise. Does nothing for a row that is no group switch.
void openOrCloseGroup(id self, id value, id specifier);
// One property of a specifier, as a value; none when absent.
host::Value property(id specifier, const host::StrongRef& key);

// A "nestedEntryCount" value read as a 32-bit signed integer, as NSNumber's and NSString's
// intValue read it: a boolean is 0 or 1, an integer keeps its low 32 bits, a real is cut
// towards zero, a string's leading decimal number counts (saturating); anything else is 0.
std::int32_t nestedEntryCount(const host::Value& value);

}  // namespace harbrite::pane
