// Long runs leave the live heap where it started: SpringBoard and the Settings app run for days,
// so a few bytes kept per event would add up.
#include <gtest/gtest.h>
#include <malloc.h>

#include "host/Foundation.h"
#include "hostsim/SettingsApp.h"
#include "hostsim/SpringBoard.h"
#include "hostsim/Timeline.h"
#include "tests/support/TestDevice.h"

namespace harbrite::test {
namespace {

constexpr int kEvents = 100'000;
// Anything kept per event would show as at least this many bytes over the run.
constexpr long kAllowedGrowth = kEvents / 4;

long liveHeapBytes() {
  return static_cast<long>(mallinfo2().uordblks);
}

#if defined(__SANITIZE_ADDRESS__)
#define SKIP_UNDER_SANITIZER() GTEST_SKIP() << "the sanitizer's allocator keeps its own books"
#else
#define SKIP_UNDER_SANITIZER()
#endif

TEST(LiveHeap, DefaultModeDecisionsKeepNothing) {
  SKIP_UNDER_SANITIZER();
  TestDevice device;
  device.config().apps = {"com.example.bank", "com.example.mail"};
  host::Dictionary prefs;
  prefs.set("enabledApplications", host::Value(host::Array{host::Value("com.example.bank"),
                                                           host::Value("com.example.mail")}));
  device.writePrefs(prefs);
  device.boot();
  hostsim::setTimelineSink(nullptr);  // the test's own record of events would grow

  // Two enabled applications in turn: every change runs a whole settling period and a decision.
  auto cycle = [&](int n) {
    for (int i = 0; i < n; ++i) {
      device.front(i % 2 == 0 ? "com.example.bank" : "com.example.mail");
      device.wait(800'000'000);
    }
  };
  cycle(1'000);  // warm up: caches and the first switch
  ASSERT_TRUE(device.vpnConnected());
  const long before = liveHeapBytes();
  cycle(kEvents);
  const long after = liveHeapBytes();
  EXPECT_TRUE(device.vpnConnected());
  EXPECT_LT(after - before, kAllowedGrowth) << "live heap grew from " << before << " to " << after;
}

TEST(LiveHeap, PaneReadsKeepNothing) {
  SKIP_UNDER_SANITIZER();
  TestDevice device;
  host::Dictionary prefs;
  prefs.set("usePersistMode", host::Value(true));
  device.writePrefs(prefs);
  hostsim::SettingsApp settings(device.root());
  settings.open();
  hostsim::setTimelineSink(nullptr);
  host::Dictionary properties;
  properties.set("key", host::Value("usePersistMode"));
  host::StrongRef row = settings.makeSpecifier(std::move(properties), settings.rootController());
  const host::SEL read = host::sel_registerName("readPreferenceValue:");

  auto readMany = [&](int n) {
    for (int i = 0; i < n; ++i) {
      host::AutoreleasePool pool;
      host::Value v = host::valueFromPropertyList(
          host::msgSend<host::id, host::id>(settings.rootController(), read, row.get()));
      ASSERT_TRUE(v.boolValue());
    }
  };
  readMany(1'000);
  const long before = liveHeapBytes();
  readMany(kEvents);
  const long after = liveHeapBytes();
  EXPECT_LT(after - before, kAllowedGrowth) << "live heap grew from " << before << " to " << after;
}

}  // namespace
}  // namespace harbrite::test
