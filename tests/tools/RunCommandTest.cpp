// `harbrite-sim run` as a user runs it: a scenario that cannot be played stops before anything
// happens, with one line on standard error and exit status 2; a failed check is reported with
// its file and line, and the run goes on to the end.
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "hostsim/Device.h"

namespace harbrite::test {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

class RunCommand : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = hostsim::makeTemporaryDirectory(); }
  void TearDown() override { hostsim::removeTree(folder_); }

  std::string write(const std::string& name, const std::string& text) {
    const std::string file = folder_ + "/" + name;
    std::ofstream(file, std::ios::binary) << text;
    return file;
  }

  static std::string read(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // Runs harbrite-sim with these arguments (already quoted as needed).
  Outcome run(const std::string& arguments) {
    const std::string out = folder_ + "/stdout", err = folder_ + "/stderr";
    const std::string command =
        std::string("'") + HARBRITE_SIM + "' " + arguments + " >'" + out + "' 2>'" + err + "'";
    const int raw = std::system(command.c_str());
    Outcome o;
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    o.out = read(out);
    o.err = read(err);
    return o;
  }

  std::string folder_;
};

TEST_F(RunCommand, ABadScenarioRunsNothingAndSaysWhereInOneLine) {
  const std::string scenario = write("startup-typo.scn",
                                     "apps com.example.bank\n"
                                     "prefs set usePersistMode true\n"
                                     "boot\n"
                                     "expect engine installed\n"
                                     "front com.example.bank\n"
                                     "expect vpn onn\n");
  const std::string device = folder_ + "/device";
  const Outcome o = run("run --device '" + device + "' '" + scenario + "'");
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.out, "") << "a timeline was printed";
  EXPECT_EQ(o.err.rfind(scenario + ":6: ", 0), 0u) << o.err;
  ASSERT_FALSE(o.err.empty());
  EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << "more than one line: " << o.err;
  // Not even the set-up before the bad line happened.
  EXPECT_FALSE(
      fs::exists(device + "/var/jb/var/mobile/Library/Preferences/com.quorvik.harbrite.plist"));
}

TEST_F(RunCommand, AScenarioFileThatCannotBeReadIsOneLineAndStatus2) {
  const std::string missing = folder_ + "/startup-missing.scn";
  const Outcome o = run("run '" + missing + "'");
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err.rfind(missing + ":", 0), 0u) << o.err;
  EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << o.err;
}

TEST_F(RunCommand, AFailedCheckIsReportedAndTheRunGoesOnToExit1) {
  const std::string scenario = write("startup-inert.scn",
                                     "boot\n"
                                     "expect engine installed  # there is no preferences file\n"
                                     "expect exit-hook none\n"
                                     "prefs set usePersistMode true\n"
                                     "expect prefs usePersistMode true\n");
  const Outcome o = run("run '" + scenario + "'");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.out.find(scenario + ":2: check failed: expected installed, got inert"),
            std::string::npos)
      << o.out;
  EXPECT_NE(o.out.find("> expect prefs usePersistMode true"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("1 check(s) failed"), std::string::npos) << o.out;
}

TEST_F(RunCommand, AQuotedAbsentIsTextNotTheWordAbsent) {
  const std::string scenario = write("startup-absent.scn",
                                     "state write \"absent\"\n"
                                     "prefs set note \"absent\"\n"
                                     "expect state \"absent\"\n"
                                     "expect prefs note \"absent\"\n"
                                     "expect prefs usePersistMode absent\n"
                                     "state delete\n"
                                     "expect state absent\n");
  const Outcome o = run("run '" + scenario + "'");
  EXPECT_EQ(o.status, 0) << o.out << o.err;
}

}  // namespace
}  // namespace harbrite::test
