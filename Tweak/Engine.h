// The engine's globals and the implementations it adds to or installs in SpringBoard's classes.
// Everything here runs on SpringBoard's main thread, except loadPrefs, which runs on the thread
// that loads the library.
#pragma once

#include "host/Export.h"
#include "host/Foundation.h"
#include "host/PropertyList.h"
#include "host/Runtime.h"

extern "C" {
// The name of the in-process notification that persist mode posts when an enabled application
// exits, and that SpringBoard observes with turnVPNOn: a string object, made when the library
// loads and kept for its life.
HARBRITE_EXPORT extern host::id appDidExit;

HARBRITE_EXPORT void loadPrefs() noexcept;
HARBRITE_EXPORT bool isIOS13() noexcept;
HARBRITE_EXPORT bool isIOS14() noexcept;
HARBRITE_EXPORT bool isIOS15() noexcept;
HARBRITE_EXPORT bool isIOS16() noexcept;
}

namespace harbrite {

using host::id;
using host::IMP;
using host::SEL;

// Set once by loadPrefs, when the preferences file could be read.
extern bool usePersistMode;
// The enabledApplications value at start-up. Kept for the life of SpringBoard; no decision
// consults it, since every decision reads the file anew.
extern host::Value* enabledApps;
// YES from the start of a settling delay until its decision has run.
extern bool isHandlingChange;
// The host's implementations that the hooks replaced.
extern IMP origFrontDisplayDidChange;
extern IMP origApplicationDidExit15;
extern IMP origApplicationDidExit16;

// -[SpringBoard frontDisplayDidChange:] replacement and -[SpringBoard handleDisplayChange:].
void frontDisplayDidChange(id self, SEL sel, id frontDisplay) noexcept;
void handleDisplayChange(id self, SEL sel, id frontDisplay) noexcept;

// -[SpringBoard setVPNState:] and -[SpringBoard turnVPNOn] (which switches the VPN off).
void setVPNState(id self, SEL sel, bool wished) noexcept;
void turnVPNOn(id self, SEL sel) noexcept;

// -[SpringBoard readStateFromFileForFeature:] and -[SpringBoard
// writeStateToFileForFeature:enabled:]; the feature is a string object ("VPN").
bool readStateFromFileForFeature(id self, SEL sel, id feature) noexcept;
void writeStateToFileForFeature(id self, SEL sel, id feature, bool enabled) noexcept;

// The _applicationDidExit: replacements of the iOS 13-15 and the iOS 16 app switcher.
void applicationDidExit15(id self, SEL sel, id exitReport) noexcept;
void applicationDidExit16(id self, SEL sel, id exitReport) noexcept;

// Selectors the engine sends, interned once.
struct Selectors {
  SEL turnVPNOn, handleDisplayChange, setVPNState, readState, writeState;
  SEL frontDisplayDidChange, applicationDidExit, uniqueIdentifier, object;
  SEL sharedInstance, moduleInstances, metadata, moduleIdentifier, module, setSelected;
  SEL currentDevice, systemVersion;
};
const Selectors& selectors();

// The feature name "VPN" as a string object, made once.
id vpnFeature();

// SBApplication, looked up on first use and again while the lookup finds nothing.
host::Class applicationClass();
// Whether the front display is an application (an SBApplication or a subclass).
bool isApplication(id frontDisplay);

}  // namespace harbrite
