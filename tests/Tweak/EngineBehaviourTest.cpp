// The engine's behaviour where a scenario cannot look: the methods it adds to SpringBoard, sent
// through the runtime; how often persist mode's observer runs; and what the settling delay holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>

#include <cerrno>
#include <filesystem>

#include "host/Foundation.h"
#include "hostsim/FileLayer.h"
#include "hostsim/Objects.h"
#include "hostsim/Process.h"
#include "hostsim/SpringBoard.h"
#include "tests/support/CountingLayer.h"
#include "tests/support/TestDevice.h"

namespace harbrite::test {
namespace {

using host::id;
using host::IMP;
using host::SEL;

SEL sel(const char* name) {
  return host::sel_registerName(name);
}

// A string object, as SpringBoard's callers pass feature names.
host::StrongRef str(const char* text) {
  return host::stringWithUTF8String(text);
}

host::Dictionary prefsEnabling(std::vector<std::string> apps, bool persist = false) {
  host::Array list;
  for (auto& app : apps) list.emplace_back(std::move(app));
  host::Dictionary d;
  d.set("usePersistMode", host::Value(persist));
  d.set("enabledApplications", host::Value(std::move(list)));
  return d;
}

std::size_t countEvents(const TestDevice& device, const std::string& part) {
  return std::count_if(device.events().begin(), device.events().end(),
                       [&](const std::string& e) { return e.find(part) != std::string::npos; });
}

bool readState(id springBoard) {
  return host::msgSend<bool, id>(springBoard, sel("readStateFromFileForFeature:"),
                                 str("VPN").get());
}

TEST(EngineBehaviour, SetVPNStateAndTurnVPNOnAsSpringBoardMethods) {
  TestDevice device;
  CountingLayer files;
  device.writePrefs(prefsEnabling({}));
  device.boot();
  id springBoard = device.springBoard();
  const SEL setVPNState = sel("setVPNState:");
  const SEL turnVPNOn = sel("turnVPNOn");
  ASSERT_TRUE(host::respondsToSelector(springBoard, setVPNState));

  // No record reads as off: a wish for off is dropped without a write.
  host::msgSend<void, bool>(springBoard, setVPNState, false);
  EXPECT_FALSE(device.stateExists());
  EXPECT_FALSE(device.vpnConnected());

  host::msgSend<void, bool>(springBoard, setVPNState, true);
  EXPECT_TRUE(device.vpnConnected());
  EXPECT_EQ(device.moduleSelected("com.apple.control-center.VPNModule"), true);
  EXPECT_EQ(device.readState(), "VPNState=YES\n");
  EXPECT_TRUE(readState(springBoard));

  // turnVPNOn switches off, despite its name; a second one right after has nothing to do.
  host::msgSend<void>(springBoard, turnVPNOn);
  EXPECT_FALSE(device.vpnConnected());
  EXPECT_EQ(device.readState(), "VPNState=NO\n");
  const int writes = files.replacements(device.featureStateFile());
  const std::size_t switches = countEvents(device, "a Control Center module");
  host::msgSend<void>(springBoard, turnVPNOn);
  EXPECT_EQ(files.replacements(device.featureStateFile()), writes);
  EXPECT_EQ(countEvents(device, "a Control Center module"), switches);
}

TEST(EngineBehaviour, FeatureStateMethodsReplaceTextThatIsNotUTF8) {
  TestDevice device;
  CountingLayer files;
  device.writePrefs(prefsEnabling({}));
  device.boot();
  id springBoard = device.springBoard();
  const SEL write = sel("writeStateToFileForFeature:enabled:");

  device.writeState("VPNState=YES\nBarState=\xC3\x28YES\n");
  EXPECT_FALSE(readState(springBoard));
  host::msgSend<void, id, bool>(springBoard, write, str("VPN").get(), true);
  EXPECT_EQ(device.readState(), "VPNState=YES\n");

  // A write happens on every call, also when the line already says the same.
  const int writes = files.replacements(device.featureStateFile());
  host::msgSend<void, id, bool>(springBoard, write, str("VPN").get(), true);
  EXPECT_EQ(files.replacements(device.featureStateFile()), writes + 1);
  EXPECT_EQ(device.readState(), "VPNState=YES\n");
  // Any feature's line can be kept, the VPN's staying as it was.
  host::msgSend<void, id, bool>(springBoard, write, str("WiFi").get(), false);
  EXPECT_EQ(device.readState(), "VPNState=YES\nWiFiState=NO\n");
}

// Counts what persist mode's delivery does, passing each call on to the method it wraps.
struct Counted {
  static inline int turnVPNOn = 0, setSelected = 0, writes = 0;
  static inline IMP origTurnVPNOn = nullptr, origSetSelected = nullptr, origWrite = nullptr;
  static void countTurnVPNOn(id self, SEL s) {
    ++turnVPNOn;
    host::callIMP<void>(origTurnVPNOn, self, s);
  }
  static void countSetSelected(id self, SEL s, bool selected) {
    ++setSelected;
    host::callIMP<void, bool>(origSetSelected, self, s, selected);
  }
  static void countWrite(id self, SEL s, id feature, bool on) {
    ++writes;
    host::callIMP<void, id, bool>(origWrite, self, s, feature, on);
  }
};

TEST(EngineBehaviour, ThreeObservationsAndOnePostSwitchTheVPNOnce) {
  TestDevice device;
  device.config().systemVersion = "15.4";
  device.config().apps = {"com.example.bank", "com.example.browser", "com.example.notes"};
  device.writePrefs(prefsEnabling({"com.example.bank"}, true));
  device.boot();

  device.front("com.example.bank");
  device.front("com.example.browser");
  device.frontHome();  // the home screen adds no observation
  device.front("com.example.notes");
  EXPECT_EQ(hostsim::observationCount(), 3u);
  ASSERT_TRUE(device.vpnConnected());

  Counted::turnVPNOn = Counted::setSelected = Counted::writes = 0;
  host::MSHookMessageEx(host::objc_getClass("SpringBoard"), sel("turnVPNOn"),
                        host::toIMP(&Counted::countTurnVPNOn), &Counted::origTurnVPNOn);
  host::MSHookMessageEx(host::objc_getClass("CCUIToggleModule"), sel("setSelected:"),
                        host::toIMP(&Counted::countSetSelected), &Counted::origSetSelected);
  host::MSHookMessageEx(host::objc_getClass("SpringBoard"),
                        sel("writeStateToFileForFeature:enabled:"),
                        host::toIMP(&Counted::countWrite), &Counted::origWrite);

  device.exit("com.example.bank");
  EXPECT_EQ(Counted::turnVPNOn, 3);
  EXPECT_EQ(Counted::setSelected, 1);
  EXPECT_EQ(Counted::writes, 1);
  EXPECT_FALSE(device.vpnConnected());
  EXPECT_EQ(device.readState(), "VPNState=NO\n");
}

// What each delayed decision was given, and whether that object was still alive then.
// Objects of a class of the test's own that have been sent dealloc.
struct Deallocated {
  static inline std::set<id> objects;
  static void dealloc(id self, SEL s) {
    objects.insert(self);
    host::msgSendSuper<void>(host::objc_getClass("SBHomeScreenViewController"), self, s);
  }
};

struct Decisions {
  static inline std::vector<id> displays;
  static inline IMP orig = nullptr;
  static void record(id self, SEL s, id display) {
    displays.push_back(display);
    host::callIMP<void, id>(orig, self, s, display);
  }
};

TEST(EngineBehaviour, TheSettlingDelayHoldsTheLatestFrontDisplayAndReleasesTheOneItReplaces) {
  TestDevice device;
  device.writePrefs(prefsEnabling({"com.example.bank"}));
  device.config().apps = {"com.example.bank"};
  device.boot();
  Decisions::displays.clear();
  host::MSHookMessageEx(host::objc_getClass("SpringBoard"), sel("handleDisplayChange:"),
                        host::toIMP(&Decisions::record), &Decisions::orig);

  // Front displays of our own, which tell when they are destroyed.
  host::Class displayClass = host::objc_allocateClassPair(
      host::objc_getClass("SBHomeScreenViewController"), "CountedDisplay");
  host::class_addMethod(displayClass, sel("dealloc"), host::toIMP(&Deallocated::dealloc), "v@:");
  host::objc_registerClassPair(displayClass);
  Deallocated::objects.clear();
  id first = host::class_createInstance(displayClass);
  id second = host::class_createInstance(displayClass);
  auto alive = [](id display) { return Deallocated::objects.count(display) == 0; };

  // The first display is replaced within the delay: once its caller lets go, nothing holds it.
  hostsim::sendFrontDisplayDidChange(first);
  device.wait(300'000'000);
  hostsim::sendFrontDisplayDidChange(second);
  host::objc_release(first);
  EXPECT_FALSE(alive(first));

  // The second is held for the decision, which gets it alive, and lets go of it afterwards.
  host::objc_release(second);
  ASSERT_TRUE(alive(second));
  const long heldDuringDelay = hostsim::referenceCount(second);
  device.wait(500'000'000);
  ASSERT_EQ(Decisions::displays.size(), 1u);
  EXPECT_EQ(Decisions::displays[0], second);
  ASSERT_TRUE(alive(second));
  EXPECT_EQ(hostsim::referenceCount(second), heldDuringDelay - 1);

  // An application, then the home screen (nil) within the delay: the decision is for nil, and the
  // display it replaced goes once SpringBoard has moved on too.
  device.front("com.example.bank");
  device.wait(100'000'000);
  device.frontHome();
  EXPECT_FALSE(alive(second));
  device.wait(700'000'000);
  ASSERT_EQ(Decisions::displays.size(), 2u);
  EXPECT_EQ(Decisions::displays[1], nullptr);
  EXPECT_FALSE(device.vpnConnected());
}

}  // namespace
}  // namespace harbrite::test

