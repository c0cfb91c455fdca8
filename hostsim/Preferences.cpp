// The Preferences framework as a preference bundle meets it. A specifier is one row of a
// settings list and carries the dictionary that its specifier plist gave it. PSListController
// keeps the rows it shows in its field `_specifiers`, loads rows from the bundle's specifier
// plists (an `items` array of dictionaries with `cell`, `label`, `key`, `default`, ...), shows
// and hides runs of rows, and keeps its own store of values for the rows' keys.
#include "hostsim/Preferences.h"

#include <algorithm>
#include <map>
#include <optional>
#include <string>

#include "host/Foundation.h"
#include "hostsim/Timeline.h"

namespace hostsim {

namespace {

using host::ObjectList;
using host::StrongRef;
using host::Value;

constexpr const char* kLiveList = "_specifiers";

struct Specifier : NativeState {
  host::Dictionary properties;
  // The properties as objects, made when first asked for; they live as long as the property.
  std::map<std::string, StrongRef, std::less<>> objects;
  id target = nullptr;  // not retained: the controller owns its rows, not the other way round
};

struct ListController : NativeState {
  std::string bundle;      // device path of the bundle folder
  host::Dictionary store;  // the framework's own values, by key
  ObjectList loaded;       // what the loader last handed out
};

PreferencesClasses& classes() {
  static auto* c = new PreferencesClasses;
  return *c;
}

const host::Dictionary& emptyDictionary() {
  static const auto* empty = new host::Dictionary;
  return *empty;
}

host::Ivar liveListIvar() {
  return host::class_getInstanceVariable(classes().listController, kLiveList);
}

// The live list (a mutable array), or nil while there is none.
id liveList(id controller) {
  return host::object_getIvar(controller, liveListIvar());
}

ObjectList liveRows(id controller) {
  return host::arrayElements(liveList(controller));
}

const Value* stringProperty(id specifier, const char* key) {
  const Value* value = specifierProperties(specifier).find(key);
  return value != nullptr && value->asString() != nullptr ? value : nullptr;
}

std::string labelOf(id specifier) {
  const Value* label = stringProperty(specifier, "label");
  return label != nullptr ? *label->asString() : std::string("(unlabelled)");
}

std::string rows(std::size_t n) {
  return std::to_string(n) + (n == 1 ? " row" : " rows");
}

// ---- PSSpecifier ----------------------------------------------------------------------------

id specifierPropertyForKey(id self, SEL, id key) {
  Specifier* specifier = as<Specifier>(self);
  const std::optional<std::string> name = host::UTF8String(key);
  if (specifier == nullptr || !name) return nullptr;
  const Value* value = specifier->properties.find(*name);
  if (value == nullptr) return nullptr;
  auto made = specifier->objects.find(*name);
  if (made == specifier->objects.end()) {
    made = specifier->objects.emplace(*name, host::propertyListFromValue(*value)).first;
  }
  return made->second.get();
}

void specifierSetPropertyForKey(id self, SEL, id value, id key) {
  Specifier* specifier = as<Specifier>(self);
  const std::optional<std::string> name = host::UTF8String(key);
  if (specifier == nullptr || !name) return;
  specifier->objects.erase(*name);
  Value v = host::valueFromPropertyList(value);
  if (v.isNone()) {
    specifier->properties.remove(*name);
  } else {
    specifier->properties.set(*name, std::move(v));
  }
}

id specifierTarget(id self, SEL) {
  Specifier* specifier = as<Specifier>(self);
  return specifier != nullptr ? specifier->target : nullptr;
}

// ---- PSListController -----------------------------------------------------------------------

id controllerSpecifiers(id self, SEL) {
  return liveList(self);
}

// Reads "<bundle>/<name>.plist" into a new mutable array of specifiers (autoreleased). No name,
// or a plist that cannot be read as a dictionary, gives nil; entries of `items` that are not
// dictionaries are skipped.
id controllerLoadSpecifiers(id self, SEL, id name, id target) {
  ListController* controller = as<ListController>(self);
  const std::optional<std::string> plistName = host::UTF8String(name);
  if (controller == nullptr || !plistName) return nullptr;
  const std::string file = *plistName + ".plist";
  const host::Result<host::Dictionary> plist =
      host::readDictionary(controller->bundle + "/" + file);
  if (!plist.ok()) {
    timeline("settings", "Settings: the bundle has no readable " + file);
    return nullptr;
  }
  ObjectList list;
  const Value* items = plist->find("items");
  if (items != nullptr && items->asArray() != nullptr) {
    for (const Value& item : *items->asArray()) {
      if (const host::Dictionary* properties = item.asDictionary()) {
        list.push_back(makeSpecifier(classes().specifier, *properties, target));
      }
    }
  }
  controller->loaded = list;
  timeline("settings", "Settings: loaded " + rows(list.size()) + " from " + file);
  return host::autoreleased(host::mutableArrayWithObjects(list));
}

id controllerReadPreferenceValue(id self, SEL, id specifier) {
  ListController* controller = as<ListController>(self);
  const Value* key = stringProperty(specifier, "key");
  if (controller != nullptr && key != nullptr) {
    if (const Value* stored = controller->store.find(*key->asString())) {
      return host::autoreleased(host::propertyListFromValue(*stored));
    }
  }
  const Value* fallback = specifierProperties(specifier).find("default");
  return fallback != nullptr ? host::autoreleased(host::propertyListFromValue(*fallback)) : nullptr;
}

void controllerSetPreferenceValue(id self, SEL, id value, id specifier) {
  ListController* controller = as<ListController>(self);
  const Value* key = stringProperty(specifier, "key");
  if (controller == nullptr || key == nullptr) return;
  Value v = host::valueFromPropertyList(value);
  if (v.isNone()) {
    controller->store.remove(*key->asString());
  } else {
    controller->store.set(*key->asString(), std::move(v));
  }
}

// The rows enter the live list right after the anchor. An anchor that is not shown shows
// nothing: there is no place on the page to show the rows at.
void controllerInsertContiguous(id self, SEL, id specifiers, id anchor, bool animated) {
  const ObjectList inserted = host::arrayElements(specifiers);
  ObjectList live = liveRows(self);
  if (liveList(self) == nullptr || inserted.empty()) return;
  auto at = std::find_if(live.begin(), live.end(),
                         [anchor](const StrongRef& row) { return row.get() == anchor; });
  if (at == live.end()) {
    timeline("settings", "Settings: " + rows(inserted.size()) + " not shown: \"" + labelOf(anchor) +
                             "\" is not on the page");
    return;
  }
  // Changed in place: whoever holds the list sees the change, as on the platform.
  unsigned long index = static_cast<unsigned long>(at - live.begin()) + 1;
  for (const StrongRef& row : inserted) {
    host::msgSend<void, id, unsigned long>(liveList(self), sel("insertObject:atIndex:"), row.get(),
                                           index++);
  }
  timeline("settings", "Settings: showed " + rows(inserted.size()) + " after \"" + labelOf(anchor) +
                           "\"" + (animated ? ", animated" : ""));
}

// Every occurrence of each of the rows leaves the live list.
void controllerRemoveContiguous(id self, SEL, id specifiers, bool animated) {
  const ObjectList gone = host::arrayElements(specifiers);
  ObjectList live = liveRows(self);
  if (liveList(self) == nullptr || gone.empty()) return;
  host::msgSend<void, id>(liveList(self), sel("removeObjectsInArray:"), specifiers);
  timeline("settings", "Settings: hid " +
                           rows(live.size() - host::CFArrayGetCount(liveList(self))) +
                           (animated ? ", animated" : ""));
}

// The controller's rows go with it, then NSObject frees it.
void controllerDealloc(id self, SEL sel) {
  id live = liveList(self);
  host::object_setIvar(self, liveListIvar(), nullptr);
  host::objc_release(live);
  host::msgSendSuper<void>(classes().object, self, sel);
}

}  // namespace

PreferencesClasses installPreferencesFramework() {
  PreferencesClasses& c = classes();
  c.object = foundationRoot();

  c.specifier = defineClass("PSSpecifier", c.object, [] { return new Specifier; });
  addMethod(c.specifier, "propertyForKey:", host::toIMP(&specifierPropertyForKey), "@@:@");
  addMethod(c.specifier, "setProperty:forKey:", host::toIMP(&specifierSetPropertyForKey), "v@:@@");
  addMethod(c.specifier, "target", host::toIMP(&specifierTarget), "@@:");

  c.listController =
      defineClass("PSListController", c.object, [] { return new ListController; }, {kLiveList});
  addMethod(c.listController, "specifiers", host::toIMP(&controllerSpecifiers), "@@:");
  addMethod(c.listController,
            "loadSpecifiersFromPlistName:target:", host::toIMP(&controllerLoadSpecifiers), "@@:@@");
  addMethod(c.listController, "readPreferenceValue:", host::toIMP(&controllerReadPreferenceValue),
            "@@:@");
  addMethod(c.listController,
            "setPreferenceValue:specifier:", host::toIMP(&controllerSetPreferenceValue), "v@:@@");
  addMethod(c.listController, "insertContiguousSpecifiers:afterSpecifier:animated:",
            host::toIMP(&controllerInsertContiguous), "v@:@@B");
  addMethod(c.listController,
            "removeContiguousSpecifiers:animated:", host::toIMP(&controllerRemoveContiguous),
            "v@:@B");
  addMethod(c.listController, "dealloc", host::toIMP(&controllerDealloc), "v@:");
  return c;
}

host::StrongRef makeSpecifier(Class specifierClass, host::Dictionary properties, id target) {
  auto specifier = host::StrongRef::adopt(host::class_createInstance(specifierClass));
  if (Specifier* s = as<Specifier>(specifier.get())) {
    s->properties = std::move(properties);
    s->target = target;
  }
  return specifier;
}

const host::Dictionary& specifierProperties(id specifier) {
  Specifier* s = as<Specifier>(specifier);
  return s != nullptr ? s->properties : emptyDictionary();
}

void setControllerBundle(id controller, const std::string& bundleFolder) {
  if (ListController* c = as<ListController>(controller)) c->bundle = bundleFolder;
}

const host::ObjectList& loadedSpecifiers(id controller) {
  static const auto* none = new ObjectList;
  ListController* c = as<ListController>(controller);
  return c != nullptr ? c->loaded : *none;
}

host::ObjectList shownSpecifiers(id controller) {
  return liveRows(controller);
}

void appendSpecifier(id controller, id specifier) {
  if (liveList(controller) == nullptr) {
    host::object_setIvar(controller, liveListIvar(),
                         host::objc_retain(host::mutableArrayWithObjects({}).get()));
  }
  host::msgSend<void, id>(liveList(controller), sel("addObject:"), specifier);
}

}  // namespace hostsim
