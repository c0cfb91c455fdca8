// What each event costs SpringBoard's main thread, beside its two floors (bench/Measure.h): the
// host floor does the same work of the simulated platform without the engine's logic, the kernel
// floor the same file work with plain system calls, on the same files in the same process.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "bench/Floors.h"
#include "bench/HostFloor.h"
#include "bench/Measure.h"
#include "host/Foundation.h"
#include "host/Platform.h"
#include "host/Runtime.h"
#include "hostsim/Device.h"
#include "hostsim/FileLayer.h"
#include "hostsim/PlistCodec.h"
#include "hostsim/Process.h"
#include "hostsim/SpringBoard.h"
#include "hostsim/Timeline.h"

namespace {

using harbrite::bench::Loop;
using harbrite::bench::measured;
using harbrite::bench::measuredPerStartUp;
using harbrite::bench::rawAtomicReplace;
using harbrite::bench::rawRead;
using host::id;

constexpr const char* kEnabledApp = "com.example.bank";

// The feature state file holds the sibling product's lines too; the VPN's line on, and off.
constexpr const char* kStateOn = "BellweirWiFiState=NO\nVPNState=YES\nBellweirBluetoothState=YES\n";
constexpr const char* kStateOff = "BellweirWiFiState=NO\nVPNState=NO\nBellweirBluetoothState=YES\n";

host::Dictionary preferences(bool persist) {
  host::Dictionary d;
  d.set("usePersistMode", host::Value(persist));
  d.set("enabledApplications",
        host::Value(host::Array{host::Value("com.example.mail"), host::Value(kEnabledApp)}));
  return d;
}

void writeFile(const std::string& file, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(file).parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

// Whether the engine installs itself at boot, or stays inert (its preferences written only after
// it has looked for them): the host floors run beside an engine that has hooked nothing.
enum class Engine { Installed, Inert };

// A booted device, the VPN recorded on and connected, and files of realistic size. Each benchmark
// boots its own in this process, so from the second boot on the runtime registers SpringBoard's
// classes under generation names ("SpringBoard~2", hostsim/Objects.h); every lookup goes through
// the host's names, and no figure here moves with it (callgrind counts an event alike after one
// boot or several, to a few instructions in tens of thousands).
struct BenchDevice {
  BenchDevice(bool persist, Engine engine) {
    device.config().apps = {kEnabledApp, "com.example.mail", "com.example.browser"};
    if (engine == Engine::Installed) writeFile(prefsHost(), encoded(persist));
    writeFile(stateHost(), kStateOn);
    hostsim::setTimelineSink(nullptr);
    device.boot();
    if (engine == Engine::Inert) writeFile(prefsHost(), encoded(persist));
    // The module follows the record.
    hostsim::userSwitchesVPN(true);
    springBoard = device.springBoard();
    app = hostsim::applicationNamed(kEnabledApp);
  }
  static std::string encoded(bool persist) {
    return hostsim::encodeDictionary(preferences(persist));
  }
  std::string prefsHost() const { return device.root() + device.preferencesFile(); }
  std::string stateHost() const { return device.root() + device.featureStateFile(); }
  // SpringBoard's side of the engine's work, on this device's files.
  std::unique_ptr<harbrite::bench::SpringBoardFloor> floor() const {
    return std::make_unique<harbrite::bench::SpringBoardFloor>(
        device.preferencesFile(), device.featureStateFile(), kStateOn, kStateOff);
  }

  harbrite::bench::MemoryDevice folder;
  hostsim::Device& device = *folder;
  id springBoard = nullptr;
  id app = nullptr;
};

// ---- A decision that changes nothing: an enabled application, the VPN recorded on -----------

void decisionNoChange(Loop& loop) {
  BenchDevice d(false, Engine::Installed);
  host::SEL handle = host::sel_registerName("handleDisplayChange:");
  loop.run([&] { host::msgSend<void, id>(d.springBoard, handle, d.app); });
}

void decisionNoChangeHost(Loop& loop) {
  BenchDevice d(false, Engine::Inert);
  const auto floor = d.floor();
  loop.run([&] {
    floor->handleDisplayChange(d.app);
    benchmark::DoNotOptimize(floor->readEnabled(d.app));
    floor->setVPNState(true);
    benchmark::DoNotOptimize(floor->readState());
  });
}

void decisionNoChangeKernel(Loop& loop, bool persist) {
  BenchDevice d(persist, Engine::Inert);
  loop.run([&] {
    benchmark::DoNotOptimize(rawRead(d.prefsHost()));
    benchmark::DoNotOptimize(rawRead(d.stateHost()));
  });
}

// ---- Decisions that switch: the home screen, then an enabled application, in turn ----------
// Each reads the record twice (to compare, then to keep the other lines when writing it), and
// replaces the state file.

void decisionSwitch(Loop& loop) {
  BenchDevice d(false, Engine::Installed);
  host::SEL handle = host::sel_registerName("handleDisplayChange:");
  bool on = false;
  loop.run([&] {
    host::msgSend<void, id>(d.springBoard, handle, on ? d.app : nullptr);
    on = !on;
  });
}

void decisionSwitchHost(Loop& loop) {
  BenchDevice d(false, Engine::Inert);
  const auto floor = d.floor();
  bool on = false;
  loop.run([&] {
    id display = on ? d.app : nullptr;
    floor->handleDisplayChange(display);
    if (display != nullptr) benchmark::DoNotOptimize(floor->readEnabled(display));
    floor->setVPNState(on);
    benchmark::DoNotOptimize(floor->readState());
    floor->switchVPN(on);
    on = !on;
  });
}

void decisionSwitchKernel(Loop& loop) {
  BenchDevice d(false, Engine::Inert);
  bool on = false;
  loop.run([&] {
    if (on) benchmark::DoNotOptimize(rawRead(d.prefsHost()));
    benchmark::DoNotOptimize(rawRead(d.stateHost()));
    benchmark::DoNotOptimize(rawRead(d.stateHost()));
    rawAtomicReplace(d.stateHost(), on ? kStateOn : kStateOff);
    on = !on;
  });
}

// ---- Persist mode: an enabled application comes to the front, the VPN already on ------------
// Each one also adds an observation of "appDidExit", as the engine does.

void persistFrontEnabled(Loop& loop) {
  BenchDevice d(true, Engine::Installed);
  host::SEL change = host::sel_registerName("frontDisplayDidChange:");
  loop.run([&] { host::msgSend<void, id>(d.springBoard, change, d.app); });
  hostsim::currentProcess().observations.clear();
}

void persistFrontEnabledHost(Loop& loop) {
  BenchDevice d(true, Engine::Inert);
  const auto floor = d.floor();
  host::SEL change = host::sel_registerName("frontDisplayDidChange:");
  host::SEL turnVPNOn = host::sel_registerName("turnVPNOn");
  const host::StrongRef appDidExit = host::stringWithUTF8String("appDidExit");
  loop.run([&] {
    // SpringBoard's own bookkeeping, which the engine's hook calls first.
    host::msgSend<void, id>(d.springBoard, change, d.app);
    benchmark::DoNotOptimize(floor->readEnabled(d.app));
    floor->setVPNState(true);
    benchmark::DoNotOptimize(floor->readState());
    host::notificationCenterAddObserver(floor->receiver(), turnVPNOn, appDidExit.get(), nullptr);
  });
  hostsim::currentProcess().observations.clear();
}

// ---- Persist mode: an enabled application exits, with N observations of "appDidExit" --------
// Each observation switches the VPN off: the first one finds it on, switches and writes; the
// others read the record and find nothing to do. Between posts, the VPN is switched on again,
// neither timed nor counted.

void persistExit(Loop& loop, int observations) {
  const host::StrongRef appDidExit = host::stringWithUTF8String("appDidExit");
  BenchDevice d(true, Engine::Installed);
  host::SEL change = host::sel_registerName("frontDisplayDidChange:");
  host::SEL setState = host::sel_registerName("setVPNState:");
  hostsim::currentProcess().observations.clear();
  for (int i = 0; i < observations; ++i) {
    host::msgSend<void, id>(d.springBoard, change,
                            hostsim::applicationNamed("com.example.browser"));
  }
  loop.run([&] {
    loop.pause();
    host::msgSend<void, bool>(d.springBoard, setState, true);
    loop.resume();
    host::notificationCenterPost(appDidExit.get(), nullptr);
  });
  hostsim::currentProcess().observations.clear();
}

void persistExitHost(Loop& loop, int observations) {
  const host::StrongRef appDidExit = host::stringWithUTF8String("appDidExit");
  BenchDevice d(true, Engine::Inert);
  const auto floor = d.floor();
  host::SEL turnVPNOn = host::sel_registerName("turnVPNOn");
  hostsim::currentProcess().observations.clear();
  for (int i = 0; i < observations; ++i) {
    host::notificationCenterAddObserver(floor->receiver(), turnVPNOn, appDidExit.get(), nullptr);
  }
  loop.run([&] {
    loop.pause();
    floor->switchVPN(true);
    loop.resume();
    host::notificationCenterPost(appDidExit.get(), nullptr);
    for (int i = 0; i < observations; ++i) {
      floor->setVPNState(false);
      benchmark::DoNotOptimize(floor->readState());
      if (i == 0) floor->switchVPN(false);
    }
  });
  hostsim::currentProcess().observations.clear();
}

void persistExitKernel(Loop& loop, int observations) {
  BenchDevice d(true, Engine::Inert);
  loop.run([&] {
    loop.pause();
    loop.resume();
    for (int i = 0; i < observations; ++i) {
      benchmark::DoNotOptimize(rawRead(d.stateHost()));
      if (i == 0) {
        benchmark::DoNotOptimize(rawRead(d.stateHost()));
        rawAtomicReplace(d.stateHost(), kStateOff);
      }
    }
  });
}

// ---- One start-up's loadPrefs ------------------------------------------------------------------
// In a process of its own each time (bench/Measure.h): a device whose engine stayed inert at boot
// (no preferences yet), then the preferences written, then the one call. It runs right after the
// library was loaded, when nothing it touches is in the caches, and so do its floors.

// Boots a device whose engine stays inert and writes the preferences: what `measured(device,
// preferences file)` needs. The device folder goes with the work, after the clock has stopped.
template <class Measured>
auto afterInertBoot(Measured measured) {
  return [measured] {
    auto s = std::make_shared<harbrite::bench::MemoryDevice>();
    hostsim::setTimelineSink(nullptr);
    (*s)->boot();
    const std::string prefs = (*s)->root() + (*s)->preferencesFile();
    writeFile(prefs, hostsim::encodeDictionary(preferences(false)));
    return [s, prefs, measured] { measured(**s, prefs); };
  };
}

void loadPrefs(Loop& loop) {
  harbrite::bench::perStartUp(loop,
                              afterInertBoot([](const hostsim::Device& device, const std::string&) {
                                reinterpret_cast<void (*)()>(device.engineSymbol("loadPrefs"))();
                              }));
}

void loadPrefsHost(Loop& loop) {
  harbrite::bench::perStartUp(
      loop, afterInertBoot([](const hostsim::Device& device, const std::string&) {
        benchmark::DoNotOptimize(host::readDictionary(device.preferencesFile()));
        harbrite::bench::installSilently(host::objc_getClass("SpringBoard"));
      }));
}

void loadPrefsKernel(Loop& loop) {
  harbrite::bench::perStartUp(loop,
                              afterInertBoot([](const hostsim::Device&, const std::string& prefs) {
                                benchmark::DoNotOptimize(rawRead(prefs));
                              }));
}

// ---- Mapping one path through libroot after its load -------------------------------------------

void jbrootpath(Loop& loop) {
  BenchDevice d(false, Engine::Installed);
  auto map = reinterpret_cast<char* (*)(const char*, char*)>(
      d.device.engineSymbol("libroot_dyn_jbrootpath"));
  char buffer[1024];
  loop.run([&] {
    benchmark::DoNotOptimize(
        map("/var/mobile/Library/Preferences/com.quorvik.harbrite.plist", buffer));
    benchmark::ClobberMemory();
  });
}

// No platform work: the floor is the copy any mapping makes, the prefix and the path copied into
// a 1024-byte buffer, bounded and terminated.
void jbrootpathKernel(Loop& loop) {
  char buffer[1024];
  // Read through opaque pointers, so that the copy measures bytes found at run time, as the
  // mapping does, rather than lengths the compiler folded.
  const char* prefix = "/var/jb";
  const char* path = "/var/mobile/Library/Preferences/com.quorvik.harbrite.plist";
  loop.run([&] {
    benchmark::DoNotOptimize(prefix);
    benchmark::DoNotOptimize(path);
    benchmark::DoNotOptimize(harbrite::bench::boundedCopy(buffer, prefix, path));
    benchmark::ClobberMemory();
  });
}

// Iterations counted under callgrind, by what one costs.
constexpr std::int64_t kReads = 200;  // an event that only reads
constexpr std::int64_t kWrites = 20;  // one that replaces a file (and syncs it)
constexpr std::int64_t kCopies = 20000;

const bool registered = [] {
  using harbrite::bench::measured;
  // The start-ups come first, while this process has booted nothing: each forks from it.
  measuredPerStartUp("load_prefs", 5, loadPrefs);
  measuredPerStartUp("load_prefs.host", 5, loadPrefsHost);
  measuredPerStartUp("load_prefs.kernel", 5, loadPrefsKernel);
  measured("decision_no_change", kReads, decisionNoChange);
  measured("decision_no_change.host", kReads, decisionNoChangeHost);
  measured("decision_no_change.kernel", kReads,
           [](Loop& loop) { decisionNoChangeKernel(loop, false); });
  measured("decision_switch", kWrites, decisionSwitch);
  measured("decision_switch.host", kWrites, decisionSwitchHost);
  measured("decision_switch.kernel", kWrites, decisionSwitchKernel);
  measured("persist_front_enabled", kReads, persistFrontEnabled);
  measured("persist_front_enabled.host", kReads, persistFrontEnabledHost);
  measured("persist_front_enabled.kernel", kReads,
           [](Loop& loop) { decisionNoChangeKernel(loop, true); });
  for (int n : {1, 100, 10000}) {
    const std::string name = "persist_exit_" + std::to_string(n);
    const std::int64_t counted = n == 1 ? kWrites : n == 100 ? 10 : 2;
    measured(name, counted, [n](Loop& loop) { persistExit(loop, n); });
    measured(name + ".host", counted, [n](Loop& loop) { persistExitHost(loop, n); });
    measured(name + ".kernel", counted, [n](Loop& loop) { persistExitKernel(loop, n); });
  }
  measured("jbrootpath", kCopies, jbrootpath);
  measured("jbrootpath.kernel", kCopies, jbrootpathKernel);
  return true;
}();

}  // namespace
