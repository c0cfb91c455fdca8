// Root-prefix resolution as the engine that a simulated device loads resolves it: with no
// libroot (the built-in fallbacks), with a libroot that gives only its jbroot prefix, and with a
// whole libroot. Every boot loads a fresh copy of the engine, so each test has its own table.
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
constexpr const char* kZeroUUID = "00000000-0000-0000-0000-000000000000";
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
constexpr const char* kJbrootpath = "libroot_dyn_jbrootpath";
constexpr const char* kRootfspath = "libroot_dyn_rootfspath";
constexpr const char* kJbrootpathFallback = "libroot_jbrootpath_fallback";
constexpr const char* kRootfspathFallback = "libroot_rootfspath_fallback";

// A device with the given libroot, booted, and the root-prefix entries of the engine it loaded.
class Resolution : public ::testing::Test {
 protected:
  void boot(hostsim::Libroot libroot = hostsim::Libroot::None, const std::string& prefix = "") {
    device_.config().libroot = libroot;
    device_.config().librootPrefix = prefix;
    device_.writePrefs(host::Dictionary{});  // where this device's libroot says the file is
    device_.boot();
  }
  const char* prefix(const char* entry) const {
    return device_.engineFunction<PrefixEntry>(entry)();
  }
  PathEntry* path(const char* entry) const { return device_.engineFunction<PathEntry>(entry); }
  // Maps `input` with a buffer of the caller's own, as the system's callers do.
  std::string map(const char* entry, const std::string& input) const {
    char buffer[kBound];
    const char* result = path(entry)(input.c_str(), buffer);
    EXPECT_EQ(result, buffer) << entry << ": the result is not the caller's buffer";
    return result != nullptr ? result : "(null)";
  }

  TestDevice device_;
};

using WithoutLibroot = Resolution;

TEST_F(WithoutLibroot, PutsVarJbInFrontOfAbsolutePathsOnlyAndAlways) {
  boot();
  for (const char* entry : {kJbrootpath, kJbrootpathFallback}) {
    EXPECT_EQ(map(entry, kPrefsPath), std::string("/var/jb") + kPrefsPath);
    // Nothing checks what is already there: a mapped path gets the prefix once more.
    EXPECT_EQ(map(entry, "/var/jb/usr/lib"), "/var/jb/var/jb/usr/lib");
  }
  for (const char* entry : {kJbrootpath, kRootfspath}) {
    EXPECT_EQ(map(entry, "var/mobile/notes.txt"), "var/mobile/notes.txt");
    EXPECT_EQ(map(entry, "./var/jb/x"), "./var/jb/x");
    EXPECT_EQ(map(entry, ""), "");
  }
  EXPECT_FALSE(device_.sawEvent("loaded @rpath/libroot.dylib"));
}

TEST_F(WithoutLibroot, RootfsMappingStripsSevenBytesOfVarJbAndNothingElse) {
  boot();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/var/jb/usr/lib/libsubstrate.dylib", "/usr/lib/libsubstrate.dylib"},
      {"/var/jb", ""},
      {"/usr/lib/x", "/usr/lib/x"},  // outside the jbroot: the empty root prefix in front
      {"/var/jbx/y", "x/y"},         // a byte comparison, not one of path components
      {"/var/j", "/var/j"},
      {"/private/var/jb/x", "/private/var/jb/x"},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(map(kRootfspath, input), expected) << input;
    EXPECT_EQ(map(kRootfspathFallback, input), expected) << input;
  }
}

TEST_F(WithoutLibroot, NullPathGivesNullLeavesTheBufferAndAllocatesNothing) {
  boot();
  for (const char* entry : {kJbrootpath, kRootfspath, kJbrootpathFallback, kRootfspathFallback}) {
    char buffer[kBound];
    std::memset(buffer, 'Q', sizeof buffer);
    EXPECT_EQ(path(entry)(nullptr, buffer), nullptr) << entry;
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(kBound, 'Q')) << entry;

    const std::size_t before = heapBytes();
    EXPECT_EQ(path(entry)(nullptr, nullptr), nullptr) << entry;
    EXPECT_EQ(heapBytes(), before) << entry;
  }
}

