#include "hostsim/Device.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "hostsim/DeviceRoot.h"
#include "hostsim/DeviceSetUp.h"
#include "hostsim/FileLayer.h"
#include "hostsim/MainQueue.h"
#include "hostsim/PlistCodec.h"
#include "hostsim/Process.h"
#include "hostsim/SpringBoard.h"
#include "hostsim/Timeline.h"

namespace fs = std::filesystem;

namespace hostsim {

namespace {

Device* bootedDevice = nullptr;

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

// What the device is doing while the engine runs, so that work the engine queues with a delay
// can be told apart: the settling delay after a change of the front display, the delay after an
// exit.
enum class Doing { Nothing, FrontChange, Exit };
struct Activity {
  Doing doing = Doing::Nothing;
  std::string app;  // the application that came to the front ("" for home) or exited
};

// The device's watch over SpringBoard's process: what it is doing, the work queued with a delay
// so far (numbered from boot, so that a reader can pair each delay with what came of it), and
// the applications BackBoardServices ended since the last check.
struct Watch : ProcessPart {
  Activity activity;
  std::int64_t queuedWork = 0;
  std::vector<std::string> terminations;
};
Watch& watch() {
  return currentProcess().part<Watch>();
}
Activity& activity() {
  return watch().activity;
}
class DoingScope {
 public:
  DoingScope(Doing doing, const std::string& app) : saved_(activity()) {
    activity() = Activity{doing, app};
  }
  ~DoingScope() { activity() = saved_; }
  DoingScope(const DoingScope&) = delete;
  DoingScope& operator=(const DoingScope&) = delete;

