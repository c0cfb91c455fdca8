// The pane as the Settings app loads and shows it: the shipped Root.plist's rows, the
// application picker, rows for keys the page lacks, a new Settings process, and what the
// pane's library exports.
#include <cstdio>
#include <iterator>
#include <set>
#include <sstream>
#include <string>

#include "tests/dunmereprefs/PaneFixture.h"

namespace harbrite::test {
namespace {

using SettingsApp = PaneFixture;
const char* const kNotification = "com.quorvik.harbrite/prefsChanged";

// "label|cell|value|depth", with a mark for group switches, pickers and buttons.
std::vector<std::string> shown(hostsim::SettingsApp& app) {
  std::vector<std::string> out;
  for (const hostsim::SettingsRow& r : app.rows()) {
    const std::string value = r.value.isNone() ? "" : sim::formatValue(r.value);
    out.push_back(r.label.substr(0, 12) + "|" + r.cell + "|" + value + "|" +
                  std::to_string(r.depth) + (r.groupSwitch ? "|group" : "") +
                  (r.picker ? "|picker" : "") + (r.action.empty() ? "" : "|" + r.action));
  }
  return out;
}

TEST_F(SettingsApp, ShowsTheShippedPageWithSwitchedOffGroupsCollapsed) {
  const std::vector<std::string> collapsed{
      "Applications|PSGroupCell||0",
      "Enabled Appl|PSLinkListCell||0|picker",
      "Mode|PSGroupCell||0",
      "Persist Mode|PSSwitchCell|false|0|group",  // the row's default
      "Recorded Sta|PSGroupCell||0",
      "Reset VPN St|PSButtonCell||0|resetVPNState"};
  EXPECT_EQ(shown(app), collapsed);

  app.set("usePersistMode", host::Value(true));
  app.set("enabledApplications", host::Value(host::Array{host::Value("com.example.bank")}));
  std::vector<std::string> open = collapsed;
  open[1] = "Enabled Appl|PSLinkListCell|[\"com.example.bank\"]|0|picker";
  open[3] = "Persist Mode|PSSwitchCell|true|0|group";
  open.insert(open.begin() + 4,
              {"The VPN goes|PSStaticTextCell||1", "A change of |PSStaticTextCell||1"});
  EXPECT_EQ(shown(app), open);
  EXPECT_EQ(notifications(), (std::vector<std::string>{kNotification, kNotification}));
}

TEST_F(SettingsApp, ThePickerTakesOnlyAListOfIdentifiers) {
  EXPECT_THROW(app.set("enabledApplications", host::Value("com.example.bank")),
               std::invalid_argument);
  EXPECT_FALSE(prefsFile());
}

TEST_F(SettingsApp, AKeyNoRowHasGetsARowOfItsOwn) {
  app.set("extra", host::Value(3));
  EXPECT_EQ(shown(app).back(), "extra|PSEditTextCell|3|0");
  EXPECT_EQ(*prefsFile()->find("extra"), host::Value(3));
  EXPECT_TRUE(notifications().empty());
}

// When the Settings app quits, its classes go with it, and the next one loads the pane afresh.
TEST(SettingsProcess, EachSettingsAppLoadsThePaneAfresh) {
  TestDevice device;
  {
    hostsim::SettingsApp first(device.root());
    first.set("usePersistMode", host::Value(true));
  }
  EXPECT_EQ(host::objc_getClass("DNMRootListController"), nullptr);
  hostsim::SettingsApp second(device.root());
  EXPECT_EQ(second.rows()[3].value, host::Value(true));
  EXPECT_NE(host::objc_getClass("DNMRootListController"), nullptr);
}

std::string outputOf(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char chunk[4096];
  while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, n);
  EXPECT_EQ(::pclose(pipe), 0) << command;
  return output;
}

TEST(PaneLibrary, ExportsOnlyTheSharedSupportAndCarriesTheFourRunPaths) {
  const std::string library = hostsim::Payload::built().paneBundle + "/dunmereprefs";
  std::set<std::string> exported;
  std::istringstream lines(outputOf("nm -D --defined-only '" + library + "'"));
  for (std::string address, kind, name; lines >> address >> kind >> name;) exported.insert(name);
  std::istringstream names(
      "migratePreferencesIfNeeded libroot_load libroot_get_root_prefix_fallback "
      "libroot_get_jbroot_prefix_fallback libroot_get_boot_uuid_fallback "
      "libroot_jbrootpath_fallback libroot_rootfspath_fallback libroot_dyn_get_root_prefix "
      "libroot_dyn_get_jbroot_prefix libroot_dyn_get_boot_uuid libroot_dyn_jbrootpath "
      "libroot_dyn_rootfspath");
  const std::set<std::string> expected{std::istream_iterator<std::string>(names), {}};
  EXPECT_EQ(exported, expected);
  EXPECT_NE(outputOf("readelf -d '" + library + "'")
                .find("Library runpath: [/var/jb/Library/Frameworks:/var/jb/usr/lib:"
                      "$ORIGIN/.jbroot/Library/Frameworks:$ORIGIN/.jbroot/usr/lib]"),
            std::string::npos);
}

}  // namespace
}  // namespace harbrite::test
