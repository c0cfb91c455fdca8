// Inputs that once brought a host down, found by fuzzing: each now meets the behaviour the rest
// of the system gives a file it cannot use.
#include <gtest/gtest.h>

#include <climits>
#include <string>

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

}  // namespace
}  // namespace harbrite::test
