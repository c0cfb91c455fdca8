// The conversion of the older preferences format, as both libraries export it: checked against
// the file's bytes, and read back by a property-list reader that is not ours (Python's plistlib).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/CountingLayer.h"
#include "tests/support/TestDevice.h"

namespace harbrite::test {
namespace {

// Runs a Python program with the host path of the preferences file as its argument and answers
// what it printed; the test fails when Python does not run it to the end.
std::string python(const std::string& program, const std::string& file) {
  const std::string command = "python3 -c '" + program + "' '" + file + "' 2>&1";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run python3";
    return "";
  }
  std::string out;
  char buffer[256];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  EXPECT_EQ(::pclose(pipe), 0) << out;
  return out;
}

class Migration : public testing::Test {
 protected:
  void SetUp() override {
    device.writePrefs(host::Dictionary{});
    device.boot();
    prefsFile = device.hostFile(device.preferencesFile());
  }
  void migrate() { device.engineFunction<void()>("migratePreferencesIfNeeded")(); }
  std::string bytes() const {
    std::ifstream in(prefsFile, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  int prefsWrites() const { return files.replacements(device.preferencesFile()); }

  TestDevice device;
  CountingLayer files;
  std::string prefsFile;
};

TEST_F(Migration, AnotherReaderSeesTheConvertedFile) {
  // The older file, written by Python in the binary encoding.
  python(
      "import plistlib, sys\n"
      "plistlib.dump({\"usePersistMode\": True, \"enabled-com.example.bank\": True,\n"
      "  \"enabled-com.example.mail\": False, \"enabled-com.example.maps\": 1,\n"
      "  \"enabled-com.example.notes\": \"YES\", \"Enabled-com.example.news\": True,\n"
      "  \"vpnGroupName\": \"Caf\\u00e9\"},\n"
      "  open(sys.argv[1], \"wb\"), fmt=plistlib.FMT_BINARY, sort_keys=False)\n",
      prefsFile);
  migrate();
  EXPECT_EQ(bytes().rfind("<?xml", 0), 0u) << "written back as XML";
  EXPECT_EQ(python("import plistlib, sys\n"
                   "d = plistlib.load(open(sys.argv[1], \"rb\"))\n"
                   "for k in sorted(d): print(k, repr(d[k]))\n",
                   prefsFile),
            "Enabled-com.example.news True\n"
            "enabled-com.example.notes 'YES'\n"
            "enabledApplications ['com.example.maps', 'com.example.bank']\n"
            "usePersistMode True\n"
            "vpnGroupName 'Café'\n");
}

TEST_F(Migration, KeysAreVisitedFromTheLastToTheFirst) {
  host::Dictionary legacy;
  for (const char* app : {"a", "b", "c"}) legacy.set(std::string("enabled-") + app, true);
  device.writePrefs(legacy);
  migrate();
  const auto prefs = host::readDictionary(device.preferencesFile());
  ASSERT_TRUE(prefs.ok());
  ASSERT_EQ(prefs->size(), 1u);
  EXPECT_EQ(*prefs->find("enabledApplications"),
            host::Value(host::Array{host::Value("c"), host::Value("b"), host::Value("a")}));
}

TEST_F(Migration, WritesNothingWhenNothingIsOn) {
  // Only switched-off applications: the file stays byte for byte.
  host::Dictionary off;
  off.set("enabled-com.example.bank", false);
  off.set("enabled-com.example.mail", 0);
  off.set("enabled-com.example.maps", 0.0);
  device.writePrefs(off);
  const std::string before = bytes();
  const int writes = prefsWrites();
  migrate();
  EXPECT_EQ(bytes(), before);
  EXPECT_EQ(prefsWrites(), writes);

  // A second run after a conversion writes nothing.
  off.set("enabled-com.example.news", 0.5);
  device.writePrefs(off);
  migrate();
  EXPECT_EQ(prefsWrites(), writes + 1);
  const std::string converted = bytes();
  migrate();
  EXPECT_EQ(prefsWrites(), writes + 1);
  EXPECT_EQ(bytes(), converted);

  // No file, or one that is not a property list: nothing is created or replaced.
  std::filesystem::remove(prefsFile);
  migrate();
  EXPECT_FALSE(std::filesystem::exists(prefsFile));
  device.writePrefsBytes("enabled-com.example.bank = YES\n");
  migrate();
  EXPECT_EQ(bytes(), "enabled-com.example.bank = YES\n");
}

}  // namespace
}  // namespace harbrite::test
