// The engine's replacements sit on top of SpringBoard's own methods: each calls the
// implementation it replaced first, with the same receiver, selector and argument, and only then
// does its own work; and calling loadPrefs again never stacks the engine on itself.
//
// To watch the order, the device starts inert (no preferences file), a recorder takes the place
// of SpringBoard's own method (and calls it), the file is written and loadPrefs is called again:
// the engine then installs on top of the recorder.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hostsim/MainQueue.h"
#include "hostsim/Process.h"
#include "hostsim/SpringBoard.h"
#include "tests/support/TestDevice.h"

namespace harbrite::test {
namespace {

using host::id;
using host::IMP;
using host::SEL;

constexpr const char* kBank = "com.example.bank";
constexpr const char* kBrowser = "com.example.browser";
constexpr std::int64_t kSettle = 800'000'000;
constexpr std::int64_t kIOS16ExitDelay = 1'500'000'000;

const SEL kFrontSel = host::sel_registerName("frontDisplayDidChange:");
const SEL kExitSel = host::sel_registerName("_applicationDidExit:");

// One call of a recorded method, and the engine's visible state when it arrived.
struct Seen {
  id self;
  SEL sel;
  id argument;
  id exitedApplication;  // for _applicationDidExit:, the argument's `object`
  std::size_t pendingWork;
  bool vpn;
  std::size_t observations;
};
std::vector<Seen> frontSeen, exitSeen;
IMP springBoardOwnFront = nullptr;
IMP switcherOwnExit = nullptr;

Seen snapshot(id self, SEL sel, id argument, id exited) {
  return {self,
          sel,
          argument,
          exited,
          hostsim::MainQueue::shared().pending(),
          hostsim::vpnConnected(),
          hostsim::observationCount()};
}

void recordFront(id self, SEL sel, id display) {
  frontSeen.push_back(snapshot(self, sel, display, nullptr));
  host::callIMP<void, id>(springBoardOwnFront, self, sel, display);
}

void recordExit(id self, SEL sel, id report) {
  id exited = host::msgSend<id>(report, host::sel_registerName("object"));
  exitSeen.push_back(snapshot(self, sel, report, exited));
  host::callIMP<void, id>(switcherOwnExit, self, sel, report);
}

host::Dictionary prefs(bool persist) {
  host::Dictionary d;
  d.set("usePersistMode", host::Value(persist));
  d.set("enabledApplications", host::Value(host::Array{host::Value(kBank)}));
  return d;
}

std::size_t installationCount(const TestDevice& device) {
  std::size_t n = 0;
  for (const std::string& e : device.events()) {
    n += e.rfind("added ", 0) == 0 || e.rfind("kept existing ", 0) == 0 ||
         e.rfind("hooked ", 0) == 0;
  }
  return n;
}

class HookChain : public ::testing::Test {
 protected:
  void SetUp() override {
    frontSeen.clear();
    exitSeen.clear();
    springBoardOwnFront = switcherOwnExit = nullptr;
  }

  // Boots inert, puts the recorders beneath, then lets the engine install on top of them.
  void install(const std::string& version, bool persist) {
    device_.config().systemVersion = version;
    device_.config().apps = {kBank, kBrowser};
    device_.boot();
    loadPrefs_ = device_.engineFunction<void()>("loadPrefs");
    ASSERT_NE(loadPrefs_, nullptr);
    ASSERT_FALSE(device_.engineInstalled());

    const hostsim::HostClasses& classes = hostsim::hostClasses();
    host::MSHookMessageEx(classes.springBoard, kFrontSel, host::toIMP(&recordFront),
                          &springBoardOwnFront);
    host::MSHookMessageEx(classes.switcher, kExitSel, host::toIMP(&recordExit), &switcherOwnExit);
    ASSERT_NE(springBoardOwnFront, nullptr);
    ASSERT_NE(switcherOwnExit, nullptr);

    loadPrefs_();  // the file is still missing: still inert
    ASSERT_FALSE(device_.engineInstalled());
    device_.writePrefs(prefs(persist));
    loadPrefs_();
    ASSERT_TRUE(device_.engineInstalled());
    EXPECT_NE(host::class_getMethodImplementation(classes.springBoard, kFrontSel),
              host::toIMP(&recordFront));
  }

  bool exitHooked() const {
    return host::class_getMethodImplementation(hostsim::hostClasses().switcher, kExitSel) !=
           host::toIMP(&recordExit);
  }

