// What each event costs SpringBoard's main thread, measured beside its floor: the raw file work
// the event cannot avoid, on the same files in the same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/Floors.h"
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

using host::id;

constexpr const char* kEnabledApp = "com.example.bank";

host::Dictionary preferences(bool persist) {
  host::Dictionary d;
  d.set("usePersistMode", host::Value(persist));
  d.set("enabledApplications",
        host::Value(host::Array{host::Value("com.example.mail"), host::Value(kEnabledApp)}));
  return d;
}

// A booted device with the engine installed, the VPN recorded on, and files of realistic size:
// the state file holds the sibling product's lines too.
struct BenchDevice {
  explicit BenchDevice(bool persist) : device() {
    device.config().apps = {kEnabledApp, "com.example.mail", "com.example.browser"};
    writeFile(prefsHost(), hostsim::encodeDictionary(preferences(persist)));
    writeFile(stateHost(), "BellweirWiFiState=NO\nVPNState=YES\nBellweirBluetoothState=YES\n");
    hostsim::setTimelineSink(nullptr);
    device.boot();
    // The module follows the record.
    hostsim::userSwitchesVPN(true);
    springBoard = device.springBoard();
    app = hostsim::applicationNamed(kEnabledApp);
  }
  static void writeFile(const std::string& file, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  }
  std::string prefsHost() const { return device.root() + device.preferencesFile(); }
  std::string stateHost() const { return device.root() + device.featureStateFile(); }

  hostsim::Device device;
  id springBoard = nullptr;
  id app = nullptr;
};

void decision_no_change(benchmark::State& state) {
  BenchDevice d(false);
  host::SEL handle = host::sel_registerName("handleDisplayChange:");
  for (auto _ : state) host::msgSend<void, id>(d.springBoard, handle, d.app);
}

void decision_no_change_floor(benchmark::State& state) {
  BenchDevice d(false);
  for (auto _ : state) {
    benchmark::DoNotOptimize(harbrite::bench::rawRead(d.prefsHost()));
    benchmark::DoNotOptimize(harbrite::bench::rawRead(d.stateHost()));
  }
}

// Every decision switches: an enabled application, then the home screen, in turn.
void decision_switch(benchmark::State& state) {
  BenchDevice d(false);
  host::SEL handle = host::sel_registerName("handleDisplayChange:");
  bool on = false;
  for (auto _ : state) {
    host::msgSend<void, id>(d.springBoard, handle, on ? d.app : nullptr);
    on = !on;
  }
}

void decision_switch_floor(benchmark::State& state) {
  BenchDevice d(false);
  const std::string contents = harbrite::bench::rawRead(d.stateHost());
  for (auto _ : state) {
    benchmark::DoNotOptimize(harbrite::bench::rawRead(d.prefsHost()));
    benchmark::DoNotOptimize(harbrite::bench::rawRead(d.stateHost()));
    harbrite::bench::rawAtomicReplace(d.stateHost(), contents);
  }
}

void persist_front_enabled(benchmark::State& state) {
  BenchDevice d(true);
  host::SEL change = host::sel_registerName("frontDisplayDidChange:");
  for (auto _ : state) host::msgSend<void, id>(d.springBoard, change, d.app);
}

