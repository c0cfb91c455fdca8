// Inputs that once brought a host down, found by fuzzing: each now meets the behaviour the rest
// of the system gives a file it cannot use.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <bit>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/PropertyList.h"
#include "hostsim/Device.h"
#include "hostsim/DeviceRoot.h"
#include "hostsim/SettingsApp.h"
#include "tests/reliability/Files.h"
#include "tests/support/TestDevice.h"
#include "tools/Scenario.h"

namespace harbrite::test {
namespace {

std::string corpusFile(const std::string& name) {
  return bytesOf(std::string(HARBRITE_FUZZ_CORPORA) + "/" + name);
}

// A binary preferences file whose key or string holds a NUL character made the reader of the
// time abort the reading process: SpringBoard at boot, the Settings app when it showed the page.
// Such a file is read whole: the engine starts, the migration converts the legacy key as it
// stands, and a change in the pane keeps the other entries character for character, in the
// binary encoding, since XML cannot carry a NUL.
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
      ASSERT_TRUE(migrated.ok());
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
    ASSERT_TRUE(written.ok());
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
  ASSERT_TRUE(written.ok());
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
       "bad.scn:1: \"\\xFF\" is not a value (true, false, a number, a \"string\", a [list], a "
       "{dictionary}, date:, data: or uid:)"},
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

// Everything in a folder: each entry's path, its symlink target or its bytes.
std::string treeOf(const std::string& folder) {
  namespace fs = std::filesystem;
  std::string text;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    text += entry.path().string();
    if (entry.is_symlink()) {
      text += " -> " + fs::read_symlink(entry.path()).string();
    } else if (entry.is_regular_file()) {
      text += " = " + bytesOf(entry.path().string());
    }
    text += "\n";
  }
  return text;
}

