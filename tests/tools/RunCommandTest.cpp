// `harbrite-sim run` as a user runs it: a scenario that cannot be played stops before anything
// happens, with one line on standard error and exit status 2; a failed check is reported with
// its file and line, and the run goes on to the end.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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
  Outcome run(const std::string& arguments, const std::string& environment = "") {
    const std::string out = folder_ + "/stdout", err = folder_ + "/stderr";
    const std::string command =
        environment + "'" + HARBRITE_SIM + "' " + arguments + " >'" + out + "' 2>'" + err + "'";
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
  EXPECT_NE(o.out.find("\n1 check of 3 failed\n"), std::string::npos) << o.out;

  // Text from the scenario reaches the terminal escaped: a check cannot forge a summary line
  // nor hide the real one behind a terminal's escape sequence.
  const Outcome forged = run("run --quiet '" +
                             write("forged.scn",
                                   "boot\nexpect notified \"x\\nall checks passed (3 run)\\n"
                                   "exposure: 0 s\\x1b[8m\"\n") +
                             "'");
  EXPECT_EQ(forged.status, 1);
  EXPECT_EQ(forged.out.find('\x1b'), std::string::npos) << forged.out;
  EXPECT_EQ(forged.out.find("\nall checks passed"), std::string::npos) << forged.out;
  EXPECT_NE(forged.out.find("x\\nall checks passed (3 run)\\nexposure: 0 s\\x1B[8m"),
            std::string::npos)
      << forged.out;
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

// Every command exits 0 on success, 1 when a check failed or a change was not made, and 2 on
// bad usage or bad input, CLI11's own errors included.
TEST_F(RunCommand, OneSetOfExitStatusesForEveryCommand) {
  const std::string device = "'" + folder_ + "/device'";
  const std::string good = write("good.scn", "boot\nexpect engine inert\n");
  const std::string failing = write("failing.scn", "boot\nexpect engine installed\n");
  struct Row {
    std::string arguments;
    int status;
  };
  const std::vector<Row> rows = {
      {"run '" + good + "'", 0},
      {"run '" + failing + "'", 1},
      {"--help", 0},
      {"run --help", 0},
      {"", 2},
      {"launch", 2},
      {"help", 2},
      {"--version", 0},
      {"run --fast '" + good + "'", 2},
      {"run '" + good + "' '" + good + "'", 2},
      {"run \"\"", 2},
      {"settings frobnicate", 2},
      {"settings set usePersistMode", 2},
      {"settings --device " + device + " set note 'a b'", 2},
      // A read never creates anything: no device there yet.
      {"settings get note --device " + device, 2},
      {"settings --device " + device, 2},
      {"settings reset-vpn --device " + device, 1},  // no feature state file: the reset says NO
      {"settings get note --device " + device, 0},
      // A change needs a device to keep it.
      {"settings set note x", 2},
      {"settings reset-vpn", 2},
      // Neither "/" nor a folder holding something else is a device.
      {"settings --device / get note", 2},
      {"run --device / '" + good + "'", 2},
      {"run --device '" + folder_ + "' '" + good + "'", 2},
      // A scenario that cannot be read: standard input closed or a folder; a folder as FILE.
      {"run - <&-", 2},
      {"run - <'" + folder_ + "'", 2},
      {"run '" + folder_ + "'", 2},
      // An output that cannot be written stops the run before it is played.
      {"run --json '" + folder_ + "/none/x.json' '" + good + "'", 2},
      {"run --svg - --json - '" + good + "'", 2},
  };
  for (const Row& row : rows) {
    const Outcome o = run(row.arguments);
    EXPECT_EQ(o.status, row.status) << row.arguments << "\n" << o.out << o.err;
    if (row.status == 2) {
      EXPECT_EQ(o.out, "") << row.arguments;
      EXPECT_NE(o.err, "") << row.arguments;
      EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << "one line: " << o.err;
    }
  }
  // A word that is not a command is named, with the nearest command.
  EXPECT_EQ(run("rn").err,
            "harbrite-sim: the command \"rn\" is not one of run or settings (did you mean run?)\n");
}

// A scenario from standard input; a function that answers has its answer in the timeline.
TEST_F(RunCommand, StandardInputAndTheAnswersOfCalls) {
  const std::string scenario = write("calls.scn",
                                     "ios 15.4\n"
                                     "boot\n"
                                     "call isIOS16\n"
                                     "call isIOS15\n"
                                     "call libroot_dyn_jbrootpath \"/etc/hosts\"\n");
  const Outcome o = run("run - <'" + scenario + "'");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("isIOS16 answered false\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("isIOS15 answered true\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("libroot_dyn_jbrootpath answered \"/var/jb/etc/hosts\"\n"),
            std::string::npos)
      << o.out;
  const Outcome bad = run("run - <'" + write("bad.scn", "boot\ncall system\n") + "'");
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.err.rfind("<stdin>:2: ", 0), 0u) << bad.err;
}

