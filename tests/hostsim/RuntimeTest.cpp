// The simulated object runtime's hook and method-adding semantics, the ones the engine's
// installation relies on: a method the class defines, one it only inherits, and a selector that
// nobody answers.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <objc/message.h>
#include <objc/runtime.h>

#include "hostsim/Objects.h"
#include "hostsim/Process.h"
#include "hostsim/SettingsApp.h"
#include "hostsim/SpringBoard.h"
#include "hostsim/Timeline.h"
#include "tests/support/TestDevice.h"

namespace harbrite::test {
namespace {

using host::Class;
using host::id;
using host::IMP;
using host::SEL;

// What the implementations below saw, in the order they ran.
struct Call {
  std::string who;
  id self;
  SEL sel;
  id argument;
};
std::vector<Call> calls;

void baseGreet(id self, SEL sel, id argument) {
  calls.push_back({"base", self, sel, argument});
}
void baseGreetRevised(id self, SEL sel, id argument) {
  calls.push_back({"base revised", self, sel, argument});
}
void otherGreet(id self, SEL sel, id argument) {
  calls.push_back({"other", self, sel, argument});
}

IMP previousGreet = nullptr;
void hookedGreet(id self, SEL sel, id argument) {
  calls.push_back({"hook", self, sel, argument});
  host::callIMP<void, id>(previousGreet, self, sel, argument);
}

std::vector<std::string> whoRan() {
  std::vector<std::string> names;
  for (const Call& c : calls) names.push_back(c.who);
  return names;
}

class Runtime : public ::testing::Test {
 protected:
  void SetUp() override {
    hostsim::setCurrentProcess(&process_);
    calls.clear();
    previousGreet = nullptr;
    base_ = hostsim::defineClass("HTBase", nullptr);
    derived_ = hostsim::defineClass("HTDerived", base_);
    hostsim::addMethod(base_, "greet:", host::toIMP(&baseGreet), "v@:@");
    baseObject_ = host::StrongRef::adopt(host::class_createInstance(base_));
    derivedObject_ = host::StrongRef::adopt(host::class_createInstance(derived_));
    argument_ = host::StrongRef::adopt(host::class_createInstance(base_));
  }

  void greet(const host::StrongRef& receiver) {
    host::msgSend<void, id>(receiver.get(), greet_, argument_.get());
  }