// A device folder (or a scenario's jbroot prefix) that tries to reach outside the device: the
// device boots, the Settings app installs its pane, changes a row and resets the VPN's record.
// Each attempt either works inside the device, as the device itself would resolve the paths, or
// is refused with an error; nothing outside the device folder changes in either case.
TEST(BadInput, NothingOutsideTheDeviceFolderIsTouched) {
  namespace fs = std::filesystem;
  const std::string outside = hostsim::makeTemporaryDirectory();
  const std::string prefs = "/var/mobile/Library/Preferences/com.quorvik.harbrite.plist";
  const std::string state =
      "/var/mobile/Library/Preferences/com.quorvik.Bellweir.featureStates.txt";
  for (const std::string& file :
       {prefs, state, std::string("/Library/PreferenceBundles/dunmereprefs.bundle/Info.plist"),
        std::string("/usr/lib/libroot.dylib"), std::string("/usr/lib/libroot.prefix")}) {
    putBytes(outside + file, "outside " + file);
  }
  const std::string before = treeOf(outside);
  // From the root down, as many ".." as it takes to reach "/" from anywhere in the device.
  const std::string climb = "../../../../../../../../../../../../../../..";
  using Make = std::function<void(const std::string& root)>;
  auto replaceWithLink = [](const std::string& target, const std::string& link) {
    fs::remove_all(link);
    fs::create_directories(fs::path(link).parent_path());
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0) << link;
  };
  enum Outcome { Works, Refused };
  const struct {
    const char* what;
    Make make;
    hostsim::Libroot libroot;
    std::string prefix;
    Outcome outcome;
  } cases[] = {
      {"the jbroot a symlink to the outside folder's absolute path (absent in the device)",
       [&](const std::string& root) { replaceWithLink(outside, root + "/var/jb"); },
       hostsim::Libroot::None, "", Refused},
      {"the jbroot a symlink to the outside folder's absolute path (present in the device)",
       [&](const std::string& root) {
         replaceWithLink(outside, root + "/var/jb");
         fs::create_directories(root + outside);
       },
       hostsim::Libroot::None, "", Works},
      {"the jbroot a relative symlink climbing out",
       [&](const std::string& root) {
         replaceWithLink(climb + outside, root + "/var/jb");
         fs::create_directories(root + outside);
       },
       hostsim::Libroot::None, "", Works},
      {"the preferences folder a relative symlink climbing out",
       [&](const std::string& root) {
         replaceWithLink(climb + outside + "/var/mobile/Library/Preferences",
                         root + "/var/jb/var/mobile/Library/Preferences");
       },
       hostsim::Libroot::None, "", Refused},
      {"the preferences and state files symlinks to files outside",
       [&](const std::string& root) {
         replaceWithLink(outside + prefs, root + "/var/jb" + prefs);
         replaceWithLink(climb + outside + state, root + "/var/jb" + state);
       },
       hostsim::Libroot::None, "", Works},
      {"the folder of the pane's bundle a symlink out",
       [&](const std::string& root) { replaceWithLink(outside + "/Library", root + "/Library"); },
       hostsim::Libroot::None, "", Refused},
      {"libroot's folder a relative symlink out",
       [&](const std::string& root) {
         replaceWithLink(climb + outside + "/usr/lib", root + "/var/jb/usr/lib");
       },
       hostsim::Libroot::Full, "/var/jb", Refused},
      {"prefix '..' first", [](const std::string&) {}, hostsim::Libroot::Full, "/../jb", Works},
      {"prefix '..' in the middle", [](const std::string&) {}, hostsim::Libroot::Full,
       "/var/../../../jb", Works},
      {"prefix '..' last", [](const std::string&) {}, hostsim::Libroot::Full, "/var/jb/../..",
       Works},
      {"prefix climbing to the outside folder", [](const std::string&) {},
       hostsim::Libroot::OnlyJbrootPrefix, "/" + climb + outside, Works},
      {"prefix through a symlink out",
       [&](const std::string& root) {
         ASSERT_EQ(::symlink(outside.c_str(), (root + "/jb").c_str()), 0);
       },
       hostsim::Libroot::Full, "/jb", Refused},
      {"prefix holding NUL", [](const std::string&) {}, hostsim::Libroot::Full,
       std::string("/var/jb\0/../..", 14), Refused},
      {"prefix relative", [](const std::string&) {}, hostsim::Libroot::Full, "var/jb", Refused},
      {"prefix relative, climbing", [](const std::string&) {}, hostsim::Libroot::Full,
       climb + outside, Refused},
      {"prefix empty (a rootful device)", [](const std::string&) {}, hostsim::Libroot::Full, "",
       Works},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestDevice device;
    c.make(device.root());
    device.config().libroot = c.libroot;
    if (c.libroot != hostsim::Libroot::None) device.config().librootPrefix = c.prefix;
    device.config().apps = {"com.example.bank"};
    bool refused = false;
    try {
      device.boot();
      hostsim::SettingsApp app(device.root());
      app.set("usePersistMode", host::Value(true));
      app.resetVPN();
    } catch (const std::exception&) {
      refused = true;
    }
    EXPECT_EQ(refused, c.outcome == Refused);
    if (c.outcome == Works) {
      const host::Result<host::Dictionary> written = host::readDictionary(device.preferencesFile());
      ASSERT_TRUE(written.ok());
      EXPECT_NE(written->find("usePersistMode"), nullptr);
    }
    EXPECT_EQ(treeOf(outside), before);
  }
  EXPECT_FALSE(hostsim::isValidJbrootPrefix(""));
  EXPECT_FALSE(hostsim::isValidJbrootPrefix("var/jb"));
  EXPECT_FALSE(hostsim::isValidJbrootPrefix(std::string("/var/jb\0", 8)));
  EXPECT_TRUE(hostsim::isValidJbrootPrefix("/var/jb"));
  hostsim::removeTree(outside);
}

// No code is ever loaded from a device folder: a library the device holds loads only as the
// build's own file with the same bytes, from a private copy outside the folder; a library of
// another origin (here the build's libroot with one byte more) does not load at all.
TEST(BadInput, NoCodeIsLoadedFromTheDeviceFolder) {
  hostsim::Device device;
  device.config().libroot = hostsim::Libroot::Full;
  device.applySetUp();
  const std::string installed = device.root() + "/var/jb/usr/lib/libroot.dylib";
  std::string error;
  void* handle = hostsim::loadDeviceLibrary(installed, RTLD_NOW | RTLD_LOCAL, &error);
  ASSERT_NE(handle, nullptr) << error;
  link_map* map = nullptr;
  ASSERT_EQ(dlinfo(handle, RTLD_DI_LINKMAP, &map), 0);
  EXPECT_NE(std::string(map->l_name).rfind(device.root(), 0), 0u) << map->l_name;
  EXPECT_EQ(hostsim::deviceFileOfLibrary(map->l_name), installed);
  dlclose(handle);

  putBytes(installed, bytesOf(device.payload().librootFull) + std::string(1, '\0'));
  EXPECT_EQ(hostsim::loadDeviceLibrary(installed, RTLD_NOW | RTLD_LOCAL, &error), nullptr);
  EXPECT_NE(error.find("not a library this build made"), std::string::npos) << error;
  hostsim::setDeviceRoot("");
}

}  // namespace
}  // namespace harbrite::test
