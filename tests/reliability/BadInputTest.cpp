// Inputs that once brought a host down, found by fuzzing: each now meets the behaviour the rest
// of the system gives a file it cannot use.
#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "host/PropertyList.h"
#include "hostsim/SettingsApp.h"
#include "tests/reliability/Files.h"
#include "tests/support/TestDevice.h"
#include "tools/Scenario.h"

namespace harbrite::test {
namespace {

std::string corpusFile(const std::string& name) {
  return bytesOf(std::string(HARBRITE_FUZZ_CORPORA) + "/" + name);
}

// A binary preferences file whose key or string holds a NUL character made libplist abort the
// reading process: SpringBoard at boot, the Settings app when it showed the page. Such a file is
// now read whole (the key is read through its node's encoding, never the aborting accessor): the
// engine starts, the migration converts the legacy key as it stands, and a change in the pane
// keeps the other entries character for character, in the binary encoding, since XML cannot
// carry a NUL.
TEST(BadInput, PreferencesHoldingANulCharacterAreReadAndKeptWhole) {
  const std::string key = std::string("enabled-\xC3\xA9") + '\0' + "com.example.bank";
  const std::string text = std::string("bl\xC3\xA9") + '\0' + "u";
  for (const char* name : {"regression-key-holding-nul", "regression-string-holding-nul"}) {
    SCOPED_TRACE(name);
    const std::string bytes = corpusFile(std::string("preferences/") + name);
    ASSERT_FALSE(bytes.empty());
    const bool holdsKey = std::string(name) == "regression-key-holding-nul";
    {
      TestDevice device;
      device.writePrefsBytes(bytes);
      device.boot();
      EXPECT_TRUE(device.engineInstalled());
      device.engineFunction<void()>("migratePreferencesIfNeeded")();
      const auto migrated = host::readDictionary(device.preferencesFile());
      ASSERT_TRUE(migrated);
      if (holdsKey) {
        EXPECT_EQ(*migrated->find("enabledApplications"),
                  host::Value(host::Array{host::Value(key.substr(8))}));
      } else {
        EXPECT_EQ(bytesOf(device.hostFile(device.preferencesFile())), bytes) << "nothing to do";
      }
    }
    TestDevice device;
    device.writePrefsBytes(bytes);
    hostsim::SettingsApp app(device.root());
    app.set("other", host::Value(true));
    const auto written = host::readDictionary(device.preferencesFile());
    ASSERT_TRUE(written);
    EXPECT_EQ(bytesOf(device.hostFile(device.preferencesFile())).rfind("bplist00", 0), 0u);
    EXPECT_EQ(*written->find("other"), host::Value(true));
    if (holdsKey) {
      ASSERT_NE(written->find(key), nullptr);
      EXPECT_EQ(*written->find(key), host::Value(true));
    } else {
      EXPECT_EQ(*written->find("accentColour"), host::Value(text));
      EXPECT_EQ(*written->find("usePersistMode"), host::Value(true));
    }
  }
}

// A date that is not a number made the writer convert an out-of-range double (undefined
// behaviour) when the pane wrote the file back. It is now kept to the bit, in the binary
// encoding (XML has no such date), and every other entry stays.
TEST(BadInput, ADateThatIsNotANumberIsKeptToTheBit) {
  TestDevice device;
  const std::string bytes = corpusFile("preferences/regression-date-not-a-number");
  device.writePrefsBytes(bytes);
  hostsim::SettingsApp app(device.root());
  app.set("usePersistMode", host::Value(true));
  const auto written = host::readDictionary(device.preferencesFile());
  ASSERT_TRUE(written);
  EXPECT_EQ(written->size(), 2u);
  EXPECT_EQ(*written->find("usePersistMode"), host::Value(true));
  ASSERT_NE(written->find("when"), nullptr);
  ASSERT_NE(written->find("when")->asDate(), nullptr);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(written->find("when")->asDate()->sinceReferenceDate),
            0x7FF8000000000000u);
}

// Lists nested some hundred thousand deep exhausted harbrite-sim's stack while it parsed the
// scenario; they are now an error that names the line.
TEST(BadInput, DeeplyNestedListsInAScenarioAreAnError) {
  const std::string line = "prefs set enabledApplications " + std::string(300000, '[');
  try {
    sim::parseScenario("deep.scn", "apps com.example.bank\n" + line + "\n");
    ADD_FAILURE() << "the scenario was accepted";
  } catch (const sim::ScenarioError& e) {
    EXPECT_EQ(std::string(e.what()), "deep.scn:2: lists nest more than 64 deep");
  }
  EXPECT_EQ(sim::parseValue("[[[[1]]]]"),
            host::Value(host::Array{host::Value(
                host::Array{host::Value(host::Array{host::Value(host::Array{host::Value(1)})})})}));
}

// An error quotes the input it is about safely: at most 60 bytes of it, with whatever a terminal
// would not show as itself escaped, so that no scenario can forge or hide lines in the output.
TEST(BadInput, ErrorsQuoteTheOffendingInputBoundedAndEscaped) {
  struct Row {
    std::string text;
    std::string error;
  };
  const std::vector<Row> rows = {
      {"\xEF\xBB\xBF"
       "boot\n",
       "bad.scn:1: unknown command \"\\xEF\\xBB\\xBFboot\""},
      {"boot\ncall load" + std::string(1, '\0') + "Prefs\n",
       "bad.scn:2: \"load\\x00Prefs\" is not a function of the engine that a scenario may call "
       "(see docs/scenarios.md)"},
      {"\x1B[2Jboot\n", "bad.scn:1: unknown command \"\\x1B[2Jboot\""},
      {"caf\xC3\xA9\xFF\xFE\n", "bad.scn:1: unknown command \"caf\xC3\xA9\\xFF\\xFE\""},
      {"boot\nwait 1\xE2\x80\xAEs\n",
       "bad.scn:2: a duration's unit is ms or s, not \"\\xE2\\x80\\xAEs\""},
      {"apps a\nboot\nfront \"a\\nb\\\"\"\n",
       "bad.scn:3: no application \"a\\nb\\\"\" is installed (declare it with 'apps')"},
      {std::string(5000, 'x') + "\n",
       "bad.scn:1: unknown command \"" + std::string(60, 'x') + "\"... (5000 bytes)"},
      {"prefs set k \xFF\n",
       "bad.scn:1: \"\\xFF\" is not a value (true, false, a number, a \"string\" or a [list])"},
  };
  for (const Row& row : rows) {
    try {
      sim::parseScenario("bad.scn", row.text);
      ADD_FAILURE() << row.error << ": accepted";
    } catch (const sim::ScenarioError& e) {
      EXPECT_EQ(std::string(e.what()), row.error);
    }
  }
  // The file name at the head of the line too.
  try {
    sim::parseScenario("bad\n.scn", "launch\n");
    ADD_FAILURE() << "accepted";
  } catch (const sim::ScenarioError& e) {
    EXPECT_EQ(std::string(e.what()), "bad\\n.scn:1: unknown command \"launch\"");
  }
}

}  // namespace
}  // namespace harbrite::test
