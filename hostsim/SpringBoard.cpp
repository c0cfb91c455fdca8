// SpringBoard's classes as the engine meets them: the application object, applications, the
// app switcher of each system version, Control Center's module instances and UIDevice.
#include "hostsim/SpringBoard.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "host/Foundation.h"
#include "hostsim/Objects.h"
#include "hostsim/Process.h"
#include "hostsim/Timeline.h"

namespace hostsim {

namespace {

// SpringBoard's objects in the running process.
struct SimState : ProcessPart {
  HostClasses classes;
  host::StrongRef springBoard;
  host::StrongRef device;
  host::StrongRef moduleManager;
  host::StrongRef switcher;
  std::vector<host::StrongRef> applications;
  std::vector<host::StrongRef> versionAnswers;  // string objects
  host::StrongRef version;
  std::size_t versionQueries = 0;
  bool vpnConnected = false;
  host::StrongRef front;
};

SimState& state() {
  return currentProcess().part<SimState>();
}

struct Application : NativeState {
  std::string bundleId;
  host::StrongRef identifier;  // the same, as a string object
};
struct ExitReport : NativeState {
  host::StrongRef application;
};
struct ModuleInstance : NativeState {
  host::StrongRef metadata;
  host::StrongRef module;
};
struct ModuleMetadata : NativeState {
  std::string identifier;
  host::StrongRef identifierObject;
};
struct Module : NativeState {
  bool selected = false;
  bool vpn = false;
  std::string identifier;  // its instance's, so that the timeline can name it
};
struct ModuleManager : NativeState {
  host::ObjectList instances;
  host::StrongRef array;  // the same instances, as the array object moduleInstances answers
};

int majorVersion(const std::string& version) {
  int major = 0;
  for (char c : version) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    major = major * 10 + (c - '0');
    if (major > 1000) break;
  }
  return major;
}

// -[SpringBoard frontDisplayDidChange:]: SpringBoard's own bookkeeping.
void springBoardFrontDisplayDidChange(id self, SEL, id display) {
  (void)self;
  state().front = host::StrongRef(display);
}

id applicationUniqueIdentifier(id self, SEL) {
  return as<Application>(self)->identifier.get();
}

id exitReportObject(id self, SEL) {
  return as<ExitReport>(self)->application.get();
}

void switcherApplicationDidExit(id, SEL, id report) {
  id app = host::msgSend<id>(report, sel("object"));
  const std::optional<std::string> bundleId =
      host::UTF8String(host::msgSend<id>(app, sel("uniqueIdentifier")));
  timeline("switcher", "switcher removed " + bundleId.value_or("(nil)"));
}

id deviceCurrentDevice(id, SEL) {
  return state().device.get();
}

id deviceSystemVersion(id, SEL) {
  SimState& s = state();
  std::size_t i = s.versionQueries++;
  if (s.versionAnswers.empty()) return s.version.get();
  return s.versionAnswers[std::min(i, s.versionAnswers.size() - 1)].get();
}

id managerSharedInstance(id, SEL) {
  return state().moduleManager.get();
}

id managerModuleInstances(id self, SEL) {
  return as<ModuleManager>(self)->array.get();
}

id instanceMetadata(id self, SEL) {
  return as<ModuleInstance>(self)->metadata.get();
}
id instanceModule(id self, SEL) {
  return as<ModuleInstance>(self)->module.get();
}
id metadataModuleIdentifier(id self, SEL) {
  return as<ModuleMetadata>(self)->identifierObject.get();
}

void moduleSetSelected(id self, SEL, bool selected) {
  Module* module = as<Module>(self);
  module->selected = selected;
  if (module->vpn) state().vpnConnected = selected;
  TimelineDetails details{{"module", module->identifier}, {"selected", selected}};
  if (module->vpn) details.emplace_back("vpn", selected);  // the connection, as it now is
  timeline("module",
           std::string(selected ? "selected" : "deselected") + " a Control Center module, " +
               module->identifier +
               (module->vpn ? (selected ? ": VPN connected" : ": VPN disconnected") : ""),
           std::move(details));
}

bool moduleIsSelected(id self, SEL) {
  return as<Module>(self)->selected;
}

}  // namespace

const HostClasses& hostClasses() {
  return state().classes;
}

