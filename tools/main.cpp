// harbrite-sim: a simulated iPhone for Harbrite. `run` plays a scenario (the bundled demo when
// no file is given); `settings` shows or changes the settings pane against a device's files.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <vector>

#include "hostsim/Device.h"
#include "hostsim/DeviceSetUp.h"
#include "hostsim/MainQueue.h"
#include "tools/DemoScenario.h"
#include "tools/ExitStatus.h"
#include "tools/Scenario.h"
#include "tools/ScenarioRunner.h"
#include "tools/SettingsCommand.h"

namespace {

using harbrite::sim::kBadInput;

// The largest scenario read: far above any hand-written one.
constexpr std::size_t kMaxScenarioSize = std::size_t{64} << 20;

// A scenario read whole, from a file or standard input ("-"). Only a regular file, a pipe or a
// terminal is read; on failure `why` says what went wrong.
bool readScenario(const std::string& file, std::string& text, std::string& why) {
  const int fd = file == "-" ? STDIN_FILENO : ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  auto fail = [&](const std::string& reason) {
    why = reason;
    if (fd >= 0 && fd != STDIN_FILENO) ::close(fd);
    return false;
  };
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0) return fail(std::strerror(errno));
  if (S_ISDIR(info.st_mode)) return fail("it is a folder");
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(std::strerror(errno));
    if (n == 0) break;
    if (text.size() + static_cast<std::size_t>(n) > kMaxScenarioSize) {
      return fail("it is larger than 64 MiB");
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  if (fd != STDIN_FILENO) ::close(fd);
  return true;
}

// Ends this process as `signal` would have, so that whoever started it sees the interruption.
[[noreturn]] void endBy(int signal) {
  std::signal(signal, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  std::raise(signal);
  _exit(128 + signal);
}

// Plays the scenario on a fresh temporary device that goes away however the run ends, an
// interruption by SIGINT, SIGTERM or SIGHUP included. The run is a child process; this one only
// waits, with the signals blocked and taken by sigwait, so that the cleaning happens outside any
// signal handler and only once the child, the one writer of the device, is gone.
int playOnTemporaryDevice(const harbrite::sim::Scenario& scenario,
                          harbrite::sim::RunOptions options) {
  const std::string root = hostsim::makeTemporaryDirectory();
  sigset_t watched, previous;
  sigemptyset(&watched);
  sigaddset(&watched, SIGINT);
  sigaddset(&watched, SIGTERM);
  sigaddset(&watched, SIGHUP);
  sigaddset(&watched, SIGCHLD);
  sigprocmask(SIG_BLOCK, &watched, &previous);
  std::fflush(nullptr);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) {
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    hostsim::removeTree(root);
    std::fprintf(stderr, "harbrite-sim: cannot start the run\n");
    return kBadInput;
  }
  if (child == 0) {
    // The run dies with this process, should this one be killed outright.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(kBadInput);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    options.deviceRoot = root;
    int status = kBadInput;
    try {
      status = harbrite::sim::playScenario(scenario, options, stdout);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "harbrite-sim: %s\n", harbrite::sim::escapeMessage(e.what()).c_str());
    }
    std::fflush(nullptr);
    _exit(status);
  }

  int interruptedBy = 0;
  int status = 0;
  for (;;) {
    int sig = 0;
    if (sigwait(&watched, &sig) != 0) continue;
    if (sig != SIGCHLD) {
      if (interruptedBy == 0) interruptedBy = sig;
      kill(child, sig);
      continue;
    }
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
  }
  hostsim::removeTree(root);
  if (interruptedBy != 0) endBy(interruptedBy);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    // A closed pipe or a hang-up ends this process as it ended the run; a crash is reported.
    if (sig == SIGPIPE || sig == SIGHUP || sig == SIGINT || sig == SIGTERM) endBy(sig);
    std::fprintf(stderr, "harbrite-sim: the run ended by signal %d\n", sig);
    return 128 + sig;
  }
  return WEXITSTATUS(status);
}

