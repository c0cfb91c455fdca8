// The engine's start-up: the one initialiser, loadPrefs, the version probes and the hooks.
#include <string>

#include "Tweak/Engine.h"
#include "dunmereprefs/Shared/PreferencesFile.h"
#include "host/Platform.h"

extern "C" {
host::id appDidExit = nullptr;
}

namespace harbrite {

bool usePersistMode = false;
host::Value* enabledApps = nullptr;
bool isHandlingChange = false;
IMP origFrontDisplayDidChange = nullptr;
IMP origApplicationDidExit15 = nullptr;
IMP origApplicationDidExit16 = nullptr;

const Selectors& selectors() {
  static const Selectors s{
      .turnVPNOn = host::sel_registerName("turnVPNOn"),
      .handleDisplayChange = host::sel_registerName("handleDisplayChange:"),
      .setVPNState = host::sel_registerName("setVPNState:"),
      .readState = host::sel_registerName("readStateFromFileForFeature:"),
      .writeState = host::sel_registerName("writeStateToFileForFeature:enabled:"),
      .frontDisplayDidChange = host::sel_registerName("frontDisplayDidChange:"),
      .applicationDidExit = host::sel_registerName("_applicationDidExit:"),
      .uniqueIdentifier = host::sel_registerName("uniqueIdentifier"),
      .object = host::sel_registerName("object"),
      .sharedInstance = host::sel_registerName("sharedInstance"),
      .moduleInstances = host::sel_registerName("moduleInstances"),
      .metadata = host::sel_registerName("metadata"),
      .moduleIdentifier = host::sel_registerName("moduleIdentifier"),
      .module = host::sel_registerName("module"),
      .setSelected = host::sel_registerName("setSelected:"),
      .currentDevice = host::sel_registerName("currentDevice"),
      .systemVersion = host::sel_registerName("systemVersion"),
  };
  return s;
}

namespace {

// Set once loadPrefs has installed the hooks: a later call must never hook the engine's own
// replacement (it would become its own "previous implementation") nor add a method twice.
bool installed = false;

bool systemVersionBeginsWith(const char* major) {
  const Selectors& s = selectors();
  id device = host::msgSend<id>(host::asObject(host::objc_getClass("UIDevice")), s.currentDevice);
  const std::optional<std::string> version =
      host::UTF8String(host::msgSend<id>(device, s.systemVersion));
  return version && version->starts_with(major);
}

void installExitHook(const char* className, IMP replacement, IMP* previous) {
  host::MSHookMessageEx(host::objc_getClass(className), selectors().applicationDidExit, replacement,
                        previous);
}

}  // namespace

}  // namespace harbrite

extern "C" {

bool isIOS13() noexcept {
  return harbrite::systemVersionBeginsWith("13");
}
bool isIOS14() noexcept {
  return harbrite::systemVersionBeginsWith("14");
}
bool isIOS15() noexcept {
  return harbrite::systemVersionBeginsWith("15");
}
bool isIOS16() noexcept {
  return harbrite::systemVersionBeginsWith("16");
}

// Reads the preferences once and, when they could be read, installs the engine into SpringBoard.
// A call after the engine has been installed does nothing; a call after an inert start (no
// readable file) tries again, as the first call did.
void loadPrefs() noexcept {
  using namespace harbrite;
  try {
    if (installed) return;
    std::optional<host::Dictionary> prefs = harbrite::prefs::read();
    if (!prefs) return;

    usePersistMode = prefs::boolSetting(*prefs, prefs::kUsePersistMode);
    const host::Value* apps = prefs->find(prefs::kEnabledApplications);
    delete enabledApps;
    enabledApps = apps != nullptr ? new host::Value(*apps) : nullptr;

    // The Application group: the five methods and the front-display hook.
    const Selectors& s = selectors();
    host::Class springBoard = host::objc_getClass("SpringBoard");
    host::class_addMethod(springBoard, s.turnVPNOn, host::toIMP(&turnVPNOn), "v@:");
    host::MSHookMessageEx(springBoard, s.frontDisplayDidChange, host::toIMP(&frontDisplayDidChange),
                          &origFrontDisplayDidChange);
    host::class_addMethod(springBoard, s.handleDisplayChange, host::toIMP(&handleDisplayChange),
                          "v@:@");
    host::class_addMethod(springBoard, s.setVPNState, host::toIMP(&setVPNState), "v@:B");
    host::class_addMethod(springBoard, s.readState, host::toIMP(&readStateFromFileForFeature),
                          "B@:@");
    host::class_addMethod(springBoard, s.writeState, host::toIMP(&writeStateToFileForFeature),
                          "v@:@B");
    installed = true;

    if (!usePersistMode) return;
    if (isIOS15() || isIOS13() || isIOS14()) {
      installExitHook("SBMainSwitcherViewController", host::toIMP(&applicationDidExit15),
                      &origApplicationDidExit15);
    } else if (isIOS16()) {
      installExitHook("SBMainSwitcherControllerCoordinator", host::toIMP(&applicationDidExit16),
                      &origApplicationDidExit16);
    }
  } catch (...) {
    // Nothing escapes into SpringBoard.
  }
}

}  // extern "C"

namespace {
// The library's one initialiser: the hooking framework has just loaded it into SpringBoard.
__attribute__((constructor)) void harbriteDidLoad() {
  try {
    static const host::StrongRef name = host::stringWithUTF8String("appDidExit");
    appDidExit = name.get();
  } catch (...) {
  }
  loadPrefs();
}
}  // namespace
