// Inputs that once brought a host down, found by fuzzing: each now meets the behaviour the rest
// of the system gives a file it cannot use.
#include <gtest/gtest.h>

#include <climits>
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
// reading process: SpringBoard at boot, the Settings app when it showed the page. It now reads
// as no dictionary: the engine stays inert, the page shows its defaults, and the first change
// replaces the file, as for any file that is not a dictionary.
TEST(BadInput, PreferencesHoldingANulCharacterReadAsNoDictionary) {
  for (const char* name : {"regression-key-holding-nul", "regression-string-holding-nul"}) {
    SCOPED_TRACE(name);
    const std::string bytes = corpusFile(std::string("preferences/") + name);
    ASSERT_FALSE(bytes.empty());
    {
      TestDevice device;
      device.writePrefsBytes(bytes);
      device.boot();
      EXPECT_FALSE(device.engineInstalled());
      device.engineFunction<void()>("migratePreferencesIfNeeded")();
      EXPECT_EQ(bytesOf(device.hostFile(device.preferencesFile())), bytes);
    }
    TestDevice device;
    device.writePrefsBytes(bytes);
    hostsim::SettingsApp app(device.root());
    for (const hostsim::SettingsRow& row : app.rows()) {
      if (row.key == "usePersistMode") {
        EXPECT_EQ(row.value, host::Value(false));
      }
    }
    app.set("usePersistMode", host::Value(true));
    host::Dictionary alone;
    alone.set("usePersistMode", host::Value(true));
    EXPECT_EQ(host::readDictionary(device.preferencesFile()), alone);
  }
}

// A date that is not a number made the writer convert an out-of-range double (undefined
// behaviour) when the pane wrote the file back. It is now written at the earliest second the
// property-list library holds, and every other entry stays.
TEST(BadInput, ADateThatIsNotANumberIsWrittenBackAtTheEarliestSecond) {
  TestDevice device;
  device.writePrefsBytes(corpusFile("preferences/regression-date-not-a-number"));
  hostsim::SettingsApp app(device.root());
  app.set("usePersistMode", host::Value(true));
  const auto written = host::readDictionary(device.preferencesFile());
  ASSERT_TRUE(written);
  EXPECT_EQ(written->size(), 2u);
  EXPECT_EQ(*written->find("usePersistMode"), host::Value(true));
  ASSERT_NE(written->find("when"), nullptr);
  EXPECT_EQ(*written->find("when"), host::Value(host::Date{static_cast<double>(INT_MIN)}));
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