int runCommand(const std::string& file, bool fileGiven, const harbrite::sim::RunOptions& options) {
  if (fileGiven && file.empty()) {
    std::cerr << "harbrite-sim: run: the scenario file name is empty (give a file, - for standard "
                 "input, or nothing for the demo)\n";
    return kBadInput;
  }
  const std::string name = !fileGiven ? "demo.scn (bundled)" : file == "-" ? "<stdin>" : file;
  std::string text;
  if (!fileGiven) {
    text = harbrite::sim::kDemoScenario;
  } else if (std::string why; !readScenario(file, text, why)) {
    std::cerr << harbrite::sim::escapeInput(name) << ":0: cannot read the scenario file: " << why
              << "\n";
    return kBadInput;
  }
  // The outputs are checked before anything is played: a run is not played for nothing.
  if (options.jsonFile == "-" && options.svgFile == "-") {
    std::cerr << "harbrite-sim: run: only one of --json and --svg can go to standard output\n";
    return kBadInput;
  }
  for (const std::string* report : {&options.jsonFile, &options.svgFile}) {
    if (report->empty() || *report == "-") continue;
    const int fd = ::open(report->c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
      std::cerr << "harbrite-sim: run: cannot write " << harbrite::sim::quoteInput(*report) << " ("
                << std::strerror(errno) << ")\n";
      return kBadInput;
    }
    ::close(fd);
  }
  if (!options.deviceRoot.empty()) {
    try {
      hostsim::checkDeviceFolder(options.deviceRoot);
    } catch (const std::invalid_argument& e) {
      std::cerr << "harbrite-sim: run: " << harbrite::sim::quoteInput(options.deviceRoot) << ": "
                << e.what() << "\n";
      return kBadInput;
    }
  }
  harbrite::sim::Scenario scenario;
  try {
    scenario = harbrite::sim::parseScenario(name, text);
  } catch (const harbrite::sim::ScenarioError& e) {
    std::cerr << e.what() << "\n";
    return kBadInput;
  }
  hostsim::MainQueue::setRealTime(options.realTime);
  // A live run's lines go out as they happen, through a pipe too.
  if (options.realTime) std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (options.deviceRoot.empty()) return playOnTemporaryDevice(scenario, options);
  return harbrite::sim::playScenario(scenario, options, stdout);
}

// How many single-character edits turn one word into the other.
std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The word typed where a command (or an action of `settings`) was expected, when it is none:
// one line naming it and the nearest one; empty when the word is a command.
std::string unknownWord(const std::string& word, const std::vector<std::string>& known,
                        const char* what) {
  for (const std::string& k : known) {
    if (word == k) return "";
  }
  std::string nearest = known.front();
  for (const std::string& k : known) {
    if (editDistance(word, k) < editDistance(word, nearest)) nearest = k;
  }
  std::string line = std::string("harbrite-sim: ") + what + " " + harbrite::sim::quoteInput(word) +
                     " is not one of ";
  for (std::size_t i = 0; i < known.size(); ++i) {
    line += (i == 0 ? "" : i + 1 == known.size() ? " or " : ", ") + known[i];
  }
  if (word == "help" || word == "version") {
    line += " (did you mean --" + word + "?)";
  } else if (editDistance(word, nearest) <= std::max<std::size_t>(2, nearest.size() / 2)) {
    line += " (did you mean " + nearest + "?)";
  }
  return line;
}

