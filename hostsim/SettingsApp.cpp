// The Settings app: installs the pane's bundle on the device, loads its executable through the
// bundle's Info.plist, makes the principal class's page and shows its rows. The application
// picker (the role AltList plays on a device) stores the chosen bundle identifiers as an array
// through the page's setPreferenceValue:specifier:, as AltList's controllers do.
#include "hostsim/SettingsApp.h"

#include <dlfcn.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include "host/Foundation.h"
#include "hostsim/Device.h"
#include "hostsim/DeviceRoot.h"
#include "hostsim/FileLayer.h"
#include "hostsim/Preferences.h"
#include "hostsim/Process.h"
#include "hostsim/Timeline.h"

namespace fs = std::filesystem;

namespace hostsim {

namespace {

using host::ObjectList;
using host::Value;

constexpr const char* kPickerController = "ATLApplicationListMultiSelectionController";

// While the Settings app works, the process is the Settings app: its name goes into the log
// lines that the pane writes.
class InSettingsProcess {
 public:
  InSettingsProcess() : saved_(process()) {
    ProcessFacts& facts = process();
    facts.executablePath = "/Applications/Preferences.app/Preferences";
    facts.processName = "Preferences";
    facts.hasMainBundle = true;
    facts.bundleIdentifier = "com.apple.Preferences";
  }
  ~InSettingsProcess() { process() = saved_; }
  InSettingsProcess(const InSettingsProcess&) = delete;
  InSettingsProcess& operator=(const InSettingsProcess&) = delete;