// What only the device can tell stops the run where it happens: file and line, status 2.
TEST_F(RunCommand, AnErrorWhileRunningNamesFileAndLineAndExits2) {
  const std::string scenario = write("picker.scn",
                                     "apps com.example.bank\n"
                                     "pane set enabledApplications 3\n"
                                     "expect prefs enabledApplications absent\n");
  const Outcome o = run("run --quiet '" + scenario + "'");
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err.rfind(scenario + ":2: could not run: ", 0), 0u) << o.err;
  EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << o.err;
  EXPECT_EQ(o.out.find("expect prefs"), std::string::npos) << "the run went on: " << o.out;
  // The summary, the JSON and the picture say that the run stopped, where and why.
  EXPECT_NE(o.out.find("run stopped at " + scenario + ":2: could not run: "), std::string::npos)
      << o.out;
  const Outcome json =
      run("run --quiet --json - --svg '" + folder_ + "/run.svg' '" + scenario + "'");
  EXPECT_EQ(json.status, 2);
  const std::size_t stopped = json.out.find("\"stopped\": {");
  ASSERT_NE(stopped, std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"line\": 2", stopped), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"reason\": \"", stopped), std::string::npos) << json.out;
  const std::string picture = read(folder_ + "/run.svg");
  EXPECT_NE(picture.find("stopped at line 2"), std::string::npos);
  EXPECT_EQ(picture.find("all passed"), std::string::npos);
}

// `settings`: the page alone (the pane's loading only with --verbose), footers and what a closed
// group hides; get prints one value as a scenario writes it; set takes a bare word as a string
// and fails when the file cannot be written; options come before or after the action.
TEST_F(RunCommand, SettingsShowsThePageGetsAValueAndFailsWhenTheWriteFails) {
  const std::string device = "'" + folder_ + "/device'";
  // A change makes the device; it says what changed, and shows the page with --verbose.
  const Outcome changed = run("settings set note hello --device " + device);
  EXPECT_EQ(changed.status, 0);
  EXPECT_EQ(changed.out, "note is now \"hello\"\n");
  const Outcome page = run("settings --device " + device);
  EXPECT_EQ(page.status, 0);
  EXPECT_EQ(page.out.find("Settings"), std::string::npos) << page.out;
  EXPECT_NE(page.out.find("(group switch, hides 2 rows)"), std::string::npos) << page.out;
  EXPECT_NE(page.out.find("  -- The VPN is on while"), std::string::npos) << page.out;
  EXPECT_NE(run("settings --verbose --device " + device).out.find("Settings loads"),
            std::string::npos);

  EXPECT_EQ(run("settings set note hello --device " + device).status, 0);
  EXPECT_EQ(run("settings get note --device " + device).out, "\"hello\"\n");
  EXPECT_EQ(run("settings --device " + device + " set note '[1, \"\\xEF\\xBB\\xBFa\"]'").status, 0);
  EXPECT_EQ(run("settings --device " + device + " get note").out, "[1, \"\\xEF\\xBB\\xBFa\"]\n");
  EXPECT_EQ(run("settings --device " + device + " get other").out, "absent\n");

  // A device keeps its set-up: after a run with its own jbroot prefix, every command reads and
  // writes where the device's pane does.
  const std::string relocated = folder_ + "/relocated";
  const std::string setUp =
      write("relocated.scn", "libroot /x\nprefs set usePersistMode true\nboot\n");
  ASSERT_EQ(run("run --device '" + relocated + "' '" + setUp + "'").status, 0);
  EXPECT_EQ(run("settings get usePersistMode --device '" + relocated + "'").out, "true\n");
  EXPECT_EQ(run("settings set note hello --device '" + relocated + "'").status, 0);
  EXPECT_EQ(run("settings get note --device '" + relocated + "'").out, "\"hello\"\n");
  // --verbose, after the action as before it, says which file get read.
  EXPECT_EQ(run("settings get note --device '" + relocated + "' --verbose").out,
            "  read /x/var/mobile/Library/Preferences/com.quorvik.harbrite.plist\n\"hello\"\n");
  EXPECT_EQ(run("settings --verbose --device '" + relocated + "' get other").out,
            "  read /x/var/mobile/Library/Preferences/com.quorvik.harbrite.plist\nabsent\n");
  EXPECT_TRUE(
      fs::exists(relocated + "/x/var/mobile/Library/Preferences/com.quorvik.harbrite.plist"));

  // The preferences file's place is taken by a folder: no write can replace it.
  const std::string blocked = folder_ + "/blocked";
  fs::create_directories(blocked +
                         "/var/jb/var/mobile/Library/Preferences/com.quorvik.harbrite.plist");
  const Outcome failed = run("settings --device '" + blocked + "' set usePersistMode true");
  EXPECT_EQ(failed.status, 1) << failed.err;
  EXPECT_NE(failed.err.find("could not be written"), std::string::npos) << failed.err;
}

