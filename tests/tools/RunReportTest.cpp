// What a run reports beyond its checks: the exposure (an enabled application in front while the
// VPN is not connected), measured on real runs of the engine, the JSON that carries it, and the
// picture as laid out.
#include <algorithm>
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
#include "tools/SvgLayout.h"
#include "tools/SvgReport.h"

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

// The picture as laid out, for a scenario given as text or as a file of scenarios/.
picture::Picture layOutRun(const std::string& text, RunRecord* record = nullptr) {
  RunRecord played;
  std::FILE* out = std::tmpfile();
  playScenario(parseScenario("case.scn", text), RunOptions{}, out, stderr, &played);
  std::fclose(out);
  if (record != nullptr) *record = played;
  return picture::layOut(played);
}
std::string bundledScenario(const std::string& name) {
  std::ifstream in(std::string(HARBRITE_SCENARIO_DIR) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Checks close together share one mark that counts them and says how many failed; its count is
// drawn inside the page even at the right edge, where it goes before the mark.
TEST_F(RunReport, ThePictureCountsClustersOfChecksWithTheirFailures) {
  const picture::Picture failed =
      layOutRun("boot\nwait 1s\nexpect vpn off\nexpect vpn on\nexpect vpn off\nexpect vpn off\n");
  ASSERT_EQ(failed.checks.size(), 1u);
  const picture::CheckCluster& four = failed.checks[0];
  EXPECT_EQ(four.count, 4);
  EXPECT_EQ(four.failed, 1);
  EXPECT_EQ(four.label.text,
            "\xC3\x97"
            "4, 1 failed");
  EXPECT_NE(four.tooltip.find("expect vpn on: check failed"), std::string::npos) << four.tooltip;
  // The page's last instant: the count goes before the mark, and within the page.
  EXPECT_DOUBLE_EQ(four.x, failed.plotLeft + failed.plotWidth);
  EXPECT_LE(four.label.right(), four.x);
  EXPECT_LE(four.label.right(), failed.width);

  // persist-ios15 ends with 14 checks at its last instant.
  const picture::Picture persist = layOutRun(bundledScenario("persist-ios15.scn"));
  ASSERT_FALSE(persist.checks.empty());
  const picture::CheckCluster& last = persist.checks.back();
  EXPECT_EQ(last.count, 14);
  EXPECT_EQ(last.failed, 0);
  EXPECT_EQ(last.label.text,
            "\xC3\x97"
            "14");
  EXPECT_GT(last.label.left(), persist.checks[persist.checks.size() - 2].x);
  EXPECT_LE(last.label.right(), persist.width);
  // A cluster's tooltip lists its failures and up to 8 passes, then how many more.
  EXPECT_NE(last.tooltip.find("\nand 6 more"), std::string::npos) << last.tooltip;
}

// Events at one instant share one mark with their count and every event in its tooltip; a lane
// that changes at the run's last instant says to what.
TEST_F(RunReport, ThePictureCountsEventsAtOneInstantAndShowsTheLastInstant) {
  RunRecord record;
  const picture::Picture user =
      layOutRun("boot\nwait 1s\nuser vpn on\nuser vpn off\nuser vpn on\n", &record);
  ASSERT_EQ(user.events.size(), 2u);  // the inert engine at boot, then the user's three
  const picture::Marker& hand = user.events[1];
  EXPECT_EQ(hand.kind, picture::Marker::Kind::User);
  EXPECT_EQ(hand.count, 3);
  EXPECT_EQ(hand.tooltip,
            "1 s: the user switches the VPN on in Control Center\n"
            "1 s: the user switches the VPN off in Control Center\n"
            "1 s: the user switches the VPN on in Control Center");
  // At the right edge, the count alone has room after the mark.
  EXPECT_EQ(hand.label.text,
            "\xC3\x97"
            "3");
  EXPECT_LE(hand.label.right(), user.width);
  EXPECT_EQ(user.lane(picture::Lane::VPN).changeAtEnd, "at the end (1 s): VPN connected");
  EXPECT_FALSE(user.lane(picture::Lane::Front).changeAtEnd);
  // The picture keeps the tooltip's line breaks.
  EXPECT_NE(svgReport(record).find("Control Center&#10;1 s: the user switches"), std::string::npos);
  // A label with no room after a mark at the right edge goes before it.
  const picture::Picture pane = layOutRun("boot\nwait 1s\npane set note \"x\"\n");
  ASSERT_FALSE(pane.events.empty());
  EXPECT_EQ(pane.events.back().label.text, "settings: note");
  EXPECT_LE(pane.events.back().label.right(), pane.events.back().x);

  // enforcement-changes: seven applications terminated at one instant.
  const picture::Picture enforcement = layOutRun(bundledScenario("enforcement-changes.scn"));
  int terminations = 0;
  for (const picture::Marker& m : enforcement.events) {
    if (m.kind != picture::Marker::Kind::Terminated || m.count != 7) continue;
    ++terminations;
    EXPECT_EQ(m.label.text.rfind("7 terminated", 0), 0u) << m.label.text;
    EXPECT_EQ(std::count(m.tooltip.begin(), m.tooltip.end(), '\n'), 6) << m.tooltip;
  }
  EXPECT_EQ(terminations, 1);

  // The demo's VPN goes off at its last instant, 4 s.
  const picture::Picture demo = layOutRun(bundledScenario("demo.scn"));
  EXPECT_EQ(demo.lane(picture::Lane::VPN).changeAtEnd, "at the end (4 s): VPN disconnected");
}

// A run stopped by an error says so in the heading, in red, with the whole reason over it.
TEST_F(RunReport, ThePictureHeadingSaysWhereTheRunStopped) {
  const picture::Picture stopped =
      layOutRun("apps com.example.bank\nboot\nexpect vpn off\npane set enabledApplications 3\n");
  EXPECT_FALSE(stopped.heading.success);
  EXPECT_EQ(stopped.heading.outcome.text.rfind("stopped at line 4", 0), 0u)
      << stopped.heading.outcome.text;
  EXPECT_EQ(stopped.heading.stopped.rfind("the run stopped at case.scn:4: could not run: ", 0), 0u)
      << stopped.heading.stopped;
  const picture::Picture passed = layOutRun("apps com.example.bank\nboot\nexpect vpn off\n");
  EXPECT_TRUE(passed.heading.success);
  EXPECT_EQ(passed.heading.outcome.text, "1 check, all passed");
  EXPECT_EQ(passed.heading.stopped, "");
}

// Text from input reaches the picture with its control characters written out, while the
// picture's own line breaks stay.
TEST_F(RunReport, ThePictureWritesOutInputsControlCharacters) {
  RunRecord record;
  const picture::Picture p = layOutRun(
      "apps \"com.example.bank\\x1b[8m\"\nprefs set usePersistMode false\nboot\nfront "
      "\"com.example.bank\\x1b[8m\"\nwait 1s\n",
      &record);
  const picture::Lane& front = p.lane(picture::Lane::Front);
  ASSERT_FALSE(front.segments.empty());
  EXPECT_EQ(front.segments.back().tooltip.rfind("com.example.bank\\x1B[8m (not enabled)", 0), 0u)
      << front.segments.back().tooltip;
  const picture::Lane& delays = p.lane(picture::Lane::Delays);
  ASSERT_EQ(delays.segments.size(), 1u);
  EXPECT_EQ(delays.segments[0].tooltip.rfind("0 s: settling delay starts: 0.8 s "
                                             "(com.example.bank\\x1B[8m in front)\n0.8 s: "
                                             "settling delay ends",
                                             0),
            0u)
      << delays.segments[0].tooltip;
  const std::string svg = svgReport(record);
  EXPECT_EQ(svg.find('\x1b'), std::string::npos);
  EXPECT_NE(svg.find("(com.example.bank\\x1B[8m in front)&#10;0.8 s: settling delay ends"),
            std::string::npos);
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
