// A simulated device with the Settings app open on the pane. Tests drive the pane's controllers
// through the runtime, as the Settings app does, with specifier plists of their own written into
// the installed bundle, or with hand-made specifiers.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "host/Foundation.h"
#include "hostsim/FileLayer.h"
#include "hostsim/PlistCodec.h"
#include "hostsim/Preferences.h"
#include "hostsim/Process.h"
#include "hostsim/SettingsApp.h"
#include "tests/support/TestDevice.h"
#include "tools/Scenario.h"

namespace host {
// Values in test failures, as scenarios write them.
inline void PrintTo(const Value& value, std::ostream* out) {
  *out << harbrite::sim::formatValue(value);
}
}  // namespace host

namespace harbrite::test {

using host::Class;
using host::id;
using host::SEL;
using SpecifierList = std::optional<host::ObjectList>;

inline SEL sel(const char* name) {
  return host::sel_registerName(name);
}

// One specifier-plist item: a row with a label and the given properties.
inline host::Dictionary item(const std::string& label,
                             std::initializer_list<std::pair<const char*, host::Value>> more = {}) {
  host::Dictionary d;
  d.set("cell", host::Value("PSSwitchCell"));
  d.set("label", host::Value(label));
  for (const auto& [key, value] : more) d.set(key, value);
  return d;
}

inline std::string label(id specifier) {
  const host::Value* l = hostsim::specifierProperties(specifier).find("label");
  return l != nullptr && l->asString() != nullptr ? *l->asString() : "?";
}
inline std::vector<std::string> labels(const SpecifierList& list) {
  std::vector<std::string> out;
  if (list) {
    for (const auto& s : *list) out.push_back(label(s.get()));
  }
  return out;
}

// While it lives, every atomic replacement fails at its rename: the old file stays.
class FailingRenames : public hostsim::FileLayerWrapper {
 public:
  FailingRenames() : FileLayerWrapper(hostsim::posixFileLayer()) { hostsim::setFileLayer(this); }
  ~FailingRenames() override { hostsim::setFileLayer(nullptr); }
  int rename(const char*, const char*) override {
    errno = EIO;
    return -1;
  }
};

class PaneFixture : public ::testing::Test {
 protected:
  PaneFixture() : app(device.root()) { app.open(); }

  // Writes "<name>.plist" into the installed bundle, with these items.
  void writePlist(const std::string& name, const std::vector<host::Dictionary>& items) {
    host::Array array(items.begin(), items.end());
    host::Dictionary plist;
    plist.set("items", host::Value(std::move(array)));
    ASSERT_TRUE(host::writeDictionaryAtomically(
                    plist, std::string(hostsim::SettingsApp::kBundlePath) + "/" + name + ".plist")
                    .ok());
  }

  static SpecifierList specifiers(id controller) {
    return listOf(host::msgSend<id>(controller, sel("specifiers")));
  }
  // The rows an array object holds; none for nil.
  static SpecifierList listOf(id array) {
    if (array == nullptr) return std::nullopt;
    return host::arrayElements(array);
  }
  // An object instance variable of the controller, as a list of rows.
  static SpecifierList ivarList(id controller, const char* name) {
    return listOf(host::object_getIvar(
        controller, host::class_getInstanceVariable(host::object_getClass(controller), name)));
  }
  // The user's change, as the Settings app passes it: a property-list object (nil for none).
  static void setValue(id controller, const host::Value* value, id specifier) {
    const host::StrongRef object =
        value != nullptr ? host::propertyListFromValue(*value) : host::StrongRef();
    host::msgSend<void, id, id>(controller, sel("setPreferenceValue:specifier:"), object.get(),
                                specifier);
  }
  static host::Value readValue(id controller, id specifier) {
    host::AutoreleasePool pool;
    return host::valueFromPropertyList(
        host::msgSend<id, id>(controller, sel("readPreferenceValue:"), specifier));
  }
  // The loaded row with that label, shown or not.
  static id row(id controller, const std::string& wanted) {
    for (const auto& s : hostsim::loadedSpecifiers(controller)) {
      if (label(s.get()) == wanted) return s.get();
    }
    ADD_FAILURE() << "no row " << wanted;
    return nullptr;
  }

  // The preferences file as a dictionary; none when it cannot be read as one.
  std::optional<host::Dictionary> prefsFile() const {
    host::Result<host::Dictionary> file = host::readDictionary(device.preferencesFile());
    if (!file.ok()) return std::nullopt;
    return std::move(file).value();
  }
  const std::vector<std::string>& notifications() const {
    return hostsim::darwinNotificationsPosted();
  }

  TestDevice device;
  hostsim::SettingsApp app;
};

}  // namespace harbrite::test