// The options `settings` takes before an action may come after it too, so each action's help lists
// every one of them; and each operand the help shows has a description.
TEST_F(RunCommand, EachSettingsActionsHelpListsEveryOptionItTakes) {
  auto optionsIn = [](const std::string& help) {
    std::vector<std::string> names;
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("  --", 0) == 0) names.push_back(line.substr(2, line.find(' ', 2) - 2));
    }
    return names;
  };
  const std::vector<std::string> taken = optionsIn(run("settings --help").out);
  ASSERT_FALSE(taken.empty());
  const std::vector<std::pair<std::string, int>> actions = {
      {"get", 1}, {"set", 2}, {"reset-vpn", 0}};
  for (const auto& [action, operands] : actions) {
    const Outcome help = run("settings " + action + " --help");
    EXPECT_EQ(help.status, 0) << action;
    const std::vector<std::string> listed = optionsIn(help.out);
    for (const std::string& option : taken) {
      EXPECT_NE(std::find(listed.begin(), listed.end(), option), listed.end())
          << action << " --help does not list " << option << ":\n"
          << help.out;
    }
    // An operand's line: its name, its type, then what it is.
    int described = 0;
    std::istringstream lines(help.out);
    for (std::string line; std::getline(lines, line);) {
      const std::string type = " TEXT REQUIRED ";
      const std::size_t at = line.find(type);
      if (line.rfind("  --", 0) == 0 || at == std::string::npos) continue;
      EXPECT_NE(line.find_first_not_of(' ', at + type.size()), std::string::npos)
          << action << ": " << line;
      ++described;
    }
    EXPECT_EQ(described, operands) << help.out;
  }
}

// What `settings get` prints is a VALUE: pasted into a scenario's `prefs set` and `expect prefs`
// it gives the same value back, for every kind of value, to the bit.
TEST_F(RunCommand, WhatSettingsGetPrintsHoldsWhenPastedIntoAScenario) {
  const std::string device = "'" + folder_ + "/device'";
  const std::vector<std::pair<std::string, std::string>> values = {
      {"0.3333333333333333", "0.3333333333333333"},
      {"18446744073709551615", "18446744073709551615"},  // an integer, not a real
      {"-9223372036854775808", "-9223372036854775808"},
      {"1e300", "1e+300"},
      {"-0.0", "-0.0"},
      {"inf", "inf"},
      {"-- -inf", "-inf"},  // "--": a word starting with "-" is no option
      {"nan", "nan"},
      {"date:2024-01-01T00:00:00.75Z", "date:2024-01-01T00:00:00.75Z"},
      {"date:-1e300", "date:-1e+300"},
      {"data:00ff10", "data:00ff10"},
      {"uid:4294967296", "uid:4294967296"},
      {"'{\"a\": [1, {}], \"b\": data:}'", "{\"a\": [1, {}], \"b\": data:}"},
  };
  std::string scenario = "boot\n";
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto& [typed, printed] = values[i];
    SCOPED_TRACE(typed);
    const std::string key = "k" + std::to_string(i);
    const Outcome set = run("settings --device " + device + " set " + key + " " + typed);
    ASSERT_EQ(set.status, 0) << set.err;
    const Outcome got = run("settings --device " + device + " get " + key);
    EXPECT_EQ(got.out, printed + "\n");
    scenario += "prefs set p" + key + " " + got.out + "expect prefs p" + key + " " + got.out +
                "expect prefs " + key + " " + got.out;
  }
  const Outcome played = run("run --device " + device + " '" + write("paste.scn", scenario) + "'");
  EXPECT_EQ(played.status, 0) << played.out << played.err;
}

// A property list the device cannot keep whole is not written over: `settings set` says why and
// exits 1, and the file stays byte for byte.
TEST_F(RunCommand, SettingsSetKeepsAFileItCannotReadWholeAndSaysWhy) {
  const std::string device = folder_ + "/device";
  ASSERT_EQ(run("settings --device '" + device + "' set note hello").status, 0);
  const std::string prefs =
      device + "/var/jb/var/mobile/Library/Preferences/com.quorvik.harbrite.plist";
  const std::string bytes =
      "<plist><dict><key>big</key><integer>18446744073709551616</integer></dict></plist>";
  write("device/var/jb/var/mobile/Library/Preferences/com.quorvik.harbrite.plist", bytes);
  const Outcome kept = run("settings --device '" + device + "' set zz 1");
  EXPECT_EQ(kept.status, 1);
  EXPECT_NE(kept.err.find("kept as it is"), std::string::npos) << kept.err;
  EXPECT_NE(kept.err.find("18446744073709551616"), std::string::npos) << kept.err;
  EXPECT_EQ(read(prefs), bytes);
}