 private:
  ProcessFacts saved_;
};

// A fresh copy of the built bundle, file by file, so that the loader never takes the
// executable for one it has loaded before. `to` lies inside the device: whatever stood there is
// removed without following any symlink in it.
void installBundle(const std::string& from, const std::string& to) {
  if (!fs::is_directory(from)) throw std::runtime_error("no pane bundle at " + from);
  if (removeDeviceTree(to) != 0) {
    throw std::runtime_error("cannot remove the old pane bundle (" +
                             std::string(std::strerror(errno)) + ")");
  }
  for (const auto& entry : fs::recursive_directory_iterator(from)) {
    if (!entry.is_regular_file()) continue;
    copyFile(entry.path().string(), (fs::path(to) / fs::relative(entry.path(), from)).string());
  }
}

std::string stringEntry(const host::Dictionary& dictionary, const char* key) {
  const Value* value = dictionary.find(key);
  return value != nullptr && value->asString() != nullptr ? *value->asString() : std::string();
}

bool isPicker(id specifier) {
  return stringEntry(specifierProperties(specifier), "detail") == kPickerController;
}

bool isListOfStrings(const Value& value) {
  if (value.asArray() == nullptr) return false;
  for (const Value& item : *value.asArray()) {
    if (item.asString() == nullptr) return false;
  }
  return true;
}

id rowWith(const ObjectList& list, const char* property, const std::string& wanted) {
  for (const host::StrongRef& row : list) {
    if (stringEntry(specifierProperties(row.get()), property) == wanted) return row.get();
  }
  return nullptr;
}

// How many group switches own each row of the page as its plist describes it: a switch owns
// the rows its "nestedEntryCount" counts after it.
std::unordered_map<id, int> nestingDepths(const ObjectList& page) {
  std::unordered_map<id, int> depth;
  for (std::size_t i = 0; i < page.size(); ++i) {
    const Value* count = specifierProperties(page[i].get()).find("nestedEntryCount");
    // Read as the pane reads it: as Foundation's intValue does.
    const std::int64_t n = count != nullptr ? count->intValue() : 0;
    for (std::size_t j = i + 1; n > 0 && j < page.size() && j - i <= static_cast<std::size_t>(n);
         ++j) {
      ++depth[page[j].get()];
    }
  }
  return depth;
}

// How many of the rows that this group switch owns (as the plist describes the page) the page
// does not show.
int hiddenRows(const ObjectList& loaded, const ObjectList& shown, id groupSwitch) {
  auto at = std::find_if(loaded.begin(), loaded.end(),
                         [&](const host::StrongRef& row) { return row.get() == groupSwitch; });
  if (at == loaded.end()) return 0;
  const Value* count = specifierProperties(groupSwitch).find("nestedEntryCount");
  const std::int64_t n = count != nullptr ? count->intValue() : 0;
  int hidden = 0;
  for (auto row = at + 1; n > 0 && row != loaded.end() && row - at <= n; ++row) {
    const bool isShown = std::any_of(shown.begin(), shown.end(), [&](const host::StrongRef& s) {
      return s.get() == row->get();
    });
    if (!isShown) ++hidden;
  }
  return hidden;
}

}  // namespace

struct SettingsApp::State {
  std::string deviceRoot;
  std::string bundleSource;
  bool opened = false;
  void* library = nullptr;
  PreferencesClasses framework;
  std::vector<Class> paneClasses;
  host::StrongRef root;
};

SettingsApp::SettingsApp(const std::string& deviceRoot, std::string bundleDirectory)
    : state_(std::make_unique<State>()) {
  state_->deviceRoot = deviceRoot;
  state_->bundleSource = bundleDirectory.empty() ? Payload::built().paneBundle : bundleDirectory;
  setDeviceRoot(deviceRoot);
}

SettingsApp::~SettingsApp() {
  if (!state_->opened) return;
  InSettingsProcess process;
  host::AutoreleasePool pool;
  // The Settings process quits: its page goes first, while the pane's code is still loaded,
  // then the classes it registered, then the pane itself.
  state_->root = nullptr;
  for (Class cls : state_->paneClasses) forgetClass(cls);
  forgetClass(state_->framework.listController);
  forgetClass(state_->framework.specifier);
  if (state_->library != nullptr) ::dlclose(state_->library);
  timeline("settings", "Settings quit");
}

void SettingsApp::open() {
  State& s = *state_;
  if (s.opened) return;
  InSettingsProcess process;
  timeline("settings", "Settings started");
  s.framework = installPreferencesFramework();
  // From here on, the destructor cleans up whatever the rest of the opening managed to do.
  s.opened = true;

  // Installing the bundle and loading it under one hold of the device's lock: another process
  // opening Settings on this device cannot remove the bundle in between.
  setDeviceRoot(s.deviceRoot);
  DeviceLock lock;
  installBundle(s.bundleSource, s.deviceRoot + kBundlePath);
  const std::string bundle = kBundlePath;
  const host::Result<host::Dictionary> info = host::readDictionary(bundle + "/Info.plist");
  if (!info.ok()) throw std::runtime_error("the pane's bundle has no readable Info.plist");
  const std::string executable = stringEntry(info.value(), "CFBundleExecutable");
  const std::string principal = stringEntry(info.value(), "NSPrincipalClass");
  if (executable.empty() || principal.empty()) {
    throw std::runtime_error(
        "the pane's Info.plist names no CFBundleExecutable or NSPrincipalClass");
  }

  timeline("settings", "Settings loads dunmereprefs.bundle");
  std::string error;
  s.library = loadDeviceLibrary(hostPath(bundle + "/" + executable), RTLD_NOW | RTLD_LOCAL, &error);
  if (s.library == nullptr) throw std::runtime_error("cannot load the pane: " + error);
  Class principalClass = host::objc_getClass(principal.c_str());
  if (principalClass == nullptr)
    throw std::runtime_error("the pane registered no class " + principal);
  for (Class c = principalClass; c != nullptr && c != s.framework.listController;
       c = host::class_getSuperclass(c)) {
    s.paneClasses.push_back(c);
  }

  host::AutoreleasePool pool;
  s.root = makeController(principal);
  host::msgSend<id>(s.root.get(), sel("specifiers"));
}

host::id SettingsApp::rootController() const {
  return state_->root.get();
}

host::StrongRef SettingsApp::makeController(const std::string& className) {
  Class cls = host::objc_getClass(className.c_str());
  if (cls == nullptr) throw std::runtime_error("Settings has no class " + className);
  auto controller = host::StrongRef::adopt(host::class_createInstance(cls));
  setControllerBundle(controller.get(), kBundlePath);
  return controller;
}

host::StrongRef SettingsApp::makeSpecifier(host::Dictionary properties, host::id target) {
  return hostsim::makeSpecifier(state_->framework.specifier, std::move(properties), target);
}

std::vector<SettingsRow> SettingsApp::rows() {
  open();
  InSettingsProcess process;
  host::AutoreleasePool pool;
  id page = state_->root.get();
  id liveList = host::msgSend<id>(page, sel("specifiers"));
  if (liveList == nullptr) return {};
  const ObjectList live = host::arrayElements(liveList);
  const ObjectList& loaded = loadedSpecifiers(page);
  const std::unordered_map<id, int> depth = nestingDepths(loaded);
  std::vector<SettingsRow> result;
  for (const host::StrongRef& specifier : live) {
    const host::Dictionary& properties = specifierProperties(specifier.get());
    SettingsRow row;
    row.cell = stringEntry(properties, kCellProperty);
    row.label = stringEntry(properties, "label");
    row.key = stringEntry(properties, "key");
    row.action = stringEntry(properties, kActionProperty);
    row.groupSwitch = properties.find("nestedEntryCount") != nullptr;
    row.picker = isPicker(specifier.get());
    row.footer = stringEntry(properties, "footerText");
    if (row.groupSwitch) row.hidden = hiddenRows(loaded, live, specifier.get());
    if (!row.key.empty()) {
      row.value = host::valueFromPropertyList(
          host::msgSend<id, id>(page, sel("readPreferenceValue:"), specifier.get()));
    }
    auto found = depth.find(specifier.get());
    row.depth = found != depth.end() ? found->second : 0;
    result.push_back(std::move(row));
  }
  return result;
}

void SettingsApp::set(const std::string& key, const Value& value) {
  open();
  InSettingsProcess process;
  host::AutoreleasePool pool;
  id page = state_->root.get();
  const ObjectList live = host::arrayElements(host::msgSend<id>(page, sel("specifiers")));
  // A shown row first; then one that a closed group hides.
  host::StrongRef row(rowWith(live, "key", key));
  if (!row) row = host::StrongRef(rowWith(loadedSpecifiers(page), "key", key));
  if (!row) {
    host::Dictionary properties;
    properties.set(kCellProperty, Value("PSEditTextCell"));
    properties.set("label", Value(key));
    properties.set("key", Value(key));
    row = makeSpecifier(std::move(properties), page);
    appendSpecifier(page, row.get());
    timeline("settings", "Settings: added a row for the key " + key);
  }
  if (isPicker(row.get()) && !isListOfStrings(value)) {
    throw std::invalid_argument("the application picker takes a list of bundle identifiers");
  }
  const std::string label = stringEntry(specifierProperties(row.get()), "label");
  timeline("pane", "Settings: the user changed \"" + (label.empty() ? key : label) + "\"",
           {{"key", key}});
  const host::StrongRef object = host::propertyListFromValue(value);
  host::msgSend<void, id, id>(page, sel("setPreferenceValue:specifier:"), object.get(), row.get());
}

bool SettingsApp::resetVPN() {
  open();
  InSettingsProcess process;
  host::AutoreleasePool pool;
  id page = state_->root.get();
  const ObjectList live = host::arrayElements(host::msgSend<id>(page, sel("specifiers")));
  const char* action = "resetVPNState";
  id row = rowWith(live, kActionProperty, action);
  if (row == nullptr)
    throw std::runtime_error("the page shows no row whose action is resetVPNState");
  timeline("pane",
           "Settings: the user tapped \"" + stringEntry(specifierProperties(row), "label") + "\"",
           {{"action", action}});
  return host::msgSend<bool>(page, sel(action));
}

}  // namespace hostsim