  // Each test runs in a process of its own: the classes it defines are its own.
  hostsim::SimulatedProcess process_;
  SEL greet_ = host::sel_registerName("greet:");
  Class base_ = nullptr;
  Class derived_ = nullptr;
  host::StrongRef baseObject_, derivedObject_, argument_;
};

TEST_F(Runtime, HookingAMethodTheClassDefinesReplacesItAndHandsBackTheOldOne) {
  // The subclass has been sent the message already, so it has a dispatch table of its own that
  // the hook must reach as well.
  greet(derivedObject_);
  ASSERT_EQ(whoRan(), (std::vector<std::string>{"base"}));
  calls.clear();

  host::MSHookMessageEx(base_, greet_, host::toIMP(&hookedGreet), &previousGreet);
  EXPECT_EQ(previousGreet, host::toIMP(&baseGreet));

  greet(baseObject_);
  ASSERT_EQ(whoRan(), (std::vector<std::string>{"hook", "base"}));
  for (const Call& c : calls) {
    EXPECT_EQ(c.self, baseObject_.get());
    EXPECT_EQ(c.sel, greet_);
    EXPECT_EQ(c.argument, argument_.get());
  }
  EXPECT_STREQ(host::class_getMethodTypes(base_, greet_), "v@:@");
  // A subclass that inherits the method runs the replacement too.
  calls.clear();
  greet(derivedObject_);
  EXPECT_EQ(whoRan(), (std::vector<std::string>{"hook", "base"}));
}

TEST_F(Runtime, HookingAClassNothingHasMessagedYetChangesThatClassAlone) {
  // SetUp sent no message: neither class has a dispatch table of its own yet.
  host::MSHookMessageEx(base_, greet_, host::toIMP(&hookedGreet), &previousGreet);
  Class unrelated = hostsim::defineClass("HTUnrelated", nullptr);
  hostsim::addMethod(unrelated, "greet:", host::toIMP(&otherGreet), "v@:@");
  EXPECT_EQ(host::class_getMethodImplementation(unrelated, greet_), host::toIMP(&otherGreet));
  auto other = host::StrongRef::adopt(host::class_createInstance(unrelated));
  greet(other);
  greet(derivedObject_);
  EXPECT_EQ(whoRan(), (std::vector<std::string>{"other", "hook", "base"}));
}

TEST_F(Runtime, HookingAnInheritedMethodOverridesItAndForwardsToTheSuperclassAtCallTime) {
  host::MSHookMessageEx(derived_, greet_, host::toIMP(&hookedGreet), &previousGreet);
  ASSERT_NE(previousGreet, nullptr);

  greet(derivedObject_);
  ASSERT_EQ(whoRan(), (std::vector<std::string>{"hook", "base"}));
  EXPECT_EQ(calls[1].self, derivedObject_.get());
  EXPECT_EQ(calls[1].sel, greet_);
  EXPECT_EQ(calls[1].argument, argument_.get());

  // The superclass keeps its own method.
  calls.clear();
  greet(baseObject_);
  EXPECT_EQ(whoRan(), (std::vector<std::string>{"base"}));

  // The saved "previous implementation" is not a snapshot: when the superclass's method changes
  // afterwards, the override reaches the new one.
  IMP ignored = nullptr;
  host::MSHookMessageEx(base_, greet_, host::toIMP(&baseGreetRevised), &ignored);
  calls.clear();
  greet(derivedObject_);
  EXPECT_EQ(whoRan(), (std::vector<std::string>{"hook", "base revised"}));

  // The subclass now defines the method itself: adding it again keeps the override.
  EXPECT_FALSE(host::class_addMethod(derived_, greet_, host::toIMP(&otherGreet), "v@:@"));
  EXPECT_STREQ(host::class_getMethodTypes(derived_, greet_), "v@:@");
}

TEST_F(Runtime, HookingASelectorNobodyAnswersDoesNothingAndSendingItEndsTheProcess) {
  const SEL nobody = host::sel_registerName("wave:");
  const IMP untouched = host::toIMP(&otherGreet);
  IMP slot = untouched;
  host::MSHookMessageEx(derived_, nobody, host::toIMP(&hookedGreet), &slot);
  host::MSHookMessageEx(base_, nobody, host::toIMP(&hookedGreet), &slot);
  EXPECT_EQ(slot, untouched);
  EXPECT_FALSE(host::respondsToSelector(derivedObject_.get(), nobody));
  EXPECT_FALSE(host::respondsToSelector(baseObject_.get(), nobody));

  // Sending it is what an unrecognised selector is on a device: the process ends, and the
  // report names the receiver's class and the selector. Nil answers every message with nil.
  hostsim::takeCrash();
  host::msgSend<void, id>(derivedObject_.get(), nobody, argument_.get());
  EXPECT_TRUE(calls.empty());
  const std::optional<std::string> crash = hostsim::takeCrash();
  ASSERT_TRUE(crash);
  EXPECT_NE(crash->find("-[HTDerived wave:]: unrecognized selector sent to instance"),
            std::string::npos)
      << *crash;
  EXPECT_FALSE((host::msgSend<bool, id>(nullptr, nobody, nullptr)));
  EXPECT_FALSE(hostsim::takeCrash());
}

TEST_F(Runtime, AddingAMethodKeepsTheClassesOwnAndOverridesAnInheritedOne) {
  // The class's own method stays, with its type string.
  EXPECT_FALSE(host::class_addMethod(base_, greet_, host::toIMP(&otherGreet), "v@:B"));
  greet(baseObject_);
  EXPECT_EQ(whoRan(), (std::vector<std::string>{"base"}));
  EXPECT_STREQ(host::class_getMethodTypes(base_, greet_), "v@:@");

  // An inherited one is overridden in the subclass only.
  calls.clear();
  EXPECT_TRUE(host::class_addMethod(derived_, greet_, host::toIMP(&otherGreet), "v@:@"));
  greet(derivedObject_);
  greet(baseObject_);
  EXPECT_EQ(whoRan(), (std::vector<std::string>{"other", "base"}));

  // A new selector answers at once, with the type string it was given; one added to the
  // superclass reaches a subclass already messaged.
  const SEL fresh = host::sel_registerName("wave");
  EXPECT_FALSE(host::respondsToSelector(derivedObject_.get(), fresh));
  const SEL wink = host::sel_registerName("wink:");
  EXPECT_TRUE(host::class_addMethod(base_, wink, host::toIMP(&baseGreetRevised), "v@:@"));
  calls.clear();
  host::msgSend<void, id>(derivedObject_.get(), wink, argument_.get());
  EXPECT_EQ(whoRan(), (std::vector<std::string>{"base revised"}));
  EXPECT_TRUE(host::class_addMethod(derived_, fresh, host::toIMP(&otherGreet), "v@:"));
  EXPECT_TRUE(host::respondsToSelector(derivedObject_.get(), fresh));
  EXPECT_FALSE(host::respondsToSelector(baseObject_.get(), fresh));
  EXPECT_STREQ(host::class_getMethodTypes(derived_, fresh), "v@:");
}

// Many methods, each hooked where it is only inherited, twice down the chain: every hook keeps its
// own way to the superclass, whatever the signature.
constexpr int kMethods = 300;
std::vector<IMP> middlePrevious(kMethods), leafPrevious(kMethods);

int methodIndex(SEL sel) {
  return std::stoi(host::sel_getName(sel) + 1);
}
long long baseValue(id, SEL sel, long long x) {
  return x * 2 + methodIndex(sel);
}
long long middleHook(id self, SEL sel, long long x) {
  return host::callIMP<long long, long long>(middlePrevious[methodIndex(sel)], self, sel, x) + 1000;
}
long long leafHook(id self, SEL sel, long long x) {
  return host::callIMP<long long, long long>(leafPrevious[methodIndex(sel)], self, sel, x) + 100000;
}
double baseRatio(id, SEL, double x, bool half) {
  return half ? x / 2 : x;
}
IMP ratioPrevious = nullptr;
double ratioHook(id self, SEL sel, double x, bool half) {
  return host::callIMP<double, double, bool>(ratioPrevious, self, sel, x, half) + 0.25;
}
long long baseRevised(id, SEL, long long x) {
  return -x;
}

TEST_F(Runtime, HundredsOfInheritedMethodsHookedDownAChainEachReachTheirSuperclass) {
  Class leaf = hostsim::defineClass("HTLeaf", derived_);
  std::vector<SEL> sels;
  for (int i = 0; i < kMethods; ++i) {
    sels.push_back(host::sel_registerName(("m" + std::to_string(i) + ":").c_str()));
    hostsim::addMethod(base_, host::sel_getName(sels[i]), host::toIMP(&baseValue), "q@:q");
  }
  for (int i = 0; i < kMethods; ++i) {
    host::MSHookMessageEx(derived_, sels[i], host::toIMP(&middleHook), &middlePrevious[i]);
    host::MSHookMessageEx(leaf, sels[i], host::toIMP(&leafHook), &leafPrevious[i]);
    ASSERT_NE(middlePrevious[i], nullptr) << i;
    ASSERT_NE(leafPrevious[i], nullptr) << i;
  }
  auto leafObject = host::StrongRef::adopt(host::class_createInstance(leaf));
  for (int i = 0; i < kMethods; ++i) {
    EXPECT_EQ((host::msgSend<long long, long long>(leafObject.get(), sels[i], 5)),
              10 + i + 1000 + 100000)
        << i;
    EXPECT_EQ((host::msgSend<long long, long long>(derivedObject_.get(), sels[i], 5)),
              10 + i + 1000)
        << i;
    EXPECT_EQ((host::msgSend<long long, long long>(baseObject_.get(), sels[i], 5)), 10 + i) << i;
  }
  // The forwarders look the superclass's method up when called: a later change shows at once.
  IMP ignored = nullptr;
  host::MSHookMessageEx(base_, sels[7], host::toIMP(&baseRevised), &ignored);
  EXPECT_EQ((host::msgSend<long long, long long>(leafObject.get(), sels[7], 5)), -5 + 101000);

  // Other signatures are passed on whole: a double and a BOOL in, a double out.
  const SEL ratio = host::sel_registerName("ratio:half:");
  hostsim::addMethod(base_, "ratio:half:", host::toIMP(&baseRatio), "d@:dB");
  host::MSHookMessageEx(leaf, ratio, host::toIMP(&ratioHook), &ratioPrevious);
  EXPECT_EQ((host::msgSend<double, double, bool>(leafObject.get(), ratio, 3.0, true)), 1.75);
}

struct Rect {
  double x, y, width, height;
};
Rect baseFrame(id, SEL) {
  return {1, 2, 3, 4};
}

TEST_F(Runtime, AnInheritedHookThatCannotBeInstalledSaysSoAndChangesNothing) {
  std::vector<std::string> events;
  hostsim::setTimelineSink([&](const hostsim::TimelineEvent& e) { events.push_back(e.text); });
  const SEL frame = host::sel_registerName("frame");
  hostsim::addMethod(base_, "frame", host::toIMP(&baseFrame), "{CGRect=dddd}@:");
  const IMP untouched = host::toIMP(&otherGreet);
  IMP slot = untouched;
  host::MSHookMessageEx(derived_, frame, host::toIMP(&hookedGreet), &slot);
  hostsim::setTimelineSink(nullptr);

  EXPECT_EQ(slot, untouched);
  EXPECT_EQ(host::class_getMethodImplementation(derived_, frame), host::toIMP(&baseFrame));
  EXPECT_EQ(events,
            (std::vector<std::string>{"hook of -[HTDerived frame] not installed: no forwarder for "
                                      "\"{CGRect=dddd}@:\""}));
}

// The device's classes are libobjc's own: the runtime's API finds them by the device's names (the
// first boot of a process registers them under these), with the engine's methods and hooks in
// them and the pane's classes on the Preferences framework's.
TEST(DeviceRuntime, TheDevicesClassesAndTheEnginesMethodsAreTheRuntimesOwn) {
  TestDevice device;
  host::Dictionary prefs;
  prefs.set("usePersistMode", host::Value(true));
  device.writePrefs(prefs);
  device.boot();
  ASSERT_TRUE(device.engineInstalled());
  hostsim::SettingsApp settings(device.root());
  settings.open();

  for (const char* name :
       {"SpringBoard", "SBApplication", "UIDevice", "SBMainSwitcherControllerCoordinator",
        "CCUIModuleInstanceManager", "CCUIModuleInstance", "CCUIModuleMetadata", "CCUIToggleModule",
        "CCUIContentModule", "PSListController", "PSSpecifier", "DNMURootListController",
        "DNMRootListController"}) {
    ::Class cls = ::objc_getClass(name);
    ASSERT_NE(cls, nullptr) << name;
    EXPECT_EQ(reinterpret_cast<Class>(cls), host::objc_getClass(name)) << name;
    EXPECT_STREQ(::class_getName(cls), name);
  }
  ::Class springBoard = ::objc_getClass("SpringBoard");
  EXPECT_EQ(::class_getSuperclass(springBoard), ::objc_getClass("UIApplication"));
  EXPECT_EQ(::class_getSuperclass(::objc_getClass("DNMRootListController")),
            ::objc_getClass("DNMURootListController"));
  EXPECT_EQ(::class_getSuperclass(::objc_getClass("DNMURootListController")),
            ::objc_getClass("PSListController"));

  // The methods the engine added, with their type strings (libobjc keeps them with a frame offset
  // of 0, under which their selectors are registered once; host/ answers them as written).
  const std::vector<std::pair<const char*, const char*>> added = {
      {"turnVPNOn", "v@:"},
      {"handleDisplayChange:", "v@:@"},
      {"setVPNState:", "v@:B"},
      {"readStateFromFileForFeature:", "B@:@"},
      {"writeStateToFileForFeature:enabled:", "v@:@B"}};
  for (const auto& [selector, types] : added) {
    ::Method method = ::class_getInstanceMethod(springBoard, ::sel_registerName(selector));
    ASSERT_NE(method, nullptr) << selector;
    EXPECT_EQ(std::string(::method_getTypeEncoding(method)), std::string(types) + "0") << selector;
    EXPECT_STREQ(host::class_getMethodTypes(reinterpret_cast<Class>(springBoard),
                                            host::sel_registerName(selector)),
                 types)
        << selector;
  }
  // libobjc dispatches to what the engine installed: its methods and its hooks.
  ::id board = reinterpret_cast<::id>(hostsim::springBoardObject());
  const ::SEL turnVPNOn = ::sel_registerName("turnVPNOn");
  EXPECT_EQ(reinterpret_cast<IMP>(::objc_msg_lookup(board, turnVPNOn)),
            host::class_getMethodImplementation(host::object_getClass(hostsim::springBoardObject()),
                                                host::sel_registerName("turnVPNOn")));
  const ::SEL exit = ::sel_registerName("_applicationDidExit:");
  EXPECT_NE(reinterpret_cast<IMP>(::class_getMethodImplementation(
                ::objc_getClass("SBMainSwitcherControllerCoordinator"), exit)),
            hostsim::hostClasses().nativeApplicationDidExit);
  // A class method lives on the metaclass, and answers there.
  ::Class uiDevice = ::objc_getClass("UIDevice");
  EXPECT_NE(::class_getClassMethod(uiDevice, ::sel_registerName("currentDevice")), nullptr);
  EXPECT_TRUE(::class_respondsToSelector(::object_getClass(reinterpret_cast<::id>(uiDevice)),
                                         ::sel_registerName("currentDevice")));
}

}  // namespace
}  // namespace harbrite::test
