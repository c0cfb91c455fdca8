// The reset row: every "YES" in the VPN's line becomes "NO", found by the engine's line rules;
// every other byte stays; each failure logs its one line and leaves the file untouched.
#include <filesystem>
#include <optional>
#include <string>

#include "tests/dunmereprefs/PaneFixture.h"

namespace harbrite::test {
namespace {

using Reset = PaneFixture;

TEST_F(Reset, TurnsTheVPNLineOffAndKeepsEveryOtherByte) {
  struct Case {
    std::optional<std::string> before;
    bool result;
    std::optional<std::string> after;  // what the file then holds
    std::string log;                   // the message logged, if any
  };
  const std::string badUTF8 = "VPNState=YES\n\xFF\xFE\n";
  for (const Case& c : {
           Case{"BarState=YES\nVPNState=YES\nBazState=YES\n", true,
                "BarState=YES\nVPNState=NO\nBazState=YES\n", ""},
           Case{"VPNState=NO\n", true, "VPNState=NO\n", ""},
           Case{"VPNState=YESYES\n", true, "VPNState=NONO\n", ""},
           Case{"MyVPNState=YES\nVPNState=YES\n", true, "MyVPNState=YES\nVPNState=NO\n", ""},
           Case{"A=YES\nVPNState=YES", true, "A=YES\nVPNState=NO", ""},
           Case{"VPNState=YES\r\nB=YES\r\n", true, "VPNState=NO\r\nB=YES\r\n", ""},
           Case{std::nullopt, false, std::nullopt, "Error reading file: "},
           Case{"", false, "", "VPNState not found in the file."},
           Case{"MyVPNState=YES\n", false, "MyVPNState=YES\n", "VPNState not found in the file."},
           Case{badUTF8, false, badUTF8, "Error reading file: "},
       }) {
    const std::string what = c.before ? *c.before : "(no file)";
    if (c.before) {
      device.writeState(*c.before);
    } else {
      std::filesystem::remove(device.hostFile(device.featureStateFile()));
    }
    hostsim::systemLogLines().clear();
    EXPECT_EQ(app.resetVPN(), c.result) << what;
    EXPECT_EQ(device.stateExists(), c.after.has_value()) << what;
    if (c.after) {
      EXPECT_EQ(device.readState(), *c.after) << what;
    }
    if (c.log.empty()) {
      EXPECT_TRUE(hostsim::systemLogLines().empty()) << what;
    } else {
      ASSERT_EQ(hostsim::systemLogLines().size(), 1u) << what;
      // An NSLog line of the Settings process, with the error's description after the message.
      const std::string& line = hostsim::systemLogLines()[0];
      EXPECT_NE(line.find(" Preferences["), std::string::npos) << line;
      EXPECT_NE(line.find(c.log), std::string::npos) << line;
      if (c.log.back() == ' ') {
        EXPECT_GT(line.size(), line.find(c.log) + c.log.size()) << line;
      }
    }
  }
}

TEST_F(Reset, AFailedWriteIsLoggedAndTheFileStays) {
  device.writeState("VPNState=YES\n");
  hostsim::systemLogLines().clear();
  {
    FailingRenames failing;
    EXPECT_FALSE(app.resetVPN());
  }
  EXPECT_EQ(device.readState(), "VPNState=YES\n");
  ASSERT_EQ(hostsim::systemLogLines().size(), 1u);
  EXPECT_NE(hostsim::systemLogLines()[0].find("Error writing file: The file "), std::string::npos);
}

}  // namespace
}  // namespace harbrite::test