  TestDevice device_;
  void (*loadPrefs_)() = nullptr;
};

TEST_F(HookChain, DefaultModeCallsSpringBoardFirstThenStartsTheSettlingDelay) {
  install("16.1", false);
  EXPECT_FALSE(exitHooked());

  device_.front(kBank);
  ASSERT_EQ(frontSeen.size(), 1u);
  EXPECT_EQ(frontSeen[0].self, device_.springBoard());
  EXPECT_EQ(frontSeen[0].sel, kFrontSel);
  EXPECT_EQ(frontSeen[0].argument, hostsim::applicationNamed(kBank));
  EXPECT_EQ(frontSeen[0].pendingWork, 0u);
  EXPECT_EQ(hostsim::MainQueue::shared().pending(), 1u);
  device_.wait(kSettle);
  EXPECT_TRUE(device_.vpnConnected());

  device_.frontHome();
  ASSERT_EQ(frontSeen.size(), 2u);
  EXPECT_EQ(frontSeen[1].argument, nullptr);
  EXPECT_EQ(frontSeen[1].pendingWork, 0u);
  device_.wait(kSettle);
  EXPECT_FALSE(device_.vpnConnected());
}

TEST_F(HookChain, PersistModeOnIOS14CallsBothHostMethodsFirst) {
  install("14.4", true);
  EXPECT_TRUE(exitHooked());

  device_.front(kBank);
  ASSERT_EQ(frontSeen.size(), 1u);
  EXPECT_EQ(frontSeen[0].self, device_.springBoard());
  EXPECT_EQ(frontSeen[0].argument, hostsim::applicationNamed(kBank));
  EXPECT_FALSE(frontSeen[0].vpn);
  EXPECT_EQ(frontSeen[0].observations, 0u);
  EXPECT_TRUE(device_.vpnConnected());
  EXPECT_EQ(hostsim::observationCount(), 1u);

  device_.exit(kBank);
  ASSERT_EQ(exitSeen.size(), 1u);
  EXPECT_TRUE(
      host::isKindOfClass(exitSeen[0].self, host::objc_getClass("SBMainSwitcherViewController")));
  EXPECT_EQ(exitSeen[0].sel, kExitSel);
  EXPECT_EQ(exitSeen[0].exitedApplication, hostsim::applicationNamed(kBank));
  EXPECT_TRUE(exitSeen[0].vpn);
  EXPECT_FALSE(device_.vpnConnected());
}

TEST_F(HookChain, PersistModeOnIOS16CallsTheCoordinatorFirstThenWaits) {
  install("16.1", true);
  EXPECT_TRUE(exitHooked());

  device_.front(kBank);
  EXPECT_TRUE(device_.vpnConnected());
  device_.exit(kBank);
  ASSERT_EQ(exitSeen.size(), 1u);
  EXPECT_TRUE(host::isKindOfClass(exitSeen[0].self,
                                  host::objc_getClass("SBMainSwitcherControllerCoordinator")));
  EXPECT_EQ(exitSeen[0].sel, kExitSel);
  EXPECT_EQ(exitSeen[0].exitedApplication, hostsim::applicationNamed(kBank));
  EXPECT_EQ(exitSeen[0].pendingWork, 0u);
  EXPECT_EQ(hostsim::MainQueue::shared().pending(), 1u);
  device_.wait(kIOS16ExitDelay - 1);
  EXPECT_TRUE(device_.vpnConnected());
  device_.wait(1);
  EXPECT_FALSE(device_.vpnConnected());
}

TEST_F(HookChain, LaterCallsOfLoadPrefsStackNothing) {
  install("14.4", true);
  const std::size_t installed = installationCount(device_);
  loadPrefs_();
  loadPrefs_();
  // Stop here if anything was installed again: a replacement hooked over itself never returns.
  ASSERT_EQ(installationCount(device_), installed);

  // Each host method runs once per event, beneath one engine replacement.
  device_.front(kBank);
  EXPECT_EQ(frontSeen.size(), 1u);
  EXPECT_EQ(hostsim::observationCount(), 1u);
  device_.exit(kBank);
  EXPECT_EQ(exitSeen.size(), 1u);
  EXPECT_FALSE(device_.vpnConnected());
}

TEST(SecondLoadPrefs, AfterInstallingAtBootChangesNeitherHooksNorMode) {
  TestDevice device;
  device.config().systemVersion = "16.1";
  device.config().apps = {kBank};
  device.writePrefs(prefs(false));
  device.boot();
  ASSERT_TRUE(device.engineInstalled());
  host::Class springBoard = host::objc_getClass("SpringBoard");
  const IMP replacement = host::class_getMethodImplementation(springBoard, kFrontSel);
  const std::size_t installed = installationCount(device);

  device.writePrefs(prefs(true));  // persist mode takes effect only at the next start
  device.engineFunction<void()>("loadPrefs")();
  ASSERT_EQ(installationCount(device), installed);
  EXPECT_EQ(host::class_getMethodImplementation(springBoard, kFrontSel), replacement);
  EXPECT_EQ(device.exitHook(), "none");
  EXPECT_EQ(hostsim::systemVersionQueries(), 0u);

  // Still the default mode, with one settling delay per change: had the replacement been hooked
  // over itself, this change would never return.
  device.front(kBank);
  EXPECT_EQ(hostsim::MainQueue::shared().pending(), 1u);
  EXPECT_FALSE(device.vpnConnected());
  device.wait(kSettle);
  EXPECT_TRUE(device.vpnConnected());
}

}  // namespace
}  // namespace harbrite::test