// A device folder stays in order between processes: the layout's temporaries that a killed
// process left are swept, and a lock that another process does not let go of is waited for a
// bounded time, then named, with status 2.
TEST_F(RunCommand, ADeviceFolderIsSweptAndAHeldLockIsNotWaitedForEver) {
  const std::string device = folder_ + "/device";
  const std::string boot = write("boot.scn", "boot\n");
  const std::string engines = device + "/var/jb/Library/MobileSubstrate/DynamicLibraries";
  fs::create_directories(engines);
  write("device/var/jb/Library/MobileSubstrate/DynamicLibraries/Harbrite.dylib.hbtmp.999991.0",
        std::string(4096, 'x'));
  ASSERT_EQ(run("run --device '" + device + "' '" + boot + "'").status, 0);
  EXPECT_FALSE(fs::exists(engines + "/Harbrite.dylib.hbtmp.999991.0"));

  const int lock = ::open((device + "/.harbrite-lock").c_str(), O_RDWR);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  const Outcome held =
      run("run --device '" + device + "' '" + boot + "'", "HARBRITE_LOCK_WAIT_MS=0 ");
  ::close(lock);
  EXPECT_EQ(held.status, 2);
  EXPECT_NE(held.err.find("another process holds it"), std::string::npos) << held.err;
}

// SIGINT or SIGTERM during a run on a temporary device removes the device; the lines of a live
// run arrive as they happen, through a pipe.
TEST_F(RunCommand, AnInterruptedRunRemovesItsTemporaryDevice) {
  const std::string scenario = write("long.scn", "boot\nwait 600s\n");
  for (int signal : {SIGINT, SIGTERM}) {
    const std::string temporary = folder_ + "/tmp" + std::to_string(signal);
    fs::create_directories(temporary);
    // The child's environment is made before the fork: between fork and exec, only
    // async-signal-safe calls.
    std::vector<std::string> environment = {"TMPDIR=" + temporary};
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string(*e).rfind("TMPDIR=", 0) != 0) environment.push_back(*e);
    }
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      dup2(pipeEnds[1], STDOUT_FILENO);
      close(pipeEnds[0]);
      close(pipeEnds[1]);
      execle(HARBRITE_SIM, HARBRITE_SIM, "run", "--real-time", scenario.c_str(), nullptr,
             envp.data());
      _exit(127);
    }
    close(pipeEnds[1]);
    // Blocks until the run has reached its wait: its lines come through the pipe at once.
    std::FILE* out = fdopen(pipeEnds[0], "r");
    std::string seen;
    char line[512];
    while (seen.find("> wait 600s") == std::string::npos && std::fgets(line, sizeof line, out)) {
      seen += line;
    }
    EXPECT_NE(seen.find("> wait 600s"), std::string::npos) << seen;
    EXPECT_FALSE(fs::is_empty(temporary)) << "no temporary device while the run runs";
    kill(child, signal);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    std::fclose(out);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_TRUE(fs::is_empty(temporary)) << "the temporary device is left";
  }
}

// Every boot is a simulated process of its own: a hundred restarts run as one timeline, and no
// process registers a class a second time or maps a second image of the engine.
TEST_F(RunCommand, AHundredRestartsEachBootAFreshProcess) {
  std::string scenario =
      "apps com.example.bank\nprefs set enabledApplications [\"com.example.bank\"]\nboot\n";
  for (int i = 0; i < 50; ++i) {
    scenario +=
        "front com.example.bank\nwait 1s\nrespring\nexpect vpn on\nreboot\n"
        "expect vpn off\nexpect record on\nfront home\nwait 1s\n";
  }
  const Outcome played = run("run --json - '" + write("restarts.scn", scenario) + "'");
  ASSERT_EQ(played.status, 0) << played.err;
  const nlohmann::json report = nlohmann::json::parse(played.out);
  int boots = 0, engines = 0, restarts = 0;
  for (const nlohmann::json& e : report["events"]) {
    if (e["kind"] == "boot") {
      ++boots;
      EXPECT_EQ(e["renamed"], 0) << e.dump();
    } else if (e["kind"] == "load" && e.contains("mapped")) {
      ++engines;
      EXPECT_EQ(e["mapped"], 0) << e.dump();
    } else if (e["kind"] == "restart") {
      ++restarts;
    }
  }
  EXPECT_EQ(boots, 101);
  EXPECT_EQ(engines, 101);
  EXPECT_EQ(restarts, 100);
  EXPECT_EQ(report["summary"]["checks"], 150);
}

}  // namespace
}  // namespace harbrite::test
