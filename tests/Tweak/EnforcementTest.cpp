// The engine's exported maintenance routines: enforcement of enabled-application changes through
// BackBoardServices, and the two process utilities.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "host/Foundation.h"
#include "hostsim/Process.h"
#include "tests/support/TestDevice.h"

namespace harbrite::test {
namespace {

using Terminate = void(const char*, std::int32_t, bool, const char*);
constexpr const char* kBackBoardServices =
    "/System/Library/PrivateFrameworks/BackBoardServices.framework/BackBoardServices";

host::Dictionary prefsEnabling(std::initializer_list<const char*> apps) {
  host::Array list;
  for (const char* app : apps) list.emplace_back(app);
  host::Dictionary d;
  d.set("enabledApplications", host::Value(std::move(list)));
  return d;
}

class Enforcement : public testing::Test {
 protected:
  void boot() {
    device.writePrefs(prefsEnabling({"com.example.bank"}));
    device.boot();
    terminateFunction = device.engineFunction<Terminate*>(
        "__BKSTerminateApplicationForReasonAndReportWithDescription");
    ASSERT_NE(terminateFunction, nullptr);
  }
  void call(const char* name) { device.engineFunction<void()>(name)(); }
  // Enables mail instead of the bank, and enforces it.
  void switchBankForMail() {
    call("handleEnabledAppsChange");
    device.writePrefs(prefsEnabling({"com.example.mail"}));
    call("handleEnabledAppsChange");
  }
  std::size_t loads() const {
    std::size_t n = 0;
    for (const auto& e : device.events()) n += e == std::string("loaded ") + kBackBoardServices;
    return n;
  }

  TestDevice device;
  Terminate** terminateFunction = nullptr;
};

TEST_F(Enforcement, TerminatesThroughBackBoardServicesWithItsReasonAndDescription) {
  boot();
  EXPECT_EQ(*terminateFunction, nullptr);  // not looked up before it is needed
  switchBankForMail();
  EXPECT_NE(*terminateFunction, nullptr);
  for (const char* app : {"com.example.bank", "com.example.mail"}) {
    EXPECT_TRUE(device.sawEvent(std::string("BackBoardServices terminated ") + app +
                                " (reason 5, report NO, \"Lumawick - prefs changed, killed\")"))
        << app;
  }
  EXPECT_EQ(device.takeTerminations().size(), 2u);
}

TEST_F(Enforcement, BackBoardServicesIsOpenedOnceAndKeptOpen) {
  boot();
  call("loadBackboardServices");
  Terminate* found = *terminateFunction;
  ASSERT_NE(found, nullptr);
  // The framework file going away changes nothing: it is not opened again.
  std::filesystem::remove(device.root() + kBackBoardServices);
  call("loadBackboardServices");
  switchBankForMail();
  EXPECT_EQ(*terminateFunction, found);
  EXPECT_EQ(device.takeTerminations().size(), 2u);
  EXPECT_EQ(loads(), 1u);
}

TEST_F(Enforcement, AFailedLookupIsNeverRetried) {
  device.config().backboard = false;
  boot();
  call("loadBackboardServices");
  EXPECT_EQ(*terminateFunction, nullptr);
  // The framework appears later: still not looked up, and changes go unenforced.
  hostsim::copyFile(device.payload().backboardServices, device.root() + kBackBoardServices);
  switchBankForMail();
  EXPECT_EQ(*terminateFunction, nullptr);
  EXPECT_TRUE(device.takeTerminations().empty());
  EXPECT_EQ(loads(), 0u);
}

TEST_F(Enforcement, ExecutablePathFitsIn1024BytesOrIsNone) {
  boot();
  // The answer is a string object, autoreleased: read inside a pool.
  auto function = device.engineFunction<host::id()>("safe_getExecutablePath");
  auto path = [function]() -> std::optional<std::string> {
    host::AutoreleasePool pool;
    host::id answer = function();
    if (answer == nullptr) return std::nullopt;
    return host::UTF8String(answer).value_or("<not a string>");
  };
  EXPECT_EQ(path(), "/System/Library/CoreServices/SpringBoard.app/SpringBoard");

  // 1023 bytes and the NUL fill the buffer exactly; one more byte does not fit.
  const std::string longest = "/" + std::string(1022, 'a');
  hostsim::process().executablePath = longest;
  EXPECT_EQ(path(), longest);
  hostsim::process().executablePath = longest + "a";
  EXPECT_EQ(path(), std::nullopt);
  hostsim::process().executablePath = "/" + std::string(4096, 'a');
  EXPECT_EQ(path(), std::nullopt);
  // A path that is not UTF-8 is none too.
  hostsim::process().executablePath = "/Applications/\xFF.app/x";
  EXPECT_EQ(path(), std::nullopt);
}

TEST_F(Enforcement, BundleIdentifierOfTheMainBundleOrNone) {
  boot();
  auto function = device.engineFunction<host::id()>("safe_getBundleIdentifier");
  auto identifier = [function] { return host::UTF8String(function()); };
  EXPECT_EQ(identifier(), "com.apple.springboard");
  hostsim::process().bundleIdentifier = std::nullopt;
  EXPECT_EQ(function(), nullptr);
  hostsim::process().bundleIdentifier = "com.apple.springboard";
  hostsim::process().hasMainBundle = false;
  EXPECT_EQ(function(), nullptr);
}

}  // namespace
}  // namespace harbrite::test