TEST_F(WithoutLibroot, NullBufferGivesAFreshHeapBufferOf1024Bytes) {
  boot();
  const std::string longPath = "/" + std::string(1500, 'p');
  for (const char* entry : {kJbrootpath, kRootfspath}) {
    const std::size_t before = heapBytes();
    char* first = path(entry)(kPrefsPath, nullptr);
    char* second = path(entry)(longPath.c_str(), nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_GE(heapBytes(), before + 2 * kBound);
    EXPECT_GE(malloc_usable_size(first), kBound);
    EXPECT_EQ(std::strlen(second), kBound - 1);  // filled to the bound and terminated
    EXPECT_EQ(std::string(first),
              entry == kJbrootpath ? std::string("/var/jb") + kPrefsPath : std::string(kPrefsPath));
    std::free(first);  // the caller's, released with free
    std::free(second);
  }
}

TEST_F(WithoutLibroot, EveryResultIsCutTo1023CharactersAndTerminatedInsideTheBuffer) {
  boot();
  // The caller's buffer sits between guard bytes that no mapping may touch.
  auto mapGuarded = [this](const char* entry, const std::string& input) {
    struct {
      char before[64];
      char buffer[kBound];
      char after[64];
    } g;
    std::memset(&g, 'G', sizeof g);
    EXPECT_EQ(path(entry)(input.c_str(), g.buffer), g.buffer);
    EXPECT_EQ(std::string(g.before, sizeof g.before), std::string(64, 'G'));
    EXPECT_EQ(std::string(g.after, sizeof g.after), std::string(64, 'G'));
    return std::string(g.buffer, strnlen(g.buffer, kBound));
  };
  const std::string fits = "/" + std::string(1015, 'a');  // "/var/jb" + 1016 = 1023 characters
  EXPECT_EQ(mapGuarded(kJbrootpath, fits), "/var/jb" + fits);
  EXPECT_EQ(mapGuarded(kJbrootpath, fits + "b"), "/var/jb" + fits);  // 1024: the "b" is dropped

  const std::string farOver = "/" + std::string(3000, 'c');
  const std::string longRelative(2000, 'r');
  const std::string longInside = "/var/jb/" + std::string(2000, 'i');
  EXPECT_EQ(mapGuarded(kJbrootpath, farOver), ("/var/jb" + farOver).substr(0, kBound - 1));
  EXPECT_EQ(mapGuarded(kJbrootpath, longRelative), longRelative.substr(0, kBound - 1));
  EXPECT_EQ(mapGuarded(kRootfspath, longRelative), longRelative.substr(0, kBound - 1));
  EXPECT_EQ(mapGuarded(kRootfspath, longInside), longInside.substr(7, kBound - 1));
  EXPECT_EQ(mapGuarded(kRootfspath, farOver), farOver.substr(0, kBound - 1));
}

TEST_F(WithoutLibroot, PrefixEntriesGiveTheBuiltInValues) {
  boot();
  EXPECT_STREQ(prefix("libroot_dyn_get_root_prefix"), "");
  EXPECT_STREQ(prefix("libroot_dyn_get_jbroot_prefix"), "/var/jb");
  EXPECT_STREQ(prefix("libroot_dyn_get_boot_uuid"), kZeroUUID);
  EXPECT_STREQ(prefix("libroot_get_root_prefix_fallback"), "");
  EXPECT_STREQ(prefix("libroot_get_jbroot_prefix_fallback"), "/var/jb");
  EXPECT_STREQ(prefix("libroot_get_boot_uuid_fallback"), kZeroUUID);
}

using WithLibroot = Resolution;

TEST_F(WithLibroot, OnlyTheJbrootPrefixFromLibrootDrivesBothFallbackMappings) {
  const std::string jb = "/private/preboot/4F2A9C/jb-Kx81";
  boot(hostsim::Libroot::OnlyJbrootPrefix, jb);
  EXPECT_TRUE(device_.sawEvent("loaded @rpath/libroot.dylib"));
  // The engine found its preferences file under libroot's prefix, not under /var/jb.
  EXPECT_TRUE(device_.engineInstalled());

  EXPECT_STREQ(prefix("libroot_dyn_get_jbroot_prefix"), jb.c_str());
  EXPECT_STREQ(prefix("libroot_dyn_get_root_prefix"), "");
  EXPECT_STREQ(prefix("libroot_dyn_get_boot_uuid"), kZeroUUID);
  EXPECT_EQ(map(kJbrootpath, kPrefsPath), jb + kPrefsPath);
  EXPECT_EQ(map(kRootfspath, jb + "/usr/lib/x"), "/usr/lib/x");
  EXPECT_EQ(map(kRootfspath, jb), "");
  EXPECT_EQ(map(kRootfspath, "/var/jb/usr/lib/x"), "/var/jb/usr/lib/x");
}

TEST_F(WithLibroot, AWholeLibrootAnswersEveryEntry) {
  const std::string jb = "/private/preboot/77B1/jb-Q";
  boot(hostsim::Libroot::Full, jb);
  EXPECT_TRUE(device_.engineInstalled());
  EXPECT_STREQ(prefix("libroot_dyn_get_jbroot_prefix"), jb.c_str());
  EXPECT_EQ(std::strlen(prefix("libroot_dyn_get_boot_uuid")), 36u);
  EXPECT_STRNE(prefix("libroot_dyn_get_boot_uuid"), kZeroUUID);
  EXPECT_EQ(map(kJbrootpath, kPrefsPath), jb + kPrefsPath);
  EXPECT_EQ(map(kRootfspath, jb + "/etc/apt"), "/etc/apt");
  // The exported fallbacks read libroot's prefixes through the same table.
  EXPECT_EQ(map(kJbrootpathFallback, "/etc/apt"), jb + "/etc/apt");
  EXPECT_EQ(map(kRootfspathFallback, jb + "/etc/apt"), "/etc/apt");
}

TEST_F(WithLibroot, AnEmptyJbrootPrefixLeavesEveryAbsolutePathAlone) {
  boot(hostsim::Libroot::OnlyJbrootPrefix, "");
  EXPECT_TRUE(device_.engineInstalled());
  EXPECT_STREQ(prefix("libroot_dyn_get_jbroot_prefix"), "");
  for (const char* input : {kPrefsPath, "/var/jb/usr/lib", "/"}) {
    EXPECT_EQ(map(kJbrootpath, input), input);
    EXPECT_EQ(map(kRootfspath, input), input);
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
