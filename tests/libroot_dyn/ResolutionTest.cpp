// Root-prefix resolution as the engine that a simulated device loads resolves it: with no
// libroot (the built-in fallbacks), with a libroot that gives only its jbroot prefix, and with a
// whole libroot. Every boot loads a fresh copy of the engine, so each test has its own table.
#include <dlfcn.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#define HARBRITE_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HARBRITE_TEST_ASAN 1
#endif
#endif
#ifdef HARBRITE_TEST_ASAN
// From the sanitizer runtime's allocator interface (g++ ships no header for it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#else
#include <atomic>
#endif

#include "tests/support/TestDevice.h"

namespace harbrite::test {
namespace {

constexpr const char* kPrefsPath = "/var/mobile/Library/Preferences/com.quorvik.harbrite.plist";
constexpr std::size_t kBound = 1024;

// A count of heap bytes that grows with every allocation and stands still while nothing is
// allocated or freed. Under AddressSanitizer its allocator keeps the count; otherwise every
// malloc of this program (the engine's included) is counted on its way to the C library.
#ifdef HARBRITE_TEST_ASAN
std::size_t heapBytes() {
  return __sanitizer_get_current_allocated_bytes();
}
#else
std::atomic<std::size_t> mallocBytes{0};
std::size_t heapBytes() {
  return mallocBytes.load();
}
#endif

using PrefixEntry = const char*();
using PathEntry = char*(const char*, char*);

// The root-prefix entries of the engine loaded on `device`.
struct Entries {
  explicit Entries(const TestDevice& device)
      : rootPrefix(device.engineFunction<PrefixEntry>("libroot_dyn_get_root_prefix")),
        jbrootPrefix(device.engineFunction<PrefixEntry>("libroot_dyn_get_jbroot_prefix")),
        bootUUID(device.engineFunction<PrefixEntry>("libroot_dyn_get_boot_uuid")),
        jbrootpath(device.engineFunction<PathEntry>("libroot_dyn_jbrootpath")),
        rootfspath(device.engineFunction<PathEntry>("libroot_dyn_rootfspath")),
        jbrootpathFallback(device.engineFunction<PathEntry>("libroot_jbrootpath_fallback")),
        rootfspathFallback(device.engineFunction<PathEntry>("libroot_rootfspath_fallback")) {}

  PrefixEntry* rootPrefix;
  PrefixEntry* jbrootPrefix;
  PrefixEntry* bootUUID;
  PathEntry* jbrootpath;
  PathEntry* rootfspath;
  PathEntry* jbrootpathFallback;
  PathEntry* rootfspathFallback;

  // Maps `path` through `entry` with a buffer of the caller's own, as the system's callers do.
  std::string map(PathEntry* entry, const std::string& path) const {
    char buffer[kBound];
    const char* result = entry(path.c_str(), buffer);
    EXPECT_EQ(result, buffer) << "the result is not the caller's buffer";
    return result != nullptr ? result : "(null)";
  }
};

class WithoutLibroot : public ::testing::Test {
 protected:
  void SetUp() override {
    device_.boot();
    entries_ = std::make_unique<Entries>(device_);
    ASSERT_NE(entries_->jbrootpath, nullptr);
  }
  TestDevice device_;
  std::unique_ptr<Entries> entries_;
};

TEST_F(WithoutLibroot, MapsThePreferencesPathUnderVarJbIntoTheCallersBuffer) {
  const Entries& e = *entries_;
  EXPECT_EQ(e.map(e.jbrootpath, kPrefsPath), std::string("/var/jb") + kPrefsPath);
  EXPECT_EQ(e.map(e.jbrootpathFallback, kPrefsPath), std::string("/var/jb") + kPrefsPath);
  // Mapping does not look at what is already there: a mapped path gets the prefix once more.
  EXPECT_EQ(e.map(e.jbrootpath, "/var/jb/usr/lib"), "/var/jb/var/jb/usr/lib");
  EXPECT_FALSE(device_.sawEvent("loaded @rpath/libroot.dylib"));
}

TEST_F(WithoutLibroot, LeavesRelativeAndEmptyPathsAsTheyAre) {
  const Entries& e = *entries_;
  for (PathEntry* entry : {e.jbrootpath, e.rootfspath}) {
    EXPECT_EQ(e.map(entry, "var/mobile/notes.txt"), "var/mobile/notes.txt");
    EXPECT_EQ(e.map(entry, ""), "");
    EXPECT_EQ(e.map(entry, "./var/jb/x"), "./var/jb/x");
  }
}

TEST_F(WithoutLibroot, RootfsMappingStripsSevenBytesOfVarJbAndNothingElse) {
  const Entries& e = *entries_;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/var/jb/usr/lib/libsubstrate.dylib", "/usr/lib/libsubstrate.dylib"},
      {"/var/jb", ""},
      {"/var/jb/", "/"},
      {"/usr/lib/x", "/usr/lib/x"},  // outside the jbroot: the empty root prefix in front
      {"/var/jbx/y", "x/y"},         // a byte comparison, not one of path components
      {"/var/j", "/var/j"},          // shorter than the prefix
      {"/private/var/jb/x", "/private/var/jb/x"},
  };
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(e.map(e.rootfspath, path), expected) << path;
    EXPECT_EQ(e.map(e.rootfspathFallback, path), expected) << path;
  }
}