 private:
  Activity saved_;
};

std::string seconds(std::int64_t nanoseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", static_cast<double>(nanoseconds) / 1e9);
  std::string s = text;
  while (s.size() > 1 && s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s + " s";
}

std::string displayName(const std::string& app) {
  return app.empty() ? "the home screen" : app;
}

// Watches the main queue: says when the engine queues work with a delay and, when that work has
// run, what came of it (for which front display, and whether anything changed at all).
std::function<void()> watchQueuedWork(std::int64_t delay, std::function<void()> work) {
  if (!timelineActive()) return work;
  const Activity cause = activity();
  // Numbered from boot, so that a reader can pair each delay with what came of it.
  const std::int64_t number = ++watch().queuedWork;
  TimelineDetails details{{"work", number}, {"delay", static_cast<double>(delay) / 1e9}};
  std::string text;
  switch (cause.doing) {
    case Doing::FrontChange:
      text =
          "settling delay starts: " + seconds(delay) + " (" + displayName(cause.app) + " in front)";
      details.emplace_back("cause", "front");
      if (!cause.app.empty()) details.emplace_back("app", cause.app);
      break;
    case Doing::Exit:
      text = "exit delay starts: " + seconds(delay) + " (" + cause.app + " exited)";
      details.emplace_back("cause", "exit");
      details.emplace_back("app", cause.app);
      break;
    case Doing::Nothing:
      text = "Harbrite queued work for " + seconds(delay) + " from now";
      break;
  }
  timeline("delay", text, std::move(details));
  return [cause, delay, number, work = std::move(work)] {
    const std::uint64_t before = timelineCount();
    const bool vpnBefore = vpnConnected();
    work();
    const bool vpnAfter = vpnConnected();
    const bool changed = timelineCount() != before;
    std::string outcome;
    if (vpnAfter != vpnBefore) {
      outcome = vpnAfter ? "VPN connected" : "VPN disconnected";
    } else {
      outcome = std::string(changed ? "" : "nothing changed, ") + "VPN stays " +
                (vpnAfter ? "on" : "off");
    }
    TimelineDetails details{{"work", number},
                            {"delay", static_cast<double>(delay) / 1e9},
                            {"changed", changed},
                            {"switched", vpnAfter != vpnBefore},
                            {"vpn", vpnAfter}};
    std::string text;
    if (cause.doing == Doing::FrontChange) {
      // The engine decides for the display in front when the delay ends.
      const std::string front = frontDisplayIdentifier();
      if (!front.empty()) details.emplace_back("app", front);
      text = "settling delay ends, decided for " + displayName(front) + ": " + outcome;
    } else if (cause.doing == Doing::Exit) {
      details.emplace_back("app", cause.app);
      text = "exit delay ends (" + cause.app + "): " + outcome;
    } else {
      text = "queued work ran: " + outcome;
    }
    timeline("decision", text, std::move(details));
  };
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
  installDeviceFile(from, to);
}

namespace {

void makeFolders(const std::string& hostFolder) {
  if (makeDeviceDirectories(hostFolder) != 0) {
    throw std::runtime_error("cannot make the device folder " + hostFolder + " (" +
                             std::strerror(errno) + ")");
  }
}

void removeFile(const std::string& hostFile) {
  if (unlinkDeviceFile(hostFile) != 0 && errno != ENOENT) {
    throw std::runtime_error("cannot remove " + hostFile + " (" + std::strerror(errno) + ")");
  }
}

}  // namespace

void prepareDeviceRoot(const std::string& root) {
  setDeviceRoot(root);
  DeviceLock lock;
  makeFolders(root + "/var/mobile/Library/Preferences");
  makeFolders(root + "/var/jb/var/mobile/Library/Preferences");
  makeFolders(root + "/var/jb/usr/lib");
}

Device::Device(std::string root, Payload payload) : root_(std::move(root)), payload_(payload) {
  if (root_.empty()) {
    root_ = makeTemporaryDirectory();
    ownsRoot_ = true;
  } else {
    fs::create_directories(root_);
    root_ = fs::canonical(root_).string();
  }
  // The libraries this device may run: the build's own, whatever its folder holds.
  for (const std::string* file : {&payload_.engine, &payload_.librootFull,
                                  &payload_.librootOnlyJbrootPrefix, &payload_.backboardServices}) {
    registerBuiltLibrary(*file);
  }
  prepareDeviceRoot(root_);
  // A new device: nothing has been posted or logged on it yet.
  darwinNotificationsPosted().clear();
  systemLogLines().clear();
}

Device::~Device() {
  if (bootedDevice == this) bootedDevice = nullptr;
  process_.reset();
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
  // An empty prefix is what libroot answers on a rootful device; anything else must be an
  // absolute path without NUL.
  if (config_.libroot != Libroot::None && !config_.librootPrefix.empty() &&
      !isValidJbrootPrefix(config_.librootPrefix)) {
    throw std::invalid_argument("the jbroot prefix must be an absolute path without NUL");
  }
  setDeviceRoot(root_);
  DeviceLock lock;
  makeFolders(root_ + jbrootPrefix() + "/var/mobile/Library/Preferences");
  removeFile(root_ + kLibrootInstallPath);
  removeFile(root_ + kLibrootPrefixFile);
  if (config_.libroot != Libroot::None) {
    putDeviceFile(root_ + kLibrootPrefixFile, config_.librootPrefix);
  }
  if (config_.libroot == Libroot::Full) copyFile(payload_.librootFull, root_ + kLibrootInstallPath);
  if (config_.libroot == Libroot::OnlyJbrootPrefix) {
    copyFile(payload_.librootOnlyJbrootPrefix, root_ + kLibrootInstallPath);
  }
  removeFile(root_ + kBackBoardServicesPath);
  if (config_.backboard) copyFile(payload_.backboardServices, root_ + kBackBoardServicesPath);
  recordDeviceSetUp(config_);
}

namespace {

// How many images of the engine this process has mapped: a process of its own per boot maps one.
int engineImagesMapped() {
  std::ifstream maps("/proc/self/maps");
  std::set<std::string> images;
  std::string line;
  while (std::getline(maps, line)) {
    const std::size_t path = line.find('/');
    if (path != std::string::npos && line.find("Harbrite.dylib", path) != std::string::npos) {
      images.insert(line.substr(path));
    }
  }
  return static_cast<int>(images.size());
}

}  // namespace

void Device::boot(bool vpnConnected) {
  if (booted_) throw std::runtime_error("the device has already booted");
  setDeviceRoot(root_);
  // SpringBoard's process: everything it owns goes with it when the device goes.
  process_ = std::make_unique<SimulatedProcess>();
  setCurrentProcess(process_.get());
  process_->mainQueue.setWatcher(&watchQueuedWork);
  // The layout and the engine's load under one hold of the device's lock: another process
  // starting on this device cannot replace the engine between its copy and its load.
  DeviceLock lock;
  applySetUp();

  installSpringBoard(config_.systemVersion, config_.systemVersionAnswers, config_.apps,
                     config_.modules ? *config_.modules : defaultModules());
  if (vpnConnected) hostsim::userSwitchesVPN(true);
  bootedDevice = this;
  booted_ = true;
  timeline("boot", "SpringBoard started (iOS " + config_.systemVersion + ")",
           {{"ios", config_.systemVersion},
            {"vpn", vpnConnected},
            {"renamed", std::int64_t{renamedClasses()}}});

  // The hooking framework loads the engine into SpringBoard; its initialiser runs here.
  copyFile(payload_.engine, root_ + kEngineInstallPath);
  timeline("load", "Substrate loads Harbrite.dylib",
           {{"library", "Harbrite.dylib"}, {"mapped", std::int64_t{engineImagesMapped()}}});
  std::string error;
  engine_ = loadDeviceLibrary(root_ + kEngineInstallPath, RTLD_NOW | RTLD_LOCAL, &error);
  if (engine_ == nullptr) throw std::runtime_error("cannot load the engine: " + error);
  if (!engineInstalled()) {
    timeline("engine", "Harbrite stays inert: " + whyInert(), {{"installed", false}});
  }
}

std::string Device::whyInert() const {
  // The engine installs itself only when it can read its preferences as a dictionary.
  const std::string file = preferencesFile();
  std::string bytes;
  if (!readWholeFile(hostPath(file), bytes)) {
    if (errno == ENOENT) return "no preferences file (" + file + ")";
    return "the preferences file cannot be read (" + std::string(std::strerror(errno)) + ")";
  }
  if (!readDictionaryBytes(bytes).ok()) return "the preferences file is not a dictionary";
  return "it added nothing to SpringBoard, though its preferences file reads";
}

void Device::front(const std::string& bundleId) {
  id app = applicationNamed(bundleId);
  if (app == nullptr) throw std::runtime_error("no application " + bundleId + " is installed");
  running_.insert(bundleId);
  frontApp_ = bundleId;
  timeline("front", "SpringBoard: front display is " + bundleId, {{"app", bundleId}});
  DoingScope doing(Doing::FrontChange, bundleId);
  host::AutoreleasePool pool;
  sendFrontDisplayDidChange(app);
}

void Device::frontHome() {
  frontApp_.clear();
  timeline("front", "SpringBoard: front display is the home screen");
  DoingScope doing(Doing::FrontChange, "");
  host::AutoreleasePool pool;
  sendFrontDisplayDidChange(nullptr);
}

void Device::exit(const std::string& bundleId) {
  id app = applicationNamed(bundleId);
  if (app == nullptr) throw std::runtime_error("no application " + bundleId + " is installed");
  running_.erase(bundleId);
  if (frontApp_ == bundleId) frontApp_.clear();
  timeline("exit", "SpringBoard: " + bundleId + " exited", {{"app", bundleId}});
  DoingScope doing(Doing::Exit, bundleId);
  host::AutoreleasePool pool;
  reportApplicationExit(app);
}

void Device::wait(std::int64_t nanoseconds) {
  queue().advance(nanoseconds);
}

void Device::userSwitchesVPN(bool on) {
  hostsim::userSwitchesVPN(on);
  timeline("user",
           std::string("the user switches the VPN ") + (on ? "on" : "off") + " in Control Center",
           {{"vpn", on}});
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
  result.swap(watch().terminations);
  return result;
}

MainQueue& Device::queue() const {
  return process_ != nullptr ? process_->mainQueue : MainQueue::shared();
}

std::int64_t Device::now() const {
  return queue().now();
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
  watch().terminations.push_back(bundleId);
  timeline("terminated",
           "BackBoardServices terminated " + bundleId + " (reason " + std::to_string(reason) +
               ", report " + (report ? "YES" : "NO") + ", \"" + description + "\")",
           {{"app", bundleId}, {"reason", std::int64_t{reason}}});
  // On a device, a terminated running application is reported as exited.
  if (bootedDevice != nullptr && bootedDevice->isRunning(bundleId)) bootedDevice->exit(bundleId);
}

}  // namespace hostsim