// Finds the command word and, after `settings`, the action word, and names either when it is
// none of the known ones: CLI11 says only that a subcommand is required.
std::string checkCommandWords(int argc, char** argv) {
  int i = 1;
  while (i < argc && argv[i][0] == '-') ++i;  // --help, --version
  if (i >= argc) return "";
  const std::string command = argv[i];
  std::string error = unknownWord(command, {"run", "settings"}, "the command");
  if (!error.empty() || command != "settings") return error;
  for (++i; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--device") {
      ++i;
    } else if (word.empty() || word[0] != '-') {
      return unknownWord(word, {"get", "set", "reset-vpn"}, "the settings action");
    }
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"harbrite-sim: a simulated iPhone running Harbrite"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("harbrite-sim ") + HARBRITE_VERSION,
                       "print the version number and exit");
  app.footer(harbrite::sim::kExitStatusHelp);

  harbrite::sim::RunOptions runOptions;
  std::string scenarioFile;
  CLI::App* run = app.add_subcommand(
      "run", "play a scenario: FILE, - for standard input, or the bundled demo without FILE");
  CLI::Option* fileOption = run->add_option("FILE", scenarioFile, "the scenario file");
  run->add_option("--device", runOptions.deviceRoot,
                  "the device's root folder, kept afterwards (default: a fresh temporary one)")
      ->option_text("DIR");
  run->add_flag("--real-time", runOptions.realTime,
                "let waits take real time, and print each line as it happens");
  run->add_flag("--quiet", runOptions.quiet, "print only failures and the summary");
  run->add_option("--json", runOptions.jsonFile, "also write the run to this file as JSON")
      ->option_text("FILE");
  run->add_option("--svg", runOptions.svgFile, "also draw the run in this file as an SVG picture")
      ->option_text("FILE");

  harbrite::sim::SettingsOptions settingsOptions;
  CLI::App* settings = app.add_subcommand("settings", "show or change the settings pane");
  settings->require_subcommand(0, 1);
  settings->add_option("--device", settingsOptions.deviceRoot, "the device's root folder")
      ->option_text("DIR");
  settings->add_flag("--verbose", settingsOptions.verbose,
                     "also show what the Settings app and the pane do");
  const char* keyHelp = "a key of the preferences file, as a row names it (usePersistMode)";
  CLI::App* get = settings->add_subcommand("get", "print the preferences file's value of KEY");
  get->add_option("KEY", settingsOptions.key, keyHelp)->required();
  CLI::App* set = settings->add_subcommand("set", "change the row whose key is KEY");
  set->add_option("KEY", settingsOptions.key, keyHelp)->required();
  set->add_option("VALUE", settingsOptions.value,
                  "true, false, a number, \"text\", [a, b], or a bare word as text")
      ->required();
  CLI::App* reset = settings->add_subcommand("reset-vpn", "tap the reset row");
  // --device and --verbose may come after the action too, and each action's help lists them.
  get->add_option("--device", settingsOptions.deviceRoot,
                  "the device's root folder, which must hold a device")
      ->option_text("DIR");
  get->add_flag("--verbose", settingsOptions.verbose,
                "also say which file the value was read from, as the device names it");
  for (CLI::App* change : {set, reset}) {
    change
        ->add_option("--device", settingsOptions.deviceRoot,
                     "the device's root folder, made when it does not exist (required)")
        ->option_text("DIR");
    change->add_flag("--verbose", settingsOptions.verbose,
                     "also show the page, and what the Settings app and the pane do");
  }

  if (const std::string error = checkCommandWords(argc, argv); !error.empty()) {
    std::cerr << error << "\n";
    return kBadInput;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    std::cout << e.what() << "\n";
    return 0;
  } catch (const CLI::ParseError& e) {
    std::cerr << "harbrite-sim: " << harbrite::sim::escapeMessage(e.what())
              << " (see harbrite-sim --help)\n";
    return kBadInput;
  }
  try {
    if (run->parsed()) return runCommand(scenarioFile, fileOption->count() > 0, runOptions);
    using Action = harbrite::sim::SettingsOptions::Action;
    if (get->parsed()) settingsOptions.action = Action::Get;
    if (set->parsed()) settingsOptions.action = Action::Set;
    if (reset->parsed()) settingsOptions.action = Action::ResetVPN;
    return harbrite::sim::settingsCommand(settingsOptions, stdout);
  } catch (const std::exception& e) {
    std::cerr << "harbrite-sim: " << harbrite::sim::escapeMessage(e.what()) << "\n";
    return kBadInput;
  }
}