TEST_F(WithoutLibroot, NullPathGivesNullLeavesTheBufferAndAllocatesNothing) {
  const Entries& e = *entries_;
  for (PathEntry* entry :
       {e.jbrootpath, e.rootfspath, e.jbrootpathFallback, e.rootfspathFallback}) {
    char buffer[kBound];
    std::memset(buffer, 'Q', sizeof buffer);
    EXPECT_EQ(entry(nullptr, buffer), nullptr);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(kBound, 'Q'));

    const std::size_t before = heapBytes();
    EXPECT_EQ(entry(nullptr, nullptr), nullptr);
    EXPECT_EQ(heapBytes(), before);
  }
}

TEST_F(WithoutLibroot, NullBufferGivesAFreshHeapBufferOf1024Bytes) {
  const Entries& e = *entries_;
  const std::string longPath = "/" + std::string(1500, 'p');
  for (PathEntry* entry : {e.jbrootpath, e.rootfspath}) {
    const std::size_t before = heapBytes();
    char* first = entry(kPrefsPath, nullptr);
    char* second = entry(longPath.c_str(), nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_GE(heapBytes(), before + 2 * kBound);
    EXPECT_GE(malloc_usable_size(first), kBound);
    EXPECT_GE(malloc_usable_size(second), kBound);
    EXPECT_EQ(std::strlen(second), kBound - 1);  // filled to the bound and terminated
    std::free(first);                            // the caller's to release with free
    std::free(second);
  }
  char* mapped = e.jbrootpath(kPrefsPath, nullptr);
  ASSERT_NE(mapped, nullptr);
  EXPECT_EQ(std::string(mapped), std::string("/var/jb") + kPrefsPath);
  std::free(mapped);
}

TEST_F(WithoutLibroot, EveryResultIsCutTo1023CharactersAndTerminatedInsideTheBuffer) {
  const Entries& e = *entries_;
  // The caller's buffer sits between guard bytes that no mapping may touch.
  struct Guarded {
    char before[64];
    char buffer[kBound];
    char after[64];
  };
  auto mapGuarded = [](PathEntry* entry, const std::string& path) {
    Guarded g;
    std::memset(&g, 'G', sizeof g);
    const char* result = entry(path.c_str(), g.buffer);
    EXPECT_EQ(result, g.buffer);
    EXPECT_EQ(std::string(g.before, sizeof g.before), std::string(64, 'G'));
    EXPECT_EQ(std::string(g.after, sizeof g.after), std::string(64, 'G'));
    return std::string(g.buffer, strnlen(g.buffer, kBound));
  };

  const std::string fits = "/" + std::string(1015, 'a');  // "/var/jb" + 1016 = 1023 characters
  EXPECT_EQ(mapGuarded(e.jbrootpath, fits), "/var/jb" + fits);

  const std::string oneOver = fits + "b";  // 1024 characters once mapped: the "b" is dropped
  EXPECT_EQ(mapGuarded(e.jbrootpath, oneOver), "/var/jb" + fits);

  const std::string farOver = "/" + std::string(3000, 'c');
  EXPECT_EQ(mapGuarded(e.jbrootpath, farOver), ("/var/jb" + farOver).substr(0, kBound - 1));

  const std::string longRelative(2000, 'r');
  EXPECT_EQ(mapGuarded(e.jbrootpath, longRelative), longRelative.substr(0, kBound - 1));
  EXPECT_EQ(mapGuarded(e.rootfspath, longRelative), longRelative.substr(0, kBound - 1));

  const std::string longInside = "/var/jb/" + std::string(2000, 'i');
  EXPECT_EQ(mapGuarded(e.rootfspath, longInside), longInside.substr(7, kBound - 1));
  EXPECT_EQ(mapGuarded(e.rootfspath, farOver), farOver.substr(0, kBound - 1));
}

TEST_F(WithoutLibroot, PrefixEntriesGiveTheBuiltInValues) {
  const Entries& e = *entries_;
  EXPECT_STREQ(e.rootPrefix(), "");
  EXPECT_STREQ(e.jbrootPrefix(), "/var/jb");
  EXPECT_STREQ(e.bootUUID(), "00000000-0000-0000-0000-000000000000");
  EXPECT_STREQ(device_.engineFunction<PrefixEntry>("libroot_get_root_prefix_fallback")(), "");
  EXPECT_STREQ(device_.engineFunction<PrefixEntry>("libroot_get_jbroot_prefix_fallback")(),
               "/var/jb");
  EXPECT_STREQ(device_.engineFunction<PrefixEntry>("libroot_get_boot_uuid_fallback")(),
               "00000000-0000-0000-0000-000000000000");
}

// A device carrying a libroot stand-in with the given jbroot prefix.
class WithLibroot : public ::testing::Test {
 protected:
  void boot(hostsim::Libroot kind, const std::string& prefix) {
    device_.config().libroot = kind;
    device_.config().librootPrefix = prefix;
    host::Dictionary prefs;
    prefs.set("usePersistMode", host::Value(false));
    device_.writePrefs(prefs);  // where the device's libroot says the file is
    device_.boot();
    entries_ = std::make_unique<Entries>(device_);
  }
  // The stand-in the engine opened, asked directly.
  template <class F>
  F* libroot(const char* name) {
    void* handle = ::dlopen((device_.root() + "/var/jb/usr/lib/libroot.dylib").c_str(),
                            RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(handle, nullptr) << "the engine did not open the device's libroot";
    if (handle == nullptr) return nullptr;
    void* symbol = ::dlsym(handle, name);
    ::dlclose(handle);
    return reinterpret_cast<F*>(symbol);
  }
  int librootLoads() const {
    int n = 0;
    for (const auto& event : device_.events()) n += event == "loaded @rpath/libroot.dylib";
    return n;
  }
  TestDevice device_;
  std::unique_ptr<Entries> entries_;
};

TEST_F(WithLibroot, OnlyTheJbrootPrefixFromLibrootDrivesBothFallbackMappings) {
  const std::string prefix = "/private/preboot/4F2A9C/jb-Kx81";
  boot(hostsim::Libroot::OnlyJbrootPrefix, prefix);
  const Entries& e = *entries_;
  EXPECT_EQ(librootLoads(), 1);
  // The engine found its preferences file under libroot's prefix, not under /var/jb.
  EXPECT_TRUE(device_.engineInstalled());

  EXPECT_STREQ(e.jbrootPrefix(), prefix.c_str());
  EXPECT_STREQ(e.rootPrefix(), "");
  EXPECT_STREQ(e.bootUUID(), "00000000-0000-0000-0000-000000000000");
  EXPECT_EQ(e.map(e.jbrootpath, kPrefsPath), prefix + kPrefsPath);
  EXPECT_EQ(e.map(e.rootfspath, prefix + "/usr/lib/x"), "/usr/lib/x");
  EXPECT_EQ(e.map(e.rootfspath, prefix), "");
  EXPECT_EQ(e.map(e.rootfspath, "/var/jb/usr/lib/x"), "/var/jb/usr/lib/x");
}

TEST_F(WithLibroot, AWholeLibrootAnswersEveryEntry) {
  const std::string prefix = "/private/preboot/77B1/jb-Q";
  boot(hostsim::Libroot::Full, prefix);
  const Entries& e = *entries_;
  EXPECT_EQ(librootLoads(), 1);
  EXPECT_TRUE(device_.engineInstalled());

  auto* uuid = libroot<PrefixEntry>("libroot_get_boot_uuid");
  auto* jbrootpath = libroot<PathEntry>("libroot_jbrootpath");
  auto* rootfspath = libroot<PathEntry>("libroot_rootfspath");
  ASSERT_NE(uuid, nullptr);
  ASSERT_NE(jbrootpath, nullptr);
  ASSERT_NE(rootfspath, nullptr);
  EXPECT_STREQ(e.bootUUID(), uuid());
  EXPECT_STRNE(e.bootUUID(), "00000000-0000-0000-0000-000000000000");
  EXPECT_STREQ(e.jbrootPrefix(), prefix.c_str());

  char expected[kBound];
  EXPECT_EQ(e.map(e.jbrootpath, kPrefsPath), jbrootpath(kPrefsPath, expected));
  EXPECT_EQ(e.map(e.jbrootpath, kPrefsPath), prefix + kPrefsPath);
  const std::string inside = prefix + "/etc/apt";
  EXPECT_EQ(e.map(e.rootfspath, inside), rootfspath(inside.c_str(), expected));
  // The exported fallbacks read libroot's prefixes through the same table.
  EXPECT_EQ(e.map(e.jbrootpathFallback, "/etc/apt"), inside);
  EXPECT_EQ(e.map(e.rootfspathFallback, inside), "/etc/apt");
}

TEST_F(WithLibroot, AnEmptyJbrootPrefixLeavesEveryAbsolutePathAlone) {
  boot(hostsim::Libroot::OnlyJbrootPrefix, "");
  const Entries& e = *entries_;
  EXPECT_TRUE(device_.engineInstalled());
  EXPECT_STREQ(e.jbrootPrefix(), "");
  for (const std::string& path :
       {std::string(kPrefsPath), std::string("/var/jb/usr/lib"), std::string("/")}) {
    EXPECT_EQ(e.map(e.jbrootpath, path), path);
    EXPECT_EQ(e.map(e.rootfspath, path), path);
  }
}

}  // namespace
}  // namespace harbrite::test

#ifndef HARBRITE_TEST_ASAN
extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* malloc(std::size_t size) noexcept {
  harbrite::test::mallocBytes.fetch_add(size, std::memory_order_relaxed);
  return __libc_malloc(size);
}
#endif
