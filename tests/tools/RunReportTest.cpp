// What a run reports beyond its checks: the exposure (an enabled application in front while the
// VPN is not connected), measured on real runs of the engine, and the JSON that carries it.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "hostsim/Device.h"
#include "tools/Scenario.h"
#include "tools/ScenarioRunner.h"

namespace harbrite::sim {
namespace {

using nlohmann::json;

class RunReport : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = hostsim::makeTemporaryDirectory(); }
  void TearDown() override { hostsim::removeTree(folder_); }

  // Plays the scenario and answers its JSON report.
  json play(const std::string& text, int* status = nullptr) {
    RunOptions options;
    options.jsonFile = folder_ + "/run.json";
    std::FILE* out = std::tmpfile();
    const int result = playScenario(parseScenario("case.scn", text), options, out);
    std::fclose(out);
    if (status != nullptr) *status = result;
    std::ifstream in(options.jsonFile);
    return json::parse(in);
  }

  std::string folder_;
};

struct Window {
  double from, to;
  std::string app;
};

struct ExposureCase {
  std::string what;
  std::string scenario;
  double seconds;
  std::vector<Window> windows;
};

const char* const kBankEnabled =
    "apps com.example.bank com.example.mail com.example.browser\n"
    "prefs set enabledApplications [\"com.example.bank\", \"com.example.mail\"]\n";

TEST_F(RunReport, ExposureCountsAnEnabledApplicationInFrontWithoutTheVPN) {
  const std::string enabled = kBankEnabled;
  const std::vector<ExposureCase> cases = {
      {"the VPN comes on after the settling delay, then the user switches it off",
       enabled + "boot\nfront com.example.bank\nwait 1s\nuser vpn off\nwait 3s\n",
       3.8,
       {{0, 0.8, "com.example.bank"}, {1, 4, "com.example.bank"}}},
      {"the preferences change while the application is in front",
       enabled + "boot\nfront com.example.bank\nwait 500ms\n"
                 "prefs set enabledApplications [\"com.example.mail\"]\nwait 500ms\n"
                 "prefs set enabledApplications [\"com.example.bank\"]\nwait 500ms\n",
       1.0,
       {{0, 0.5, "com.example.bank"}, {1, 1.5, "com.example.bank"}}},
      {"the VPN never comes on: its module does not answer",
       enabled + "module com.apple.control-center.VPNModule vpn inert\n"
                 "boot\nfront com.example.bank\nwait 2s\n",
       2.0,
       {{0, 2, "com.example.bank"}}},
      {"the application exits before the decision",
       enabled + "boot\nfront com.example.bank\nwait 500ms\nexit com.example.bank\nwait 1s\n",
       0.5,
       {{0, 0.5, "com.example.bank"}}},
      {"the home screen comes to the front",
       enabled + "boot\nfront com.example.bank\nwait 300ms\nfront home\nwait 2s\n",
       0.3,
       {{0, 0.3, "com.example.bank"}}},
      {"two enabled applications in turn are two windows",
       enabled + "boot\nfront com.example.bank\nwait 300ms\nfront com.example.mail\nwait 1s\n"
                 "front com.example.browser\nwait 1s\n",
       0.8,
       {{0, 0.3, "com.example.bank"}, {0.3, 0.8, "com.example.mail"}}},
      {"a list with stray values: its strings count, as the engine reads them",
       "apps com.example.bank\nprefs set enabledApplications [1, \"com.example.bank\", true]\n"
       "boot\nfront com.example.bank\nwait 1s\n",
       0.8,
       {{0, 0.8, "com.example.bank"}}},
      {"an application that is not enabled is never exposure",
       enabled + "boot\nfront com.example.browser\nwait 2s\n",
       0,
       {}},
      {"persist mode switches at once",
       enabled + "prefs set usePersistMode true\nboot\nfront com.example.bank\nwait 2s\n",
       0,
       {}},
      {"time before boot does not count, and the clock runs on across it",
       enabled + "wait 5s\nboot\nfront com.example.bank\nwait 1s\n",
       0.8,
       {{5, 5.8, "com.example.bank"}}},
  };
  for (const ExposureCase& c : cases) {
    SCOPED_TRACE(c.what);
    const json exposure = play(c.scenario)["summary"]["exposure"];
    EXPECT_NEAR(exposure["seconds"].get<double>(), c.seconds, 1e-9);
    ASSERT_EQ(exposure["windows"].size(), c.windows.size()) << exposure.dump();
    for (std::size_t i = 0; i < c.windows.size(); ++i) {
      const json& w = exposure["windows"][i];
      EXPECT_NEAR(w["from"].get<double>(), c.windows[i].from, 1e-9) << w.dump();
      EXPECT_NEAR(w["to"].get<double>(), c.windows[i].to, 1e-9) << w.dump();
      EXPECT_EQ(w["app"], c.windows[i].app);
    }
  }
}

