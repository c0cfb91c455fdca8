#include "hostsim/Device.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "hostsim/FileLayer.h"
#include "hostsim/MainQueue.h"
#include "hostsim/Process.h"
#include "hostsim/SpringBoard.h"
#include "hostsim/Timeline.h"

namespace fs = std::filesystem;

namespace hostsim {

namespace {

Device* bootedDevice = nullptr;

struct Terminations {
  std::vector<std::string> sinceCheck;
};
Terminations& terminations() {
  static auto* t = new Terminations;
  return *t;
}

const char* kEngineInstallPath = "/var/jb/Library/MobileSubstrate/DynamicLibraries/Harbrite.dylib";
const char* kLibrootInstallPath = "/var/jb/usr/lib/libroot.dylib";
const char* kBackBoardServicesPath =
    "/System/Library/PrivateFrameworks/BackBoardServices.framework/BackBoardServices";

std::vector<ModuleSpec> defaultModules() {
  return {{"com.apple.control-center.ConnectivityModule", false, false},
          {"com.apple.control-center.VPNModule", true, false},
          {"com.apple.control-center.FlashlightModule", false, false},
          {"com.apple.control-center.OrientationLockModule", false, false}};
}

std::string envOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

}  // namespace

Payload Payload::built() {
  Payload p;
  p.engine = envOr("HARBRITE_ENGINE", HARBRITE_ENGINE_FILE);
  p.librootFull = envOr("HARBRITE_LIBROOT_FULL", HARBRITE_LIBROOT_FULL_FILE);
  p.librootOnlyJbrootPrefix = envOr("HARBRITE_LIBROOT_ONLY_JBROOT", HARBRITE_LIBROOT_JBROOT_FILE);
  p.backboardServices = envOr("HARBRITE_BACKBOARD", HARBRITE_BACKBOARD_FILE);
  p.paneBundle = envOr("HARBRITE_PANE_BUNDLE", HARBRITE_PANE_BUNDLE_DIR);
  return p;
}

std::string makeTemporaryDirectory() {
  std::string pattern = (fs::temp_directory_path() / "harbrite-device-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("cannot make a device folder");
  return buffer.data();
}

void removeTree(const std::string& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

void copyFile(const std::string& from, const std::string& to) {
  fs::create_directories(fs::path(to).parent_path());
  // A new file each time, so that the loader never mistakes it for one it has loaded.
  std::string temporary = to + ".copying";
  fs::copy_file(from, temporary, fs::copy_options::overwrite_existing);
  fs::rename(temporary, to);
}

void prepareDeviceRoot(const std::string& root) {
  fs::create_directories(root + "/var/mobile/Library/Preferences");
  fs::create_directories(root + "/var/jb/var/mobile/Library/Preferences");
  fs::create_directories(root + "/var/jb/usr/lib");
}

Device::Device(std::string root, Payload payload) : root_(std::move(root)), payload_(payload) {
  if (root_.empty()) {
    root_ = makeTemporaryDirectory();
    ownsRoot_ = true;
  } else {
    fs::create_directories(root_);
    root_ = fs::canonical(root_).string();
  }
  prepareDeviceRoot(root_);
  setDeviceRoot(root_);
  // A new device: nothing has been posted or logged on it yet.
  darwinNotificationsPosted().clear();
  systemLogLines().clear();
}

Device::~Device() {
  if (bootedDevice == this) bootedDevice = nullptr;
  if (ownsRoot_) removeTree(root_);
}

std::string Device::jbrootPrefix() const {
  return config_.libroot == Libroot::None ? "/var/jb" : config_.librootPrefix;
}

std::string Device::preferencesFile() const {
  return jbrootPrefix() + "/var/mobile/Library/Preferences/com.quorvik.harbrite.plist";
}

std::string Device::featureStateFile() const {
  return jbrootPrefix() + "/var/mobile/Library/Preferences/com.quorvik.Bellweir.featureStates.txt";
}

void Device::applySetUp() {
  fs::create_directories(root_ + jbrootPrefix() + "/var/mobile/Library/Preferences");
  std::error_code ignored;
  fs::remove(root_ + kLibrootInstallPath, ignored);
  fs::remove(root_ + kLibrootPrefixFile, ignored);
  if (config_.libroot != Libroot::None) {
    std::ofstream(root_ + kLibrootPrefixFile, std::ios::binary) << config_.librootPrefix;
  }
  if (config_.libroot == Libroot::Full) copyFile(payload_.librootFull, root_ + kLibrootInstallPath);
  if (config_.libroot == Libroot::OnlyJbrootPrefix) {
    copyFile(payload_.librootOnlyJbrootPrefix, root_ + kLibrootInstallPath);
  }
  fs::remove(root_ + kBackBoardServicesPath, ignored);
  if (config_.backboard) copyFile(payload_.backboardServices, root_ + kBackBoardServicesPath);
}

void Device::boot() {
  if (booted_) throw std::runtime_error("the device has already booted");
  setDeviceRoot(root_);
  resetRuntime();
  MainQueue::shared().reset();
  resetNotificationCenter();
  terminations().sinceCheck.clear();
  process() = ProcessFacts{};
  applySetUp();

  installSpringBoard(config_.systemVersion, config_.systemVersionAnswers, config_.apps,
                     config_.modules ? *config_.modules : defaultModules());
  bootedDevice = this;
  booted_ = true;
  timeline("SpringBoard started (iOS " + config_.systemVersion + ")");

  // The hooking framework loads the engine into SpringBoard; its initialiser runs here.
  copyFile(payload_.engine, root_ + kEngineInstallPath);
  timeline("Substrate loads Harbrite.dylib");
  engine_ = ::dlopen((root_ + kEngineInstallPath).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (engine_ == nullptr)
    throw std::runtime_error(std::string("cannot load the engine: ") + dlerror());
}

void Device::front(const std::string& bundleId) {
  id app = applicationNamed(bundleId);
  if (app == nullptr) throw std::runtime_error("no application " + bundleId + " is installed");
  running_.insert(bundleId);
  timeline("SpringBoard: front display is " + bundleId);
  sendFrontDisplayDidChange(app);
}

void Device::frontHome() {
  timeline("SpringBoard: front display is the home screen");
  sendFrontDisplayDidChange(nullptr);
}

void Device::exit(const std::string& bundleId) {
  id app = applicationNamed(bundleId);
  if (app == nullptr) throw std::runtime_error("no application " + bundleId + " is installed");
  running_.erase(bundleId);
  timeline("SpringBoard: " + bundleId + " exited");
  reportApplicationExit(app);
}

void Device::wait(std::int64_t nanoseconds) {
  MainQueue::shared().advance(nanoseconds);
}

void Device::userSwitchesVPN(bool on) {
  hostsim::userSwitchesVPN(on);
}

bool Device::vpnConnected() const {
  return hostsim::vpnConnected();
}

std::optional<bool> Device::moduleSelected(const std::string& identifier) const {
  return hostsim::moduleSelected(identifier);
}

bool Device::engineInstalled() const {
  return host::respondsToSelector(springBoardObject(), sel("turnVPNOn"));
}

std::string Device::exitHook() const {
  const HostClasses& c = hostClasses();
  IMP current = host::class_getMethodImplementation(c.switcher, sel("_applicationDidExit:"));
  if (current == c.nativeApplicationDidExit) return "none";
  return host::class_getName(c.switcher);
}

void* Device::engineSymbol(const char* name) const {
  return engine_ != nullptr ? ::dlsym(engine_, name) : nullptr;
}

std::vector<std::string> Device::takeTerminations() {
  std::vector<std::string> result;
  result.swap(terminations().sinceCheck);
  return result;
}

std::int64_t Device::now() const {
  return MainQueue::shared().now();
}

host::id Device::springBoard() const {
  return springBoardObject();
}

bool Device::isRunning(const std::string& bundleId) const {
  return running_.count(bundleId) != 0;
}

Device* currentDevice() {
  return bootedDevice;
}

void recordTermination(const std::string& bundleId, std::int32_t reason, bool report,
                       const std::string& description) {
  terminations().sinceCheck.push_back(bundleId);
  timeline("BackBoardServices terminated " + bundleId + " (reason " + std::to_string(reason) +
           ", report " + (report ? "YES" : "NO") + ", \"" + description + "\")");
  // On a device, a terminated running application is reported as exited.
  if (bootedDevice != nullptr && bootedDevice->isRunning(bundleId)) bootedDevice->exit(bundleId);
}

}  // namespace hostsim
