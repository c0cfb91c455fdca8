// The Preferences framework as a preference bundle meets it. A specifier is one row of a
// settings list and carries the dictionary that its specifier plist gave it. PSListController
// keeps the rows it shows in its field `_specifiers`, loads rows from the bundle's specifier
// plists (an `items` array of dictionaries with `cell`, `label`, `key`, `default`, ...), shows
// and hides runs of rows, and keeps its own store of values for the rows' keys.
#include "hostsim/Preferences.h"

#include <algorithm>
#include <optional>
#include <string>

#include "hostsim/Timeline.h"

namespace hostsim {

namespace {

using host::ObjectList;
using host::Value;
using SpecifierList = std::optional<ObjectList>;

constexpr const char* kLiveList = "_specifiers";

struct Specifier : NativeState {
  host::Dictionary properties;
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

SpecifierList& liveList(id controller) {
  return host::ivar<SpecifierList>(controller, kLiveList);
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

Value specifierPropertiesMethod(id self, SEL) {
  return Value(specifierProperties(self));
}

Value specifierPropertyForKey(id self, SEL, const char* key) {
  if (key == nullptr) return Value();
  const Value* value = specifierProperties(self).find(key);
  return value != nullptr ? *value : Value();
}

void specifierSetPropertyForKey(id self, SEL, const Value* value, const char* key) {
  Specifier* specifier = as<Specifier>(self);
  if (specifier == nullptr || key == nullptr) return;
  if (value == nullptr || value->isNone()) {
    specifier->properties.remove(key);
  } else {
    specifier->properties.set(key, *value);
  }
}

id specifierTarget(id self, SEL) {
  Specifier* specifier = as<Specifier>(self);
  return specifier != nullptr ? specifier->target : nullptr;
}

// ---- PSListController -----------------------------------------------------------------------

SpecifierList controllerSpecifiers(id self, SEL) {
  return liveList(self);
}

// Reads "<bundle>/<name>.plist". No name, or a plist that cannot be read as a dictionary, gives
// no list; entries of `items` that are not dictionaries are skipped.
SpecifierList controllerLoadSpecifiers(id self, SEL, const char* name, id target) {
  ListController* controller = as<ListController>(self);
  if (controller == nullptr || name == nullptr) return std::nullopt;
  const std::string file = std::string(name) + ".plist";
  std::optional<host::Dictionary> plist = host::readDictionary(controller->bundle + "/" + file);
  if (!plist) {
    timeline("settings", "Settings: the bundle has no readable " + file);
    return std::nullopt;
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
  return list;
}

Value controllerReadPreferenceValue(id self, SEL, id specifier) {
  ListController* controller = as<ListController>(self);
  const Value* key = stringProperty(specifier, "key");
  if (controller != nullptr && key != nullptr) {
    if (const Value* stored = controller->store.find(*key->asString())) return *stored;
  }
  const Value* fallback = specifierProperties(specifier).find("default");
  return fallback != nullptr ? *fallback : Value();
}

void controllerSetPreferenceValue(id self, SEL, const Value* value, id specifier) {
  ListController* controller = as<ListController>(self);
  const Value* key = stringProperty(specifier, "key");
  if (controller == nullptr || key == nullptr) return;
  if (value == nullptr || value->isNone()) {
    controller->store.remove(*key->asString());
  } else {
    controller->store.set(*key->asString(), *value);
  }
}

// The rows enter the live list right after the anchor. An anchor that is not shown shows
// nothing: there is no place on the page to show the rows at.
void controllerInsertContiguous(id self, SEL, const ObjectList* specifiers, id anchor,
                                bool animated) {
  SpecifierList& live = liveList(self);
  if (!live || specifiers == nullptr || specifiers->empty()) return;
  auto at = std::find_if(live->begin(), live->end(),
                         [anchor](const host::StrongRef& row) { return row.get() == anchor; });
  if (at == live->end()) {
    timeline("settings", "Settings: " + rows(specifiers->size()) + " not shown: \"" +
                             labelOf(anchor) + "\" is not on the page");
    return;
  }
  const ObjectList copy = *specifiers;  // the argument may be the live list itself
  live->insert(at + 1, copy.begin(), copy.end());
  timeline("settings", "Settings: showed " + rows(copy.size()) + " after \"" + labelOf(anchor) +
                           "\"" + (animated ? ", animated" : ""));
}

// Every occurrence of each of the rows leaves the live list.
void controllerRemoveContiguous(id self, SEL, const ObjectList* specifiers, bool animated) {
  SpecifierList& live = liveList(self);
  if (!live || specifiers == nullptr || specifiers->empty()) return;
  const ObjectList gone = *specifiers;
  const std::size_t before = live->size();
  std::erase_if(*live, [&gone](const host::StrongRef& row) {
    return std::find(gone.begin(), gone.end(), row) != gone.end();
  });
  timeline("settings",
           "Settings: hid " + rows(before - live->size()) + (animated ? ", animated" : ""));
}

}  // namespace

PreferencesClasses installPreferencesFramework() {
  PreferencesClasses& c = classes();
  c.object = defineClass("NSObject", nullptr);

  c.specifier = defineClass("PSSpecifier", c.object, [] { return new Specifier; });
  addMethod(c.specifier, "properties", host::toIMP(&specifierPropertiesMethod), "@@:");
  addMethod(c.specifier, "propertyForKey:", host::toIMP(&specifierPropertyForKey), "@@:@");
  addMethod(c.specifier, "setProperty:forKey:", host::toIMP(&specifierSetPropertyForKey), "v@:@@");
  addMethod(c.specifier, "target", host::toIMP(&specifierTarget), "@@:");

  c.listController = defineClass("PSListController", c.object, [] { return new ListController; });
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

void appendSpecifier(id controller, id specifier) {
  SpecifierList& live = liveList(controller);
  if (!live) live.emplace();
  live->push_back(host::StrongRef(specifier));
}

}  // namespace hostsim