TEST_F(RunReport, JSONHoldsEveryEventInTimeOrderWithItsDetails) {
  int status = -1;
  const json report = play(std::string(kBankEnabled) +
                               "boot\n"
                               "front com.example.bank\n"
                               "wait 800ms\n"
                               "expect vpn on\n"
                               "front com.example.mail\n"
                               "wait 800ms\n"
                               "expect vpn off  # it stays on: this check fails\n",
                           &status);
  EXPECT_EQ(status, 1);
  ASSERT_TRUE(report["events"].is_array());
  double last = 0;
  std::vector<std::string> kinds;
  for (const json& e : report["events"]) {
    ASSERT_TRUE(e["time"].is_number()) << e.dump();
    ASSERT_TRUE(e["kind"].is_string()) << e.dump();
    ASSERT_TRUE(e["text"].is_string()) << e.dump();
    EXPECT_GE(e["time"].get<double>(), last) << e.dump();
    last = e["time"].get<double>();
    kinds.push_back(e["kind"]);
    if (e["kind"] == "command" || e["kind"] == "check") {
      EXPECT_EQ(e["file"], "case.scn");
      EXPECT_TRUE(e["line"].is_number_integer()) << e.dump();
    }
  }
  auto find = [&](const std::string& kind, const std::string& part) -> json {
    for (const json& e : report["events"]) {
      if (e["kind"] == kind && e["text"].get<std::string>().find(part) != std::string::npos)
        return e;
    }
    ADD_FAILURE() << "no " << kind << " event with " << part;
    return json::object();
  };
  EXPECT_EQ(find("module", "selected")["module"], "com.apple.control-center.VPNModule");
  EXPECT_EQ(find("module", "selected")["selected"], true);
  EXPECT_EQ(find("front", "com.example.mail")["app"], "com.example.mail");
  const json started = find("delay", "com.example.mail");
  EXPECT_NEAR(started["delay"].get<double>(), 0.8, 1e-12);
  const json decided = find("decision", "com.example.mail");
  EXPECT_EQ(decided["work"], started["work"]);
  EXPECT_EQ(decided["app"], "com.example.mail");
  EXPECT_EQ(decided["changed"], false);
  EXPECT_NEAR(decided["time"].get<double>(), 1.6, 1e-9);
  const json failed = find("check", "check failed");
  EXPECT_EQ(failed["passed"], false);
  EXPECT_EQ(failed["line"], 9);

  const json& summary = report["summary"];
  EXPECT_EQ(summary["checks"], 2);
  EXPECT_EQ(summary["failed"], 1);
  EXPECT_NEAR(summary["exposure"]["seconds"].get<double>(), 0.8, 1e-9);
  EXPECT_NEAR(report["end"].get<double>(), 1.6, 1e-9);
}

// The JSON's event fields, as docs/scenarios.md lists them: for each kind, every field it may
// carry and whether it may be absent (its note says "absent ...").
struct Field {
  bool optional;
};
std::map<std::string, std::map<std::string, Field>> documentedEventFields() {
  std::ifstream in(HARBRITE_SCENARIO_DOCS);
  std::map<std::string, std::map<std::string, Field>> kinds;
  bool inTable = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("| Kind | What happened | Further fields |", 0) == 0) {
      inTable = true;
      continue;
    }
    if (!inTable || line.rfind("|---", 0) == 0) continue;
    if (line.rfind("| ", 0) != 0) {
      if (!kinds.empty()) break;
      continue;
    }
    const std::size_t second = line.find(" | ", 2);
    const std::size_t third = line.find(" | ", second + 3);
    const std::string kind = line.substr(2, second - 2);
    std::string fields = line.substr(third + 3);
    auto& entry = kinds[kind];
    // Each field is a `name`, then perhaps a note in parentheses, then a comma.
    std::size_t at = 0;
    while ((at = fields.find('`', at)) != std::string::npos) {
      const std::size_t end = fields.find('`', at + 1);
      const std::string name = fields.substr(at + 1, end - at - 1);
      std::size_t next = end + 1;
      bool optional = false;
      if (fields.compare(next, 2, " (") == 0) {
        int depth = 0;
        std::size_t close = next + 1;
        for (; close < fields.size(); ++close) {
          if (fields[close] == '(') ++depth;
          if (fields[close] == ')' && --depth == 0) break;
        }
        optional = fields.substr(next, close - next).find("absent") != std::string::npos;
        next = close + 1;
      }
      entry[name] = Field{optional};
      at = next;
    }
  }
  return kinds;
}

