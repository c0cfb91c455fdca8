// The engine's start-up on a simulated SpringBoard: what it installs, by preferences file and
// system version, and which version probes it asks.
#include <plist/plist.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "hostsim/MainQueue.h"
#include "hostsim/PlistCodec.h"
#include "hostsim/SpringBoard.h"
#include "tests/support/TestDevice.h"

namespace harbrite::test {
namespace {

constexpr const char* kBank = "com.example.bank";

host::Dictionary persistPrefs(bool persist) {
  host::Dictionary d;
  d.set("usePersistMode", host::Value(persist));
  d.set("enabledApplications", host::Value(host::Array{host::Value(kBank)}));
  return d;
}

// The timeline lines that say something was added to or hooked in a host class.
std::vector<std::string> installations(const TestDevice& device) {
  std::vector<std::string> lines;
  for (const std::string& e : device.events()) {
    if (e.rfind("added ", 0) == 0 || e.rfind("kept existing ", 0) == 0 ||
        e.rfind("hooked ", 0) == 0) {
      lines.push_back(e);
    }
  }
  return lines;
}

std::string xmlPlist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body +
         "</plist>\n";
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

TEST(Startup, WithoutADictionaryNothingIsAddedOrHooked) {
  const std::string arrayXML = xmlPlist("<array><string>com.example.bank</string></array>");
  const std::string persistXML = xmlPlist(
      "<dict><key>usePersistMode</key><true/><key>enabledApplications</key>"
      "<array><string>com.example.bank</string></array></dict>");
  const std::vector<std::pair<std::string, std::optional<std::string>>> files = {
      {"no file", std::nullopt},
      {"empty file", ""},
      {"top-level array", arrayXML},
      {"not a property list", "usePersistMode = YES\n\x01\x02\xFF"},
      {"cut short", persistXML.substr(0, persistXML.size() - 20)},
  };
  for (const auto& [what, bytes] : files) {
    TestDevice device;
    device.config().systemVersion = "15.0";
    device.config().apps = {kBank};
    if (bytes) device.writePrefsBytes(*bytes);
    device.boot();
    EXPECT_FALSE(device.engineInstalled()) << what;
    EXPECT_EQ(device.exitHook(), "none") << what;
    EXPECT_EQ(installations(device), std::vector<std::string>{}) << what;
    EXPECT_EQ(hostsim::systemVersionQueries(), 0u) << what;

    // SpringBoard runs unchanged: a change of the front application starts nothing.
    device.front(kBank);
    EXPECT_EQ(hostsim::MainQueue::shared().pending(), 0u) << what;
    device.exit(kBank);
    device.wait(2'000'000'000);
    EXPECT_FALSE(device.vpnConnected()) << what;
  }
}

TEST(Startup, WithoutPersistModeTheApplicationGroupAloneAndNoProbe) {
  const std::vector<std::pair<std::string, std::optional<host::Value>>> settings = {
      {"absent", std::nullopt},
      {"NO", host::Value(false)},
      {"integer 0", host::Value(0)},
      {"real 0.0", host::Value(0.0)},
      {"the string YES", host::Value("YES")},  // not a number: reads as off
      {"an array", host::Value(host::Array{host::Value(true)})},
  };
  for (const auto& [what, value] : settings) {
    TestDevice device;
    device.config().systemVersion = "15.4";
    host::Dictionary prefs;
    if (value) prefs.set("usePersistMode", *value);
    device.writePrefs(prefs);
    device.boot();
    EXPECT_TRUE(device.engineInstalled()) << what;
    EXPECT_EQ(device.exitHook(), "none") << what;
    EXPECT_EQ(hostsim::systemVersionQueries(), 0u) << what;

    // The five methods with their type strings, and the hook, in this order.
    EXPECT_EQ(installations(device),
              (std::vector<std::string>{
                  "added -[SpringBoard turnVPNOn] \"v@:\"",
                  "hooked -[SpringBoard frontDisplayDidChange:]",
                  "added -[SpringBoard handleDisplayChange:] \"v@:@\"",
                  "added -[SpringBoard setVPNState:] \"v@:B\"",
                  "added -[SpringBoard readStateFromFileForFeature:] \"B@:@\"",
                  "added -[SpringBoard writeStateToFileForFeature:enabled:] \"v@:@B\"",
              }))
        << what;
  }
}

TEST(Startup, PersistModeHooksTheSwitcherThatTheProbesChoose) {
  struct Case {
    std::string version;
    std::vector<std::string> answers;  // what successive probes hear; empty: the version
    std::size_t probes;
    std::string exitHook;
  };
  const std::vector<Case> cases = {
      // 15 hears "14.9", 13 hears "15.9", 14 hears "14.4": only that order stops at the third.
      {"14.4", {"14.9", "15.9", "14.4"}, 3, "SBMainSwitcherViewController"},
      {"14.4", {}, 3, "SBMainSwitcherViewController"},
      {"13.0", {}, 2, "SBMainSwitcherViewController"},  // isIOS14 is not asked
      {"15.2", {}, 1, "SBMainSwitcherViewController"},
      {"16.1", {}, 4, "SBMainSwitcherControllerCoordinator"},
      {"17.0", {}, 4, "none"},
      {"12.5", {}, 4, "none"},
  };
  for (const Case& c : cases) {
    TestDevice device;
    device.config().systemVersion = c.version;
    device.config().systemVersionAnswers = c.answers;
    device.writePrefs(persistPrefs(true));
    device.boot();
    EXPECT_TRUE(device.engineInstalled()) << c.version;
    EXPECT_EQ(hostsim::systemVersionQueries(), c.probes) << c.version;
    EXPECT_EQ(device.exitHook(), c.exitHook) << c.version;
  }
}

TEST(Startup, BinaryAndMarkedXMLPreferencesFilesReadLikePlainXML) {
  const std::string xml = hostsim::encodeDictionary(persistPrefs(true));
  plist_t root = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
  ASSERT_NE(root, nullptr);
  char* binary = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &binary, &length);
  const std::string bytes(binary, length);
  plist_to_bin_free(binary);
  plist_free(root);
  ASSERT_EQ(bytes.rfind("bplist00", 0), 0u);

  // XML as other writers leave it: a byte-order mark before it (the engine once started inert).
  for (const std::string& file : {bytes, "\xEF\xBB\xBF" + xml}) {
    SCOPED_TRACE(file.substr(0, 8));
    TestDevice device;
    device.config().systemVersion = "16.1";
    device.config().apps = {kBank};
    device.writePrefsBytes(file);
    device.boot();
    EXPECT_EQ(device.exitHook(), "SBMainSwitcherControllerCoordinator");
    device.front(kBank);  // persist mode: on at once for an enabled application
    EXPECT_TRUE(device.vpnConnected());
  }
}

TEST(Startup, ValuesOfTheWrongTypesNeverTakeSpringBoardDown) {
  const std::vector<std::pair<std::string, host::Value>> enabled = {
      {"a string", host::Value(kBank)},
      {"a number", host::Value(7)},
      {"a dictionary", host::Value(persistPrefs(true))},
      {"data", host::Value(host::Data{0x63, 0x6F, 0x6D})},
      {"an array holding a number", host::Value(host::Array{host::Value(1), host::Value(kBank)})},
  };
  for (const char* version : {"15.0", "16.1"}) {
    for (bool persist : {false, true}) {
      for (const auto& [what, value] : enabled) {
        const std::string context =
            what + ", iOS " + std::string(version) + (persist ? ", persist" : "");
        TestDevice device;
        device.config().systemVersion = version;
        device.config().apps = {kBank};
        host::Dictionary prefs;
        prefs.set("usePersistMode", host::Value(persist));
        prefs.set("enabledApplications", value);
        device.writePrefs(prefs);
        device.boot();
        EXPECT_TRUE(device.engineInstalled()) << context;

        // No application counts as enabled: the VPN never goes on.
        device.front(kBank);
        device.wait(800'000'000);
        device.exit(kBank);
        device.frontHome();
        device.wait(2'000'000'000);
        EXPECT_FALSE(device.vpnConnected()) << context;
      }
    }
  }
}

}  // namespace
}  // namespace harbrite::test
