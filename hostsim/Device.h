// The simulated device: its root directory, its set-up, SpringBoard with Control Center and the
// app switcher, the hooking framework that loads the engine, libroot and BackBoardServices.
// harbrite-sim and the tests drive it; it holds no logic of the system.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/PropertyList.h"
#include "host/Runtime.h"
#include "hostsim/Process.h"

namespace hostsim {

enum class Libroot { None, Full, OnlyJbrootPrefix };

struct ModuleSpec {
  std::string identifier;
  bool vpn = false;    // selecting it connects the device's VPN
  bool inert = false;  // its module does not answer setSelected:
};

struct DeviceConfig {
  std::string systemVersion = "16.1";
  // When not empty, successive systemVersion queries get these answers in turn (the last one
  // repeats): lets a test see which probe asked when.
  std::vector<std::string> systemVersionAnswers;
  std::vector<std::string> apps;
  std::optional<std::vector<ModuleSpec>> modules;  // none: the default Control Center
  Libroot libroot = Libroot::None;
  // What libroot answers as the jbroot prefix: an absolute path without NUL, or empty (a
  // rootful device). Laying the device out refuses anything else (std::invalid_argument).
  std::string librootPrefix = "/var/jb";
  bool backboard = true;
};

// Where the built pieces are; by default the ones this build made.
struct Payload {
  std::string engine;
  std::string librootFull;
  std::string librootOnlyJbrootPrefix;
  std::string backboardServices;
  std::string paneBundle;
  static Payload built();
};

class Device {
 public:
  // `root` empty: a fresh temporary directory, removed when the device goes.
  explicit Device(std::string root = "", Payload payload = Payload::built());
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  const std::string& root() const { return root_; }
  DeviceConfig& config() { return config_; }
  const Payload& payload() const { return payload_; }

  // The host path of a device file as the system reaches it: through the jbroot prefix that
  // libroot (or its fallback) gives.
  std::string jbrootPrefix() const;
  std::string preferencesFile() const;  // device path, after mapping
  std::string featureStateFile() const;

  // Lays the device out as its set-up says: the jbroot's preferences folder, libroot and
  // BackBoardServices. Boot does it too; the Settings app can run before SpringBoard has booted
  // and needs them in place as well. Every file goes inside the device folder, under its lock
  // (hostsim/DeviceRoot.h), so that two processes starting on one device at once both succeed.
  void applySetUp();
  // SpringBoard starts and the hooking framework loads the engine. `vpnConnected`: the VPN
  // connection SpringBoard finds (one that survived a restart of SpringBoard alone).
  void boot(bool vpnConnected = false);
  bool booted() const { return booted_; }

  // Events.
  void front(const std::string& bundleId);
  void frontHome();
  void exit(const std::string& bundleId);
  void wait(std::int64_t nanoseconds);
  void userSwitchesVPN(bool on);

  // What can be checked.
  bool vpnConnected() const;
  std::optional<bool> moduleSelected(const std::string& identifier) const;
  bool engineInstalled() const;
  // "SBMainSwitcherViewController", "SBMainSwitcherControllerCoordinator" or "none".
  std::string exitHook() const;
  void* engineSymbol(const char* name) const;
  std::vector<std::string> takeTerminations();
  std::int64_t now() const;
  host::id springBoard() const;
  bool isRunning(const std::string& bundleId) const;
  // The application the user sees in front: "" for the home screen, before any, and once the
  // application in front has exited.
  const std::string& frontApplication() const { return frontApp_; }

 private:
  std::string root_;
  bool ownsRoot_ = false;
  Payload payload_;
  DeviceConfig config_;
  bool booted_ = false;
  // SpringBoard's process, from boot on.
  std::unique_ptr<SimulatedProcess> process_;
  void* engine_ = nullptr;
  std::set<std::string> running_;
  std::string frontApp_;

  std::string whyInert() const;
  // SpringBoard's main queue once booted; before, the driver's own.
  MainQueue& queue() const;
};

// The device that is booted in this process, or none.
Device* currentDevice();

// Called by the BackBoardServices stand-in.
void recordTermination(const std::string& bundleId, std::int32_t reason, bool report,
                       const std::string& description);
// The libroot stand-ins read their jbroot prefix from this file beside them.
inline constexpr const char* kLibrootPrefixFile = "/var/jb/usr/lib/libroot.prefix";

// Builds the device's folders and files that every boot needs; shared by the Settings app.
void prepareDeviceRoot(const std::string& root);
void copyFile(const std::string& from, const std::string& to);
std::string makeTemporaryDirectory();
void removeTree(const std::string& path);

}  // namespace hostsim