// Every event of runs that reach every kind carries exactly the fields the documentation lists
// for its kind: each one not marked absent, and no other.
TEST_F(RunReport, EveryEventHoldsTheFieldsTheDocumentationListsForItsKind) {
  const auto documented = documentedEventFields();
  ASSERT_GE(documented.size(), 20u);
  std::set<std::string> seen;
  auto hold = [&](const json& report) {
    for (const json& e : report["events"]) {
      const std::string kind = e["kind"];
      seen.insert(kind);
      ASSERT_TRUE(documented.count(kind)) << "kind not documented: " << e.dump();
      const auto& fields = documented.at(kind);
      for (const auto& [name, value] : e.items()) {
        if (name == "time" || name == "kind" || name == "text") continue;
        EXPECT_TRUE(fields.count(name)) << "field not documented: " << name << " in " << e.dump();
      }
      for (const auto& [name, field] : fields) {
        EXPECT_TRUE(field.optional || e.contains(name)) << name << " missing: " << e.dump();
      }
    }
  };
  hold(play(std::string(kBankEnabled) + "boot\n"
                                        "expect engine installed  # no preferences file: it fails\n"
                                        "call isIOS16\n"
                                        "front com.example.bank\n"
                                        "front home\n"
                                        "wait 800ms\n"
                                        "user vpn on\n"
                                        "front home\n"
                                        "wait 800ms\n"
                                        "pane set note \"x\"\n"
                                        "pane reset-vpn\n"
                                        "prefs set usePersistMode true\n"));
  hold(play(std::string(kBankEnabled) + "prefs set usePersistMode true\n"
                                        "ios 16.1\n"
                                        "boot\n"
                                        "front com.example.bank\n"
                                        "exit com.example.bank\n"
                                        "wait 2s\n"
                                        "call handleEnabledAppsChange\n"
                                        "prefs set enabledApplications [\"com.example.mail\"]\n"
                                        "front com.example.mail\n"
                                        "call handleEnabledAppsChange\n"));
  hold(play("boot\n"));  // no preferences: the engine stays inert
  hold(play("apps com.example.bank\nboot\npane set enabledApplications 3\n"));  // stops
  for (const char* kind :
       {"command",  "check", "error",        "answer",     "boot",     "load",   "engine",
        "runtime",  "front", "exit",         "terminated", "user",     "module", "delay",
        "decision", "file",  "notification", "log",        "settings", "pane"}) {
    EXPECT_TRUE(seen.count(kind)) << "no run reached " << kind;
  }
}

// The picture's pieces: a cluster of checks at the right edge keeps its count and says how many
// failed; events at one instant are counted; a change at the last instant shows; a tooltip keeps
// its own line breaks while input's control characters are written out.
TEST_F(RunReport, ThePictureCountsClustersAndShowsTheLastInstant) {
  struct Case {
    const char* what;
    std::string scenario;
    std::vector<std::string> shown;
  };
  const std::vector<Case> cases = {
      {"a cluster at the right edge, one failed",
       "boot\nwait 1s\nexpect vpn off\nexpect vpn on\nexpect vpn off\nexpect vpn off\n",
       {">\xC3\x97"
        "4, 1 failed<"}},
      {"events at one instant",
       "boot\nwait 1s\nuser vpn on\nuser vpn off\nuser vpn on\n",
       {">\xC3\x97"
        "3<",
        "user switches the VPN on in Control Center&#10;1 s: "}},
      {"a change at the last instant",
       "boot\nwait 1s\nuser vpn on\n",
       {"at the end (1 s): VPN connected"}},
      {"input's control characters",
       "apps \"com.example.bank\\x1b[8m\"\nprefs set usePersistMode false\nboot\nfront "
       "\"com.example.bank\\x1b[8m\"\nwait 1s\n",
       {"com.example.bank\\x1B[8m",
        "settling delay starts: 0.8 s (com.example.bank\\x1B[8m in "
        "front)&#10;0.8 s: settling delay ends"}},
  };
  for (const Case& c : cases) {
    RunOptions options;
    options.svgFile = folder_ + "/run.svg";
    std::FILE* out = std::tmpfile();
    playScenario(parseScenario("case.scn", c.scenario), options, out);
    std::fclose(out);
    std::ifstream in(options.svgFile, std::ios::binary);
    const std::string picture((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    EXPECT_EQ(picture.find('\x1b'), std::string::npos) << c.what;
    for (const std::string& part : c.shown) {
      EXPECT_NE(picture.find(part), std::string::npos) << c.what << ": no " << part;
    }
  }
}

TEST_F(RunReport, AnInertEngineSaysWhy) {
  const json report = play("apps com.example.bank\nboot\n");
  bool said = false;
  for (const json& e : report["events"]) {
    if (e["kind"] != "engine") continue;
    said = true;
    EXPECT_EQ(e["installed"], false);
    EXPECT_NE(e["text"].get<std::string>().find("no preferences file"), std::string::npos)
        << e.dump();
  }
  EXPECT_TRUE(said);
}

}  // namespace
}  // namespace harbrite::sim
