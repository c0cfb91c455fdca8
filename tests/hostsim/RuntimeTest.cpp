// The simulated object runtime's hook and method-adding semantics, the ones the engine's
// installation relies on: a method the class defines, one it only inherits, and a selector that
// nobody answers.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hostsim/Objects.h"

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
    hostsim::resetRuntime();
    calls.clear();
    previousGreet = nullptr;
    base_ = hostsim::defineClass("HTBase", nullptr);
    derived_ = hostsim::defineClass("HTDerived", base_);
    hostsim::addMethod(base_, "greet:", host::toIMP(&baseGreet), "v@:@");
    baseObject_ = host::StrongRef::adopt(host::class_createInstance(base_));
    derivedObject_ = host::StrongRef::adopt(host::class_createInstance(derived_));
    argument_ = host::StrongRef::adopt(host::class_createInstance(base_));
  }
  void TearDown() override { hostsim::resetRuntime(); }

  void greet(const host::StrongRef& receiver) {
    host::msgSend<void, id>(receiver.get(), greet_, argument_.get());
  }

  SEL greet_ = host::sel_registerName("greet:");
  Class base_ = nullptr;
  Class derived_ = nullptr;
  host::StrongRef baseObject_, derivedObject_, argument_;
};

TEST_F(Runtime, HookingAMethodTheClassDefinesReplacesItAndHandsBackTheOldOne) {
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

TEST_F(Runtime, HookingASelectorNobodyAnswersDoesNothing) {
  const SEL nobody = host::sel_registerName("wave:");
  const IMP untouched = host::toIMP(&otherGreet);
  IMP slot = untouched;
  host::MSHookMessageEx(derived_, nobody, host::toIMP(&hookedGreet), &slot);
  host::MSHookMessageEx(base_, nobody, host::toIMP(&hookedGreet), &slot);
  EXPECT_EQ(slot, untouched);
  EXPECT_FALSE(host::respondsToSelector(derivedObject_.get(), nobody));
  EXPECT_FALSE(host::respondsToSelector(baseObject_.get(), nobody));
  EXPECT_EQ(host::class_getMethodImplementation(derived_, nobody), nullptr);

  // Sending it is a no-op that answers a value-initialised result.
  host::msgSend<void, id>(derivedObject_.get(), nobody, argument_.get());
  EXPECT_TRUE(calls.empty());
  EXPECT_FALSE((host::msgSend<bool, id>(derivedObject_.get(), nobody, nullptr)));
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

  // A new selector answers at once, with the type string it was given.
  const SEL fresh = host::sel_registerName("wave");
  EXPECT_FALSE(host::respondsToSelector(derivedObject_.get(), fresh));
  EXPECT_TRUE(host::class_addMethod(derived_, fresh, host::toIMP(&otherGreet), "v@:"));
  EXPECT_TRUE(host::respondsToSelector(derivedObject_.get(), fresh));
  EXPECT_FALSE(host::respondsToSelector(baseObject_.get(), fresh));
  EXPECT_STREQ(host::class_getMethodTypes(derived_, fresh), "v@:");
}

}  // namespace
}  // namespace harbrite::test