// One post of "appDidExit" with N observations accumulated; reported per observation.
void persist_exit(benchmark::State& state) {
  const host::StrongRef appDidExit = host::stringWithUTF8String("appDidExit");
  const auto observations = static_cast<int>(state.range(0));
  BenchDevice d(true);
  host::SEL change = host::sel_registerName("frontDisplayDidChange:");
  host::SEL setState = host::sel_registerName("setVPNState:");
  hostsim::currentProcess().observations.clear();
  for (int i = 0; i < observations; ++i) {
    host::msgSend<void, id>(d.springBoard, change,
                            hostsim::applicationNamed("com.example.browser"));
  }
  for (auto _ : state) {
    state.PauseTiming();
    host::msgSend<void, bool>(d.springBoard, setState, true);
    state.ResumeTiming();
    host::notificationCenterPost(appDidExit.get(), nullptr);
  }
  state.SetItemsProcessed(state.iterations() * observations);
  state.counters["per_observation_ns"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * observations,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// What a post to N observations cannot avoid: each turnVPNOn reads the feature state file, and
// the first one switches and replaces it. Reported per observation.
void persist_exit_floor(benchmark::State& state) {
  const auto observations = static_cast<int>(state.range(0));
  BenchDevice d(true);
  const std::string contents = harbrite::bench::rawRead(d.stateHost());
  for (auto _ : state) {
    for (int i = 0; i < observations; ++i) {
      benchmark::DoNotOptimize(harbrite::bench::rawRead(d.stateHost()));
    }
    harbrite::bench::rawAtomicReplace(d.stateHost(), contents);
  }
  state.counters["per_observation_ns"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * observations,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// A device for one start-up: in memory where the machine has a memory file system, so that
// hundreds of boots (each copies the engine and its companions) do not queue disk write-back
// behind the measurements.
std::unique_ptr<hostsim::Device> startUpDevice() {
  static const std::string base = std::filesystem::is_directory("/dev/shm")
                                      ? "/dev/shm"
                                      : std::filesystem::temp_directory_path().string();
  std::string pattern = base + "/harbrite-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return std::make_unique<hostsim::Device>();
  return std::make_unique<hostsim::Device>(pattern);
}

// Times `measured(loadPrefs, preferences file)` once per start-up: each iteration boots a device
// whose engine stays inert (no file yet), writes the preferences file, then reads the clock
// around the measured call alone (pausing the benchmark's timers costs more than the call).
template <class Measured>
void perStartUp(benchmark::State& state, Measured measured) {
  // Each start-up in a process of its own, as SpringBoard loads the engine once: forked from this
  // one, which boots nothing itself, so no start-up meets the classes and engines of the ones
  // before it. The child measures and reports the time through a pipe.
  for (auto _ : state) {
    int report[2];
    if (::pipe(report) != 0) {
      state.SkipWithError("cannot make a pipe");
      return;
    }
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(report[0]);
      std::int64_t nanoseconds = -1;
      try {
        auto device = startUpDevice();
        device->boot();
        const std::string prefs = device->root() + device->preferencesFile();
        BenchDevice::writeFile(prefs, hostsim::encodeDictionary(preferences(false)));
        auto loadPrefs = reinterpret_cast<void (*)()>(device->engineSymbol("loadPrefs"));
        const auto start = std::chrono::steady_clock::now();
        measured(loadPrefs, prefs);
        const auto end = std::chrono::steady_clock::now();
        nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
        hostsim::removeTree(device->root());
      } catch (...) {
      }
      const bool sent = ::write(report[1], &nanoseconds, sizeof nanoseconds) ==
                        static_cast<ssize_t>(sizeof nanoseconds);
      ::_exit(sent ? 0 : 1);
    }
    ::close(report[1]);
    std::int64_t nanoseconds = -1;
    const bool read = child > 0 && ::read(report[0], &nanoseconds, sizeof nanoseconds) ==
                                       static_cast<ssize_t>(sizeof nanoseconds);
    ::close(report[0]);
    if (child > 0) ::waitpid(child, nullptr, 0);
    if (!read || nanoseconds < 0) {
      state.SkipWithError("a start-up failed");
      return;
    }
    state.SetIterationTime(static_cast<double>(nanoseconds) / 1e9);
  }
}

// loadPrefs does its work once per engine instance.
void load_prefs(benchmark::State& state) {
  perStartUp(state, [](void (*loadPrefs)(), const std::string&) { loadPrefs(); });
}

// loadPrefs runs once per start, right after the hooking framework has loaded the library, when
// nothing it touches is in the caches; a raw read of the same file in a tight loop would be
// measured hot. So the floor is taken in the same situation: right after a boot, a raw read of
// the freshly written preferences file.
void load_prefs_floor(benchmark::State& state) {
  perStartUp(state, [](void (*)(), const std::string& prefs) {
    benchmark::DoNotOptimize(harbrite::bench::rawRead(prefs));
  });
}

// The same read, hot: how much of either figure is the caches.
void load_prefs_floor_hot(benchmark::State& state) {
  BenchDevice d(false);
  for (auto _ : state) benchmark::DoNotOptimize(harbrite::bench::rawRead(d.prefsHost()));
}

void jbrootpath(benchmark::State& state) {
  BenchDevice d(false);
  auto map = reinterpret_cast<char* (*)(const char*, char*)>(
      d.device.engineSymbol("libroot_dyn_jbrootpath"));
  char buffer[1024];
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        map("/var/mobile/Library/Preferences/com.quorvik.harbrite.plist", buffer));
    benchmark::ClobberMemory();
  }
}

void jbrootpath_floor(benchmark::State& state) {
  char buffer[1024];
  // Read through opaque pointers, so that the copy measures bytes found at run time, as the
  // mapping does, rather than lengths the compiler folded.
  const char* prefix = "/var/jb";
  const char* path = "/var/mobile/Library/Preferences/com.quorvik.harbrite.plist";
  for (auto _ : state) {
    benchmark::DoNotOptimize(prefix);
    benchmark::DoNotOptimize(path);
    benchmark::DoNotOptimize(harbrite::bench::boundedCopy(buffer, prefix, path));
    benchmark::ClobberMemory();
  }
}

}  // namespace

// The start-ups come first, while this process has booted nothing: each forks from it.
BENCHMARK(load_prefs)->Iterations(100)->Repetitions(5)->UseManualTime();
BENCHMARK(load_prefs_floor)->Iterations(100)->Repetitions(5)->UseManualTime();
BENCHMARK(decision_no_change);
BENCHMARK(decision_no_change_floor);
BENCHMARK(decision_switch);
BENCHMARK(decision_switch_floor);
BENCHMARK(persist_front_enabled);
BENCHMARK(persist_exit)->Arg(1)->Arg(100)->Arg(10000);
BENCHMARK(persist_exit_floor)->Arg(1)->Arg(100)->Arg(10000);
BENCHMARK(load_prefs_floor_hot);
BENCHMARK(jbrootpath);
BENCHMARK(jbrootpath_floor);
