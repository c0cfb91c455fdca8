// The one-time load, seen from its first call. The engine resolves its preferences path in its
// initialiser, so its first call is never a test's; these tests load libroot_dyn on its own,
// linked as the deliverables link it, from a new path each time, so that every copy starts with
// an empty table. libroot is a whole stand-in with its own jbroot prefix: a result made before
// the table was complete would show the fallback "/var/jb" instead.
#include <dlfcn.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "hostsim/Device.h"
#include "hostsim/Timeline.h"

namespace harbrite::test {
namespace {

constexpr const char* kPrefsPath = "/var/mobile/Library/Preferences/com.quorvik.harbrite.plist";
constexpr const char* kPrefix = "/private/preboot/9E0C/jb-Tz4";

using PrefixEntry = const char*();
using PathEntry = char*(const char*, char*);
using LoadEntry = void();

class FirstCall : public ::testing::Test {
 protected:
  void SetUp() override {
    hostsim::setTimelineSink([this](const hostsim::TimelineEvent& event) {
      std::lock_guard lock(mutex_);
      if (event.text == "loaded @rpath/libroot.dylib") ++loads_;
    });
    const hostsim::Payload payload = hostsim::Payload::built();
    hostsim::copyFile(payload.librootFull, device_.root() + "/var/jb/usr/lib/libroot.dylib");
    std::ofstream(device_.root() + hostsim::kLibrootPrefixFile, std::ios::binary) << kPrefix;
  }
  void TearDown() override { hostsim::setTimelineSink(nullptr); }

  // A fresh copy of libroot_dyn, where the hooking framework would put a tweak.
  void* freshCopy() {
    const std::string file = device_.root() +
                             "/var/jb/Library/MobileSubstrate/DynamicLibraries/probe-" +
                             std::to_string(copies_++) + ".dylib";
    hostsim::copyFile(HARBRITE_LIBROOT_DYN_PROBE, file);
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(handle, nullptr) << ::dlerror();
    return handle;
  }

  template <class F>
  static F* entry(void* handle, const char* name) {
    return reinterpret_cast<F*>(::dlsym(handle, name));
  }

  int loads() {
    std::lock_guard lock(mutex_);
    return loads_;
  }

  hostsim::Device device_;  // only its root: nothing boots

 private:
  std::mutex mutex_;
  int loads_ = 0;
  int copies_ = 0;
};

TEST_F(FirstCall, ConcurrentFirstCallsOpenLibrootOnceAndAllSeeTheCompleteTable) {
  constexpr int kRounds = 6;
  constexpr int kThreads = 12;
  const std::string expected = std::string(kPrefix) + kPrefsPath;
  for (int round = 0; round < kRounds; ++round) {
    void* probe = freshCopy();
    ASSERT_NE(probe, nullptr);
    auto* jbrootpath = entry<PathEntry>(probe, "libroot_dyn_jbrootpath");
    ASSERT_NE(jbrootpath, nullptr);
    const int loadsBefore = loads();

    std::latch start(kThreads);
    std::vector<std::string> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        char buffer[1024];
        start.arrive_and_wait();  // all make their first call together
        const char* mapped = jbrootpath(kPrefsPath, buffer);
        results[t] = mapped != nullptr ? mapped : "(null)";
      });
    }
    for (auto& thread : threads) thread.join();

    EXPECT_EQ(loads() - loadsBefore, 1) << "round " << round;
    for (const std::string& result : results) EXPECT_EQ(result, expected) << "round " << round;
    char buffer[1024];
    EXPECT_EQ(std::string(jbrootpath(kPrefsPath, buffer)), expected);
    EXPECT_EQ(loads() - loadsBefore, 1) << "a later call loaded again";
  }
}

TEST_F(FirstCall, EveryEntryButThePrefixFallbacksRunsTheLoad) {
  char buffer[1024];
  const std::vector<std::pair<const char*, std::function<void(void*)>>> entries = {
      {"libroot_load", [](void* h) { entry<LoadEntry>(h, "libroot_load")(); }},
      {"libroot_dyn_get_root_prefix",
       [](void* h) { entry<PrefixEntry>(h, "libroot_dyn_get_root_prefix")(); }},
      {"libroot_dyn_get_jbroot_prefix",
       [](void* h) { entry<PrefixEntry>(h, "libroot_dyn_get_jbroot_prefix")(); }},
      {"libroot_dyn_get_boot_uuid",
       [](void* h) { entry<PrefixEntry>(h, "libroot_dyn_get_boot_uuid")(); }},
      {"libroot_dyn_jbrootpath",
       [&](void* h) { entry<PathEntry>(h, "libroot_dyn_jbrootpath")("/etc", buffer); }},
      {"libroot_dyn_rootfspath",
       [&](void* h) { entry<PathEntry>(h, "libroot_dyn_rootfspath")("/etc", buffer); }},
      {"libroot_jbrootpath_fallback",
       [&](void* h) { entry<PathEntry>(h, "libroot_jbrootpath_fallback")("/etc", buffer); }},
      {"libroot_rootfspath_fallback",
       [&](void* h) { entry<PathEntry>(h, "libroot_rootfspath_fallback")("/etc", buffer); }},
  };
  for (const auto& [name, call] : entries) {
    void* probe = freshCopy();
    ASSERT_NE(probe, nullptr);
    const int loadsBefore = loads();

    EXPECT_STREQ(entry<PrefixEntry>(probe, "libroot_get_root_prefix_fallback")(), "");
    EXPECT_STREQ(entry<PrefixEntry>(probe, "libroot_get_jbroot_prefix_fallback")(), "/var/jb");
    EXPECT_STREQ(entry<PrefixEntry>(probe, "libroot_get_boot_uuid_fallback")(),
                 "00000000-0000-0000-0000-000000000000");
    EXPECT_EQ(loads(), loadsBefore) << "a prefix fallback loaded libroot";

    call(probe);
    EXPECT_EQ(loads() - loadsBefore, 1) << name << " did not load libroot";
    for (const auto& [other, callOther] : entries) callOther(probe);
    EXPECT_EQ(loads() - loadsBefore, 1) << "loaded again after " << name;

    // The fallback mapping, reached after the load, reads libroot's prefix.
    EXPECT_EQ(std::string(entry<PathEntry>(probe, "libroot_jbrootpath_fallback")("/etc", buffer)),
              std::string(kPrefix) + "/etc");
  }
}

}  // namespace
}  // namespace harbrite::test
