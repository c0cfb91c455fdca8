// The pane against Python's plistlib, the independent reader: files that plistlib wrote (seeded,
// binary and XML, every kind of value, nested, some deeper than 512 levels), and made over as
// other writers and hand editors leave them (byte-order marks, UTF-16 and ISO-8859-1, <key/>,
// leading zeros, CR LF, 8-byte UIDs, 16-byte integers, fractional dates, ASCII strings holding a
// NUL), are read by the system, one key is changed through the root page, and plistlib reads the
// file back: every other value must be there with the same type and value (reals and dates to the
// bit). Files holding an integer out of range must be refused: kept byte for byte.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/dunmereprefs/PaneFixture.h"
#include "tests/reliability/Files.h"

namespace harbrite::test {
namespace {

constexpr int kFiles = 200;
constexpr const char* kChangedKey = "changedByThePane";

std::string script() {
  return (std::filesystem::path(__FILE__).parent_path() / "plistlib_differential.py").string();
}

// Runs the script; its standard output, or none when it failed.
std::optional<std::string> runScript(const std::string& arguments) {
  const std::string command = "python3 '" + script() + "' " + arguments;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string output;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  return ::pclose(pipe) == 0 ? std::optional(output) : std::nullopt;
}

using PlistlibDifferential = PaneFixture;

TEST_F(PlistlibDifferential, EveryValueThePaneDidNotChangeComesBackAsPlistlibWroteIt) {
  char folderTemplate[] = "/tmp/harbrite-plistlib-XXXXXX";
  ASSERT_NE(::mkdtemp(folderTemplate), nullptr);
  const std::string folder = folderTemplate;
  ASSERT_TRUE(runScript("gen " + folder + " 20261208 " + std::to_string(kFiles)))
      << "python3 with plistlib is needed";

  const std::string prefs = device.hostFile(device.preferencesFile());
  for (int n = 0; n < kFiles; ++n) {
    const std::string original = bytesOf(folder + "/" + std::to_string(n) + ".plist");
    putBytes(prefs, original);
    app.set(kChangedKey, host::Value(true));
    std::ofstream(folder + "/" + std::to_string(n) + ".out", std::ios::binary) << bytesOf(prefs);
  }

  const std::optional<std::string> report =
      runScript("check " + folder + " " + std::to_string(kFiles) + " " + kChangedKey);
  std::filesystem::remove_all(folder);
  ASSERT_TRUE(report);
  std::istringstream figures(*report);
  std::string word;
  long files = 0, values = 0, mismatches = -1, refused = 0, binaryWritten = 0;
  figures >> word >> files >> word >> values >> word >> mismatches >> word >> refused >> word >>
      binaryWritten;
  RecordProperty("figures", report->substr(0, report->find('\n')));
  std::printf("plistlib differential: %s", report->c_str());
  EXPECT_EQ(files, kFiles);
  EXPECT_GT(values, 20 * kFiles) << "every file holds values to compare";
  EXPECT_GT(binaryWritten, 0);
  EXPECT_LT(binaryWritten + refused, kFiles) << "some files come back as XML";
  EXPECT_EQ(mismatches, 0) << *report;
}

}  // namespace
}  // namespace harbrite::test
