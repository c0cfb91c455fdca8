// The scenario parser: what it makes of good lines, and that every kind of bad line stops the
// whole scenario with an error naming the file and the line.
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/Commands.h"
#include "tools/EngineFunctions.h"
#include "tools/Scenario.h"

namespace harbrite::sim {
namespace {

TEST(ScenarioParser, ReadsValuesEscapesAndCommentsAsWritten) {
  const Scenario s =
      parseScenario("good.scn",
                    "# a comment line\n"
                    "\n"
                    "apps com.example.bank   com.example.mail\r\n"
                    "prefs set enabledApplications [\"a#b\", -3, 2.5, [true, false], []]"
                    "  # trailing comment\n"
                    "prefs write \"<\\x41\\t\\\\\\\"\\r\\n>\"\n"
                    "prefs set usePersistMode false\n"
                    "boot\n"
                    "wait 1.5s\n"
                    "wait 800ms\n"
                    "expect prefs usePersistMode absent\n"
                    "expect prefs note \"absent\"\n"
                    "expect state absent\n"
                    "expect state \"absent\"\n");
  ASSERT_EQ(s.commands.size(), 11u);
  EXPECT_EQ(s.commands[0].line, 3);
  EXPECT_EQ(s.commands[0].words,
            (std::vector<std::string>{"apps", "com.example.bank", "com.example.mail"}));

  const host::Value expected(host::Array{
      host::Value("a#b"), host::Value(std::int64_t{-3}), host::Value(2.5),
      host::Value(host::Array{host::Value(true), host::Value(false)}), host::Value(host::Array{})});
  EXPECT_EQ(s.commands[1].value, expected);
  EXPECT_EQ(s.commands[2].words.at(2), "<A\t\\\"\r\n>");
  EXPECT_EQ(s.commands[3].value, host::Value(false));
  EXPECT_EQ(s.commands[5].nanoseconds, 1'500'000'000);
  EXPECT_EQ(s.commands[6].nanoseconds, 800'000'000);
  EXPECT_EQ(s.commands[7].line, 10);

  // The bare word absent checks for no entry or no file; a quoted "absent" is text like any other.
  EXPECT_TRUE(s.commands[7].absent);
  EXPECT_FALSE(s.commands[8].absent);
  EXPECT_EQ(s.commands[8].value, host::Value("absent"));
  EXPECT_TRUE(s.commands[9].absent);
  EXPECT_FALSE(s.commands[10].absent);
  EXPECT_EQ(s.commands[10].words.at(2), "absent");
}

struct Bad {
  std::string what;
  std::string text;
  int line;
};

TEST(ScenarioParser, EveryBadLineIsAnErrorNamingFileAndLine) {
  const std::vector<Bad> cases = {
      {"unknown command", "boot\nlaunch com.example.bank\n", 2},
      {"unknown check", "boot\nexpect weather sunny\n", 2},
      {"malformed value", "prefs set usePersistMode yes\n", 1},
      {"list without comma", "prefs set enabledApplications [\"a\" \"b\"]\n", 1},
      {"unclosed list", "prefs set enabledApplications [\"a\", \"b\"\n", 1},
      {"text after the value", "prefs set usePersistMode true false\n", 1},
      {"missing value", "prefs set usePersistMode\n", 1},
      {"bad escape", "# set-up\nprefs write \"VPNState=\\q\"\n", 2},
      {"short hex escape", "prefs write \"\\x4\"\n", 1},
      {"escape at the end", "prefs write \"abc\\", 1},
      {"unterminated string", "\n\nprefs write \"VPNState=YES\n", 3},
      {"unterminated string in a list", "prefs set k [\"a, b]\n", 1},
      {"duration without unit", "boot\nwait 800\n", 2},
      {"duration in minutes", "boot\nwait 2m\n", 2},
      {"wait of more than a week", "boot\nwait 604800s\nwait 604800.001s\n", 3},
      {"more than 1000 restarts",
       [] {
         std::string text = "boot\n";
         for (int i = 0; i < 1001; ++i) text += i % 2 == 0 ? "respring\n" : "reboot\n";
         return text;
       }(),
       1002},
      {"a restart before boot", "respring\n", 1},
      {"waits adding up to more than a year",
       [] {
         std::string text = "boot\n";
         for (int week = 0; week < 53; ++week) text += "wait 604800s\n";
         return text;
       }(),
       54},
      {"expect vpn before boot", "apps com.example.bank\nexpect vpn off\nboot\n", 2},
      {"expect engine before boot", "expect engine inert\n", 1},
      {"front before boot", "apps com.example.bank\nfront com.example.bank\n", 2},
      {"call before boot", "call loadPrefs\n", 1},
      {"front of an app not installed", "apps com.example.bank\nboot\nfront com.example.mail\n", 3},
      {"exit of an app not installed", "boot\nexit com.example.bank\n", 2},
      {"module the default device lacks",
       "boot\nexpect module com.apple.control-center.WiFiModule selected\n", 2},
      {"module not declared",
       "module com.example.OtherVPN vpn\nboot\n"
       "expect module com.apple.control-center.VPNModule selected\n",
       3},
      {"ios after boot", "boot\nios 15.0\n", 2},
      {"apps after boot", "boot\napps com.example.bank\n", 2},
      {"module after boot", "boot\nmodule com.example.VPN vpn\n", 2},
      {"libroot after boot", "boot\nlibroot /var/jb\n", 2},
      {"backboard after boot", "boot\nbackboard absent\n", 2},
      {"libroot after a file command", "prefs set usePersistMode true\nlibroot /var/jb2\n", 2},
      {"boot twice", "boot\n# again\nboot\n", 3},
      {"wrong word", "module com.example.VPN vpn loud\n", 1},
      {"exit hook of no class", "boot\nexpect exit-hook SBSwitcher\n", 2},
      // Only the engine's own functions can be called, each as its signature needs.
      {"call of an engine variable", "boot\ncall appDidExit\n", 2},
      {"call of a function pointer variable",
       "boot\ncall __BKSTerminateApplicationForReasonAndReportWithDescription\n", 2},
      {"call of a C library function", "boot\ncall system\n", 2},
      {"call of an unknown name", "boot\ncall loadPrefz\n", 2},
      {"call of a path mapping without its path", "boot\ncall libroot_dyn_jbrootpath\n", 2},
      {"call of a probe with a path", "boot\ncall isIOS16 \"/etc\"\n", 2},
      // A jbroot prefix is an absolute path without NUL.
      {"relative prefix", "libroot var/jb\n", 1},
      {"empty prefix", "libroot only-jbroot-prefix \"\"\n", 1},
      {"prefix holding NUL", "libroot \"/var\\x00/jb\"\n", 1},
      {"subcommand that is not one", "state append \"x\"\n", 1},
  };
  for (const Bad& bad : cases) {
    try {
      parseScenario("startup-bad.scn", bad.text);
      ADD_FAILURE() << bad.what << ": no error";
    } catch (const ScenarioError& e) {
      const std::string message = e.what();
      const std::string where = "startup-bad.scn:" + std::to_string(bad.line) + ": ";
      EXPECT_EQ(message.rfind(where, 0), 0u) << bad.what << ": " << message;
      EXPECT_GT(message.size(), where.size()) << bad.what << ": says nothing more";
      EXPECT_EQ(message.find('\n'), std::string::npos) << bad.what << ": " << message;
    } catch (const std::exception& e) {
      ADD_FAILURE() << bad.what << ": not a ScenarioError: " << e.what();
    }
  }
}

// The command table is the language: every entry, and every function a scenario may call, has
// its row in docs/scenarios.md, written as its syntax, and every row there is one of them.
TEST(ScenarioParser, EveryCommandIsDocumentedAndEveryDocumentedCommandExists) {
  std::ifstream in(HARBRITE_SCENARIO_DOCS);
  ASSERT_TRUE(in) << HARBRITE_SCENARIO_DOCS;
  std::set<std::string> documented;
  for (std::string line; std::getline(in, line);) {
    // "| `prefs set KEY VALUE` | ..." in the tables of commands.
    if (line.rfind("| `", 0) != 0) continue;
    std::string syntax = line.substr(3, line.find("` |") - 3);
    for (std::size_t at; (at = syntax.find("\\|")) != std::string::npos;) syntax.erase(at, 1);
    documented.insert(syntax);
  }
  std::set<std::string> table;
  for (const CommandSpec& entry : commandTable()) table.insert(entry.syntax());
  for (const EngineFunction& function : engineFunctions()) table.insert(callSyntax(function));
  for (const std::string& syntax : table) {
    EXPECT_EQ(documented.count(syntax), 1u) << "not in docs/scenarios.md: " << syntax;
  }
  for (const std::string& syntax : documented) {
    EXPECT_EQ(table.count(syntax), 1u) << "documented but no command or function: " << syntax;
  }
}

// `call` reaches exactly the engine's exported functions: every name the engine exports is in
// the call table or is one of its variables, and every entry of the table is exported.
TEST(ScenarioParser, TheCallTableIsTheEnginesExportedFunctions) {
  const std::set<std::string> variables = {
      "appDidExit", "__BKSTerminateApplicationForReasonAndReportWithDescription"};
  std::ifstream in(HARBRITE_ENGINE_EXPORTS_MAP);
  ASSERT_TRUE(in);
  std::set<std::string> exported;
  for (std::string line; std::getline(in, line);) {
    const std::size_t start = line.find_first_not_of(" \t");
    const std::size_t end = line.find(';');
    if (start == std::string::npos || end == std::string::npos ||
        line.find(':') != std::string::npos)
      continue;
    const std::string name = line.substr(start, end - start);
    if (name.find_first_of("{}* ") == std::string::npos) exported.insert(name);
  }
  for (const std::string& name : exported) {
    EXPECT_NE(findEngineFunction(name) != nullptr, variables.count(name) == 1) << name;
  }
  for (const EngineFunction& function : engineFunctions()) {
    EXPECT_EQ(exported.count(function.name), 1u) << function.name;
  }
}

}  // namespace
}  // namespace harbrite::sim
