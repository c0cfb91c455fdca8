// What the built engine library shows the outside world: exactly the names of its export list,
// and the four run-paths through which it finds libroot.
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "hostsim/Device.h"

namespace harbrite::test {
namespace {

// The standard output of a command; fails the test when it cannot run or exits non-zero.
std::string outputOf(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run " << command;
    return output;
  }
  char chunk[4096];
  while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, n);
  EXPECT_EQ(::pclose(pipe), 0) << command;
  return output;
}

// The names under "global:" in a linker version script.
std::set<std::string> globalNames(const std::string& versionScript) {
  std::ifstream in(versionScript);
  EXPECT_TRUE(in) << "cannot read " << versionScript;
  std::set<std::string> names;
  bool global = false;
  std::string line;
  while (std::getline(in, line)) {
    std::string word;
    std::istringstream(line) >> word;
    if (word == "global:") {
      global = true;
    } else if (word == "local:") {
      global = false;
    } else if (global && !word.empty() && word.back() == ';') {
      names.insert(word.substr(0, word.size() - 1));
    }
  }
  return names;
}

TEST(EngineLibrary, ExportsExactlyTheNamesOfItsExportList) {
  const std::string library = hostsim::Payload::built().engine;
  const std::set<std::string> expected = globalNames(HARBRITE_ENGINE_EXPORTS_MAP);
  ASSERT_GE(expected.size(), 23u);  // the start-up, maintenance and root-prefix names

  std::set<std::string> exported;
  std::istringstream lines(outputOf("nm -D --defined-only '" + library + "'"));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string address, type, name;
    fields >> address >> type >> name;
    if (name.empty()) continue;
    exported.insert(name);
    // Functions in text, variables in data or bss: nothing weak, nothing indirect.
    EXPECT_NE(std::string("TDB").find(type), std::string::npos) << name << " has type " << type;
  }
  EXPECT_EQ(exported, expected);
}

TEST(EngineLibrary, SearchesTheFourRunPathsInOrder) {
  const std::string dynamic = outputOf("readelf -d '" + hostsim::Payload::built().engine + "'");
  EXPECT_NE(dynamic.find("(RUNPATH)"), std::string::npos) << dynamic;
  EXPECT_NE(dynamic.find("[/var/jb/Library/Frameworks:/var/jb/usr/lib:"
                         "$ORIGIN/.jbroot/Library/Frameworks:$ORIGIN/.jbroot/usr/lib]"),
            std::string::npos)
      << dynamic;
}

}  // namespace
}  // namespace harbrite::test