void installSpringBoard(const std::string& systemVersion,
                        const std::vector<std::string>& versionAnswers,
                        const std::vector<std::string>& apps,
                        const std::vector<ModuleSpec>& modules) {
  SimState& s = state();
  s.version = host::stringWithUTF8String(systemVersion);
  for (const std::string& answer : versionAnswers) {
    s.versionAnswers.push_back(host::stringWithUTF8String(answer));
  }
  HostClasses& c = s.classes;

  c.object = foundationRoot();
  c.uiApplication = defineClass("UIApplication", c.object);
  c.springBoard = defineClass("SpringBoard", c.uiApplication);
  addMethod(c.springBoard, "frontDisplayDidChange:", host::toIMP(&springBoardFrontDisplayDidChange),
            "v@:@");

  c.application = defineClass("SBApplication", c.object, [] { return new Application; });
  addMethod(c.application, "uniqueIdentifier", host::toIMP(&applicationUniqueIdentifier), "@@:");
  c.homeScreen = defineClass("SBHomeScreenViewController", c.object);

  c.exitReport = defineClass("NSNotification", c.object, [] { return new ExitReport; });
  addMethod(c.exitReport, "object", host::toIMP(&exitReportObject), "@@:");

  // The app switcher that reports exits: the view controller up to iOS 15, the coordinator
  // from iOS 16 on.
  if (majorVersion(systemVersion) >= 16) {
    c.switcher = defineClass("SBMainSwitcherControllerCoordinator", c.object);
  } else {
    c.switcher = defineClass("SBMainSwitcherViewController", c.object);
  }
  addMethod(c.switcher, "_applicationDidExit:", host::toIMP(&switcherApplicationDidExit), "v@:@");
  c.nativeApplicationDidExit = host::toIMP(&switcherApplicationDidExit);

  c.device = defineClass("UIDevice", c.object);
  addClassMethod(c.device, "currentDevice", host::toIMP(&deviceCurrentDevice), "@@:");
  addMethod(c.device, "systemVersion", host::toIMP(&deviceSystemVersion), "@@:");

  c.moduleManager =
      defineClass("CCUIModuleInstanceManager", c.object, [] { return new ModuleManager; });
  addClassMethod(c.moduleManager, "sharedInstance", host::toIMP(&managerSharedInstance), "@@:");
  addMethod(c.moduleManager, "moduleInstances", host::toIMP(&managerModuleInstances), "@@:");
  c.moduleInstance = defineClass("CCUIModuleInstance", c.object, [] { return new ModuleInstance; });
  addMethod(c.moduleInstance, "metadata", host::toIMP(&instanceMetadata), "@@:");
  addMethod(c.moduleInstance, "module", host::toIMP(&instanceModule), "@@:");
  c.moduleMetadata = defineClass("CCUIModuleMetadata", c.object, [] { return new ModuleMetadata; });
  addMethod(c.moduleMetadata, "moduleIdentifier", host::toIMP(&metadataModuleIdentifier), "@@:");
  c.toggleModule = defineClass("CCUIToggleModule", c.object, [] { return new Module; });
  addMethod(c.toggleModule, "setSelected:", host::toIMP(&moduleSetSelected), "v@:B");
  addMethod(c.toggleModule, "isSelected", host::toIMP(&moduleIsSelected), "B@:");
  c.inertModule = defineClass("CCUIContentModule", c.object, [] { return new Module; });
  addMethod(c.inertModule, "isSelected", host::toIMP(&moduleIsSelected), "B@:");

  s.springBoard = host::StrongRef::adopt(host::class_createInstance(c.springBoard));
  s.device = host::StrongRef::adopt(host::class_createInstance(c.device));
  s.switcher = host::StrongRef::adopt(host::class_createInstance(c.switcher));
  for (const std::string& bundleId : apps) {
    auto app = host::StrongRef::adopt(host::class_createInstance(c.application));
    as<Application>(app.get())->bundleId = bundleId;
    as<Application>(app.get())->identifier = host::stringWithUTF8String(bundleId);
    s.applications.push_back(app);
  }
  auto manager = host::StrongRef::adopt(host::class_createInstance(c.moduleManager));
  for (const ModuleSpec& declared : modules) {
    auto instance = host::StrongRef::adopt(host::class_createInstance(c.moduleInstance));
    auto metadata = host::StrongRef::adopt(host::class_createInstance(c.moduleMetadata));
    as<ModuleMetadata>(metadata.get())->identifier = declared.identifier;
    as<ModuleMetadata>(metadata.get())->identifierObject =
        host::stringWithUTF8String(declared.identifier);
    auto module = host::StrongRef::adopt(
        host::class_createInstance(declared.inert ? c.inertModule : c.toggleModule));
    as<Module>(module.get())->vpn = declared.vpn;
    as<Module>(module.get())->identifier = declared.identifier;
    as<ModuleInstance>(instance.get())->metadata = metadata;
    as<ModuleInstance>(instance.get())->module = module;
    as<ModuleManager>(manager.get())->instances.push_back(instance);
  }
  as<ModuleManager>(manager.get())->array =
      host::arrayWithObjects(as<ModuleManager>(manager.get())->instances);
  s.moduleManager = manager;
}

id springBoardObject() {
  return state().springBoard.get();
}

id applicationNamed(const std::string& bundleId) {
  for (const auto& app : state().applications) {
    if (as<Application>(app.get())->bundleId == bundleId) return app.get();
  }
  return nullptr;
}

void sendFrontDisplayDidChange(id display) {
  host::msgSend<void, id>(springBoardObject(), sel("frontDisplayDidChange:"), display);
}

void reportApplicationExit(id application) {
  auto report = host::StrongRef::adopt(host::class_createInstance(state().classes.exitReport));
  as<ExitReport>(report.get())->application = host::StrongRef(application);
  host::msgSend<void, id>(state().switcher.get(), sel("_applicationDidExit:"), report.get());
}

std::string frontDisplayIdentifier() {
  id display = state().front.get();
  if (display == nullptr || !host::isKindOfClass(display, state().classes.application)) return "";
  return as<Application>(display)->bundleId;
}

bool vpnConnected() {
  return state().vpnConnected;
}

void userSwitchesVPN(bool on) {
  SimState& s = state();
  s.vpnConnected = on;
  // Control Center's toggle follows the connection.
  for (const auto& instance : as<ModuleManager>(s.moduleManager.get())->instances) {
    Module* module = as<Module>(as<ModuleInstance>(instance.get())->module.get());
    if (module->vpn) module->selected = on;
  }
}

std::optional<bool> moduleSelected(const std::string& identifier) {
  SimState& s = state();
  if (!s.moduleManager) return std::nullopt;
  for (const auto& instance : as<ModuleManager>(s.moduleManager.get())->instances) {
    auto* entry = as<ModuleInstance>(instance.get());
    if (as<ModuleMetadata>(entry->metadata.get())->identifier == identifier) {
      return as<Module>(entry->module.get())->selected;
    }
  }
  return std::nullopt;
}

std::size_t systemVersionQueries() {
  return state().versionQueries;
}

}  // namespace hostsim
