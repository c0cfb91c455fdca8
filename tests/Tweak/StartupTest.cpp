// The engine's start-up on a simulated SpringBoard: what it installs, by preferences file and
// system version.
#include <gtest/gtest.h>

#include "hostsim/SpringBoard.h"
#include "tests/support/TestDevice.h"

namespace harbrite::test {
namespace {

host::Dictionary persistPrefs(bool persist) {
  host::Dictionary d;
  d.set("usePersistMode", host::Value(persist));
  d.set("enabledApplications", host::Value(host::Array{host::Value("com.example.a")}));
  return d;
}

TEST(Startup, ProbesAskedInOrderFifteenThirteenFourteenThenSixteen) {
  // Each systemVersion query gets the next answer: only the expected order 15, 13, 14, 16 finds
  // no match in the first three and a match in the fourth.
  for (const auto& answers : {std::vector<std::string>{"13.0", "14.0", "15.0", "16.0"},
                              std::vector<std::string>{"14.0", "15.0", "13.0", "16.0"}}) {
    TestDevice device;
    device.config().systemVersion = "16.1";
    device.config().systemVersionAnswers = answers;
    device.writePrefs(persistPrefs(true));
    device.boot();
    EXPECT_EQ(hostsim::systemVersionQueries(), 4u);
    EXPECT_EQ(device.exitHook(), "SBMainSwitcherControllerCoordinator");
  }
}

}  // namespace
}  // namespace harbrite::test
