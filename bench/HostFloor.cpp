#include "bench/HostFloor.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <utility>

#include "host/Foundation.h"
#include "host/Platform.h"
#include "hostsim/Objects.h"

namespace harbrite::bench {

namespace {

using host::id;
using host::SEL;

void silentWithObject(id, SEL, id) {}
void silentWithBool(id, SEL, bool) {}
void silent(id, SEL) {}
bool silentAnswer(id, SEL, id) {
  return false;
}
void silentWithObjectAndBool(id, SEL, id, bool) {}
id silentObject(id, SEL, id) {
  return nullptr;
}
void silentWithTwoObjects(id, SEL, id, id) {}

struct SilentMethod {
  const char* selector;
  host::IMP imp;
  const char* types;
};

// The engine's methods and the pane's, with the type strings their libraries give them.
const SilentMethod kSilentMethods[] = {
    {"handleDisplayChange:", host::toIMP(&silentWithObject), "v@:@"},
    {"frontDisplayDidChange:", host::toIMP(&silentWithObject), "v@:@"},
    {"setVPNState:", host::toIMP(&silentWithBool), "v@:B"},
    {"turnVPNOn", host::toIMP(&silent), "v@:"},
    {"readStateFromFileForFeature:", host::toIMP(&silentAnswer), "B@:@"},
    {"writeStateToFileForFeature:enabled:", host::toIMP(&silentWithObjectAndBool), "v@:@B"},
    {"readPreferenceValue:", host::toIMP(&silentObject), "@@:@"},
    {"setPreferenceValue:specifier:", host::toIMP(&silentWithTwoObjects), "v@:@@"},
};

const SilentMethod& silentMethod(const char* selector) {
  for (const SilentMethod& m : kSilentMethods) {
    if (std::strcmp(m.selector, selector) == 0) return m;
  }
  return kSilentMethods[0];
}

struct Sel {
  SEL handleDisplayChange = host::sel_registerName("handleDisplayChange:");
  SEL setVPNState = host::sel_registerName("setVPNState:");
  SEL turnVPNOn = host::sel_registerName("turnVPNOn");
  SEL readState = host::sel_registerName("readStateFromFileForFeature:");
  SEL writeState = host::sel_registerName("writeStateToFileForFeature:enabled:");
  SEL uniqueIdentifier = host::sel_registerName("uniqueIdentifier");
  SEL sharedInstance = host::sel_registerName("sharedInstance");
  SEL moduleInstances = host::sel_registerName("moduleInstances");
  SEL metadata = host::sel_registerName("metadata");
  SEL moduleIdentifier = host::sel_registerName("moduleIdentifier");
  SEL module = host::sel_registerName("module");
  SEL setSelected = host::sel_registerName("setSelected:");
  SEL readPreferenceValue = host::sel_registerName("readPreferenceValue:");
  SEL setPreferenceValue = host::sel_registerName("setPreferenceValue:specifier:");
  SEL propertyForKey = host::sel_registerName("propertyForKey:");
};
const Sel& sels() {
  static const Sel s;
  return s;
}

}  // namespace

SilentReceiver::SilentReceiver() {
  // A fresh class each time: the runtime forgets classes by name at every boot.
  static int made = 0;
  const std::string name = "HarbriteBenchSilent" + std::to_string(++made);
  host::Class cls = hostsim::defineClass(name.c_str(), hostsim::foundationRoot());
  for (const SilentMethod& m : kSilentMethods) hostsim::addMethod(cls, m.selector, m.imp, m.types);
  object_ = host::StrongRef::adopt(host::class_createInstance(cls));
}

void installSilently(host::Class springBoard) {
  auto add = [springBoard](const char* selector) {
    const SilentMethod& m = silentMethod(selector);
    host::class_addMethod(springBoard, host::sel_registerName(m.selector), m.imp, m.types);
  };
  // In the engine's order: a method added to a class that has been sent messages, or hooked,
  // updates its dispatch table.
  add("turnVPNOn");
  static host::IMP saved = nullptr;
  host::MSHookMessageEx(springBoard, host::sel_registerName("frontDisplayDidChange:"),
                        silentMethod("frontDisplayDidChange:").imp, &saved);
  add("handleDisplayChange:");
  add("setVPNState:");
  add("readStateFromFileForFeature:");
  add("writeStateToFileForFeature:enabled:");
}

SpringBoardFloor::SpringBoardFloor(std::string prefs, std::string state, std::string stateOn,
                                   std::string stateOff)
    : prefs_(std::move(prefs)),
      state_(std::move(state)),
      stateOn_(std::move(stateOn)),
      stateOff_(std::move(stateOff)),
      feature_(host::stringWithUTF8String("VPN")),
      application_(host::objc_getClass("SBApplication")),
      moduleManager_(host::objc_getClass("CCUIModuleInstanceManager")) {
  // Which instance is the VPN's is found here, once: the engine's search is its own logic.
  const Sel& s = sels();
  id manager = host::msgSend<id>(host::asObject(moduleManager_), s.sharedInstance);
  const host::ObjectList instances =
      host::arrayElements(host::msgSend<id>(manager, s.moduleInstances));
  for (std::size_t i = 0; i < instances.size(); ++i) {
    id metadata = host::msgSend<id>(instances[i].get(), s.metadata);
    const auto identifier = host::UTF8String(host::msgSend<id>(metadata, s.moduleIdentifier));
    if (identifier && identifier->find("VPN") != std::string::npos) vpnInstance_ = i;
  }
}

void SpringBoardFloor::handleDisplayChange(id display) const {
  host::msgSend<void, id>(receiver_.get(), sels().handleDisplayChange, display);
}

void SpringBoardFloor::setVPNState(bool wished) const {
  host::msgSend<void, bool>(receiver_.get(), sels().setVPNState, wished);
}

void SpringBoardFloor::turnVPNOn() const {
  host::msgSend<void>(receiver_.get(), sels().turnVPNOn);
}

bool SpringBoardFloor::readEnabled(id application) const {
  if (!host::isKindOfClass(application, application_)) return false;
  const auto bundleId = host::UTF8String(host::msgSend<id>(application, sels().uniqueIdentifier));
  const host::Result<host::Dictionary> prefs = host::readDictionary(prefs_);
  return bundleId.has_value() && prefs.ok();
}

bool SpringBoardFloor::readState() const {
  host::msgSend<bool, id>(receiver_.get(), sels().readState, feature_.get());
  const auto name = host::UTF8String(feature_.get());
  const host::Result<std::string> file = host::readUTF8Text(state_);
  return name.has_value() && file.ok();
}

void SpringBoardFloor::switchVPN(bool on) const {
  const Sel& s = sels();
  id manager = host::msgSend<id>(host::asObject(moduleManager_), s.sharedInstance);
  const host::ObjectList instances =
      host::arrayElements(host::msgSend<id>(manager, s.moduleInstances));
  for (std::size_t i = 0; i < instances.size(); ++i) {
    id metadata = host::msgSend<id>(instances[i].get(), s.metadata);
    benchmark::DoNotOptimize(host::UTF8String(host::msgSend<id>(metadata, s.moduleIdentifier)));
    if (i != vpnInstance_) continue;
    id module = host::msgSend<id>(instances[i].get(), s.module);
    if (host::respondsToSelector(module, s.setSelected)) {
      host::msgSend<void, bool>(module, s.setSelected, on);
    }
  }
  host::msgSend<void, id, bool>(receiver_.get(), s.writeState, feature_.get(), on);
  const auto name = host::UTF8String(feature_.get());
  const host::Result<std::string> file = host::readUTF8Text(state_);
  if (name && file.status().code() != host::Status::Code::Unreadable) {
    static_cast<void>(host::writeUTF8TextAtomically(state_, on ? stateOn_ : stateOff_));
  }
}

SettingsFloor::SettingsFloor(std::string prefs)
    : prefs_(std::move(prefs)),
      key_(host::stringWithUTF8String("key")),
      nestedEntryCount_(host::stringWithUTF8String("nestedEntryCount")),
      postNotification_(host::stringWithUTF8String("PostNotification")) {}

id SettingsFloor::readValue(id row) const {
  const Sel& s = sels();
  host::msgSend<id, id>(receiver_.get(), s.readPreferenceValue, row);
  const auto key = host::UTF8String(host::msgSend<id, id>(row, s.propertyForKey, key_.get()));
  if (!key) return nullptr;
  const host::Result<host::Dictionary> file = host::readDictionary(prefs_);
  const host::Value* entry = file.ok() ? file->find(*key) : nullptr;
  return entry != nullptr ? host::autoreleased(host::propertyListFromValue(*entry)) : nullptr;
}

void SettingsFloor::writeValue(id value, id row) const {
  const Sel& s = sels();
  host::msgSend<void, id, id>(receiver_.get(), s.setPreferenceValue, value, row);
  const auto key = host::UTF8String(host::msgSend<id, id>(row, s.propertyForKey, key_.get()));
  if (!key) return;
  host::Result<host::Dictionary> current = host::readDictionary(prefs_);
  host::Dictionary file = std::move(current).valueOr(host::Dictionary{});
  file.set(*key, host::valueFromPropertyList(value));
  static_cast<void>(host::writeDictionaryAtomically(file, prefs_));
  host::msgSend<id, id>(row, s.propertyForKey, nestedEntryCount_.get());
  host::UTF8String(host::msgSend<id, id>(row, s.propertyForKey, postNotification_.get()));
}

}  // namespace harbrite::bench
