// The Preferences framework of the simulated Settings app (see Preferences.cpp): specifiers,
// the rows of a settings list, and PSListController, the list controller that a preference
// bundle's classes derive from.
#pragma once

#include <string>

#include "host/PropertyList.h"
#include "hostsim/Objects.h"

namespace hostsim {

struct PreferencesClasses {
  Class object = nullptr;          // the Settings process's NSObject
  Class specifier = nullptr;       // PSSpecifier
  Class listController = nullptr;  // PSListController
};

// Defines the framework's classes for a new Settings process.
PreferencesClasses installPreferencesFramework();

// The specifier property that names what a row is ("PSSwitchCell", "PSGroupCell", ...), and
// the one that names the method a button row sends to its controller.
inline constexpr const char* kCellProperty = "cell";
inline constexpr const char* kActionProperty = "action";

// A new specifier with these properties, whose target is `target` (not retained).
host::StrongRef makeSpecifier(Class specifierClass, host::Dictionary properties, id target);
// The specifier's properties (empty for an object that is no specifier).
const host::Dictionary& specifierProperties(id specifier);

// The bundle folder, a device path, whose plists the controller's
// loadSpecifiersFromPlistName:target: reads.
void setControllerBundle(id controller, const std::string& bundleFolder);
// Every specifier the controller's loader has handed out, in plist order: the page as its
// plists describe it, shown rows and hidden ones alike.
const host::ObjectList& loadedSpecifiers(id controller);
// The rows the controller shows now (its live list), in order.
host::ObjectList shownSpecifiers(id controller);
// Adds a row at the end of the controller's live list (the list is made when there is none).
void appendSpecifier(id controller, id specifier);

}  // namespace hostsim
