// The two one-time loads under contention, built with ThreadSanitizer in the tsan preset (and run
// plainly in the others): many threads at once make libroot's first load through a fresh copy of
// libroot_dyn and BackBoardServices' first load through a freshly booted engine, while others use
// the engine's root-prefix entry after its load. Each library is opened once per round, every
// thread sees the complete result, and ThreadSanitizer sees no race in the loads or in the
// simulated loader they share.
//
// The engine resolves its preferences path in its initialiser, on the loading thread, so no thread
// can reach its root-prefix entry before its load; a fresh copy of libroot_dyn, linked as the
// deliverables link it, gives every round a first call of its own.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hostsim/Device.h"
#include "hostsim/Timeline.h"

namespace harbrite::test {
namespace {

constexpr const char* kPrefsPath = "/var/mobile/Library/Preferences/com.quorvik.harbrite.plist";
constexpr const char* kPrefix = "/private/preboot/5D2A/jb-Qm7";
constexpr const char* kLibrootLoad = "loaded @rpath/libroot.dylib";
constexpr const char* kBackBoardLoad =
    "loaded /System/Library/PrivateFrameworks/BackBoardServices.framework/BackBoardServices";

using PathEntry = char*(const char*, char*);
using LoadEntry = void();
using TerminateFunction = void (*)(const char*, std::int32_t, bool, const char*);

class Loads {
 public:
  Loads() {
    hostsim::setTimelineSink([this](const hostsim::TimelineEvent& e) {
      const std::string& event = e.text;
      std::lock_guard lock(mutex_);
      if (event == kLibrootLoad) ++libroot_;
      if (event == kBackBoardLoad) ++backboard_;
    });
  }
  ~Loads() { hostsim::setTimelineSink(nullptr); }
  int libroot() {
    std::lock_guard lock(mutex_);
    return libroot_;
  }
  int backboard() {
    std::lock_guard lock(mutex_);
    return backboard_;
  }

 private:
  std::mutex mutex_;
  int libroot_ = 0;
  int backboard_ = 0;
};

TEST(OneTimeLoads, ManyThreadsOpenLibrootAndBackBoardServicesOncePerLibrary) {
  constexpr int kRounds = 8;
  constexpr int kThreads = 16;
  const std::string mapped = std::string(kPrefix) + kPrefsPath;
  Loads loads;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    hostsim::Device device;
    device.config().libroot = hostsim::Libroot::Full;
    device.config().librootPrefix = kPrefix;
    device.boot();
    auto* loadBackboard =
        reinterpret_cast<LoadEntry*>(device.engineSymbol("loadBackboardServices"));
    auto* terminate = reinterpret_cast<TerminateFunction*>(
        device.engineSymbol("__BKSTerminateApplicationForReasonAndReportWithDescription"));
    auto* engineJbrootpath =
        reinterpret_cast<PathEntry*>(device.engineSymbol("libroot_dyn_jbrootpath"));
    ASSERT_TRUE(loadBackboard != nullptr && terminate != nullptr && engineJbrootpath != nullptr);

    const std::string probeFile =
        device.root() + "/var/jb/Library/MobileSubstrate/DynamicLibraries/fresh.dylib";
    hostsim::copyFile(HARBRITE_LIBROOT_DYN_PROBE, probeFile);
    void* probe = ::dlopen(probeFile.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(probe, nullptr) << ::dlerror();
    auto* probeJbrootpath = reinterpret_cast<PathEntry*>(::dlsym(probe, "libroot_dyn_jbrootpath"));
    ASSERT_NE(probeJbrootpath, nullptr);

    const int librootBefore = loads.libroot();
    const int backboardBefore = loads.backboard();
    std::latch start(kThreads);
    std::vector<std::string> paths(kThreads);
    std::vector<TerminateFunction> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        char buffer[1024];
        start.arrive_and_wait();
        if (t % 2 == 0) {
          paths[t] = probeJbrootpath(kPrefsPath, buffer);
        } else {
          loadBackboard();
          seen[t] = *terminate;
          paths[t] = engineJbrootpath(kPrefsPath, buffer);
        }
      });
    }
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(loads.libroot() - librootBefore, 1);
    EXPECT_EQ(loads.backboard() - backboardBefore, 1);
    for (int t = 0; t < kThreads; ++t) {
      EXPECT_EQ(paths[t], mapped) << "thread " << t;
      if (t % 2 == 1) {
        EXPECT_NE(seen[t], nullptr) << "thread " << t;
      }
    }
  }
}

}  // namespace
}  // namespace harbrite::test