namespace harbrite::test {
namespace {

// Fails every attempt to open one file for reading, as an I/O error would.
class UnreadableFile : public hostsim::FileLayerWrapper {
 public:
  explicit UnreadableFile(std::string file)
      : FileLayerWrapper(hostsim::posixFileLayer()), file_(std::move(file)) {}
  int open(const char* path, int flags, mode_t mode) override {
    if (file_ == path && (flags & O_ACCMODE) == O_RDONLY) {
      errno = EIO;
      return -1;
    }
    return FileLayerWrapper::open(path, flags, mode);
  }

 private:
  std::string file_;
};

TEST(EngineBehaviour, AStateFileThatCannotBeReadIsNotWrittenOver) {
  TestDevice device;
  device.writePrefs(prefsEnabling({}));
  const std::string bellweir = "BellweirWiFiState=YES\nVPNState=NO\n";
  device.writeState(bellweir);
  device.boot();
  UnreadableFile failing(device.hostFile(device.featureStateFile()));
  hostsim::setFileLayer(&failing);
  host::msgSend<void, id, bool>(device.springBoard(), sel("writeStateToFileForFeature:enabled:"),
                                str("VPN").get(), true);
  hostsim::setFileLayer(nullptr);
  EXPECT_EQ(device.readState(), bellweir);

  // Once the file reads again, the write goes through and keeps the other lines.
  host::msgSend<void, id, bool>(device.springBoard(), sel("writeStateToFileForFeature:enabled:"),
                                str("VPN").get(), true);
  EXPECT_EQ(device.readState(), "BellweirWiFiState=YES\nVPNState=YES\n");

  // A missing file is still created with the one line.
  std::filesystem::remove(device.hostFile(device.featureStateFile()));
  host::msgSend<void, id, bool>(device.springBoard(), sel("writeStateToFileForFeature:enabled:"),
                                str("VPN").get(), false);
  EXPECT_EQ(device.readState(), "VPNState=NO\n");
}

}  // namespace
}  // namespace harbrite::test
