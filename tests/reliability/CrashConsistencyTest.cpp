// Writers killed with SIGKILL at random points while a reader in another process keeps reading
// the same files. A kill lands either exactly before or after a chosen call into the file layer
// (so that every step of a replacement is hit), or whenever the parent's signal arrives while the
// child writes on and on. The reader must only ever see a whole old or a whole new file; the
// temporaries that killed writers leave behind are counted, never read, and removed by the next
// write of the same file, so that there is never more than one per file.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "host/Foundation.h"
#include "host/Platform.h"
#include "host/PropertyList.h"
#include "hostsim/FileLayer.h"
#include "hostsim/PlistCodec.h"
#include "hostsim/SettingsApp.h"
#include "tests/reliability/Figures.h"
#include "tests/reliability/Files.h"
#include "tests/reliability/Processes.h"
#include "tests/support/TestDevice.h"

namespace harbrite::test {
namespace {

// Kills its process with SIGKILL just before or just after its n-th call; counts calls.
class KillLayer : public hostsim::FileLayerWrapper {
 public:
  KillLayer(long killAt, bool afterCall)
      : FileLayerWrapper(hostsim::posixFileLayer()), killAt_(killAt), after_(afterCall) {}
  long calls() const { return calls_; }

  int open(const char* p, int f, mode_t m) override {
    return step([&] { return FileLayerWrapper::open(p, f, m); });
  }
  ssize_t read(int fd, void* b, std::size_t n) override {
    return step([&] { return FileLayerWrapper::read(fd, b, n); });
  }
  ssize_t write(int fd, const void* b, std::size_t n) override {
    return step([&] { return FileLayerWrapper::write(fd, b, n); });
  }
  int fchmod(int fd, mode_t m) override {
    return step([&] { return FileLayerWrapper::fchmod(fd, m); });
  }
  int fsync(int fd) override {
    return step([&] { return FileLayerWrapper::fsync(fd); });
  }
  int close(int fd) override {
    return step([&] { return FileLayerWrapper::close(fd); });
  }
  int rename(const char* a, const char* b) override {
    return step([&] { return FileLayerWrapper::rename(a, b); });
  }
  int unlink(const char* p) override {
    return step([&] { return FileLayerWrapper::unlink(p); });
  }
  int stat(const char* p, struct stat* s) override {
    return step([&] { return FileLayerWrapper::stat(p, s); });
  }

 private:
  template <class F>
  std::invoke_result_t<F> step(F&& call) {
    const bool here = ++calls_ == killAt_;
    if (here && !after_) ::raise(SIGKILL);
    auto result = call();
    if (here && after_) ::raise(SIGKILL);
    return result;
  }
  long killAt_;
  bool after_;
  long calls_ = 0;
};

// One file under test: where it is, and every content a reader may find in it.
struct Watched {
  std::string file;  // host path
  std::function<bool(const std::string&)> valid;
};

struct ReaderReport {
  long reads = 0;
  long bad = 0;
  char firstBad[400] = {};
};

// A reader process: reads every watched file through the system's own file reading, again and
// again, until `stop` becomes readable; then reports.
pid_t startReader(const std::vector<Watched>& watched, int stop, int report) {
  return spawn([&] {
    ReaderReport r;
    while (!readable(stop)) {
      for (const Watched& w : watched) {
        std::string bytes;
        const bool read = hostsim::readWholeFile(w.file, bytes);
        ++r.reads;
        if (read && w.valid(bytes)) continue;
        if (r.bad++ == 0) {
          const std::string what = (read ? "read: " : "no file: ") + bytes;
          std::strncpy(r.firstBad, what.c_str(), sizeof r.firstBad - 1);
        }
      }
    }
    return writeFully(report, &r, sizeof r) ? 0 : 1;
  });
}

std::mt19937& generator() {
  static std::mt19937 generator = [] {
    const char* fixed = std::getenv("HARBRITE_RELIABILITY_SEED");
    const unsigned seed = fixed != nullptr ? static_cast<unsigned>(std::strtoul(fixed, nullptr, 10))
                                           : std::random_device{}();
    std::cout << "crash trials seeded with " << seed << " (HARBRITE_RELIABILITY_SEED)\n";
    return std::mt19937(seed);
  }();
  return generator;
}

// A writer put through the trials: `prepare` runs in the parent before each trial, `write` in
// the child (cycle by cycle).
struct Writer {
  std::string name;
  const Watched* target = nullptr;
  std::function<void()> prepare;
  std::function<void(int cycle)> write;
  int cycles = 2;  // per child, for the exact kills
};

struct Tally {
  long trials = 0;
  long leftovers = 0;
};

// Checks what a killed writer left: the file whole and valid, at most one temporary beside it.
// A child that finished before its kill came is no trial, but what it left is checked all the
// same.
void checkAfterKill(const Writer& w, int status, Tally& tally) {
  if (WIFSIGNALED(status)) {
    ASSERT_EQ(WTERMSIG(status), SIGKILL);
    ++tally.trials;
  } else {
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  const std::string bytes = bytesOf(w.target->file);
  ASSERT_TRUE(w.target->valid(bytes)) << bytes;
  const auto temporaries = temporariesOf(w.target->file);
  ASSERT_LE(temporaries.size(), 1u) << "temporaries pile up";
  tally.leftovers += static_cast<long>(temporaries.size());
}

// Kills at an exact call: before or after the k-th call into the file layer, k drawn from every
// call that `cycles` writes make.
void killAtExactCalls(const Writer& w, int trials, Tally& tally) {
  SCOPED_TRACE(w.name + ", exact kills");
  w.prepare();
  KillLayer counting(-1, false);
  {
    // The same calls a child makes, counted in the parent.
    hostsim::setFileLayer(&counting);
    for (int cycle = 0; cycle < w.cycles; ++cycle) w.write(cycle);
    hostsim::setFileLayer(nullptr);
  }
  ASSERT_GT(counting.calls(), 10);
  std::uniform_int_distribution<long> callAt(1, counting.calls());
  for (int i = 0; i < trials; ++i) {
    w.prepare();
    const long at = callAt(generator());
    const bool after = generator()() % 2 == 1;
    const pid_t child = spawn([&] {
      KillLayer layer(at, after);
      hostsim::setFileLayer(&layer);
      for (int cycle = 0; cycle < w.cycles; ++cycle) w.write(cycle);
      return 0;
    });
    SCOPED_TRACE("call " + std::to_string(at) + (after ? ", after it" : ", before it"));
    checkAfterKill(w, reap(child), tally);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// Kills whenever the signal lands: the child writes on and on, telling the parent after each
// write; the parent kills it after 0 to 2 of them.
void killWhileWriting(const Writer& w, int trials, Tally& tally) {
  SCOPED_TRACE(w.name + ", kills in flight");
  for (int i = 0; i < trials; ++i) {
    w.prepare();
    Pipe progress;
    const pid_t child = spawn([&] {
      progress.closeRead();
      for (int cycle = 0;; ++cycle) {
        w.write(cycle);
        if (!writeFully(progress.writeEnd(), "w", 1)) return 1;
      }
    });
    progress.closeWrite();
    const int writes = static_cast<int>(generator()() % 3);
    char done;
    for (int n = 0; n < writes; ++n) readFully(progress.readEnd(), &done, 1);
    ::kill(child, SIGKILL);
    checkAfterKill(w, reap(child), tally);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

const std::string kOtherLines[2] = {"BellweirWiFiState=NO\n", "BellweirBluetoothState=YES\n"};
std::string stateText(bool on) {
  return kOtherLines[0] + "VPNState=" + (on ? "YES" : "NO") + "\n" + kOtherLines[1];
}

host::Dictionary legacyPrefs() {
  host::Dictionary d;
  d.set("usePersistMode", host::Value(false));
  d.set("enabled-com.example.bank", host::Value(true));
  d.set("enabled-com.example.mail", host::Value(true));
  d.set("enabled-com.example.news", host::Value(false));
  d.set("accentColour", host::Value("teal"));
  return d;
}

class CrashConsistency : public ::testing::Test {
 protected:
  void SetUp() override {
    device_.config().apps = {"com.example.bank", "com.example.mail"};
    putBytes(prefsFile(), hostsim::encodeDictionary(legacyPrefs()));
    putBytes(stateFile(), stateText(false));
    device_.boot();
    ASSERT_TRUE(device_.engineInstalled());
    migrate_ = device_.engineFunction<void()>("migratePreferencesIfNeeded");
    ASSERT_NE(migrate_, nullptr);
    // What the migration makes of the legacy file, and every state text.
    migrate_();
    migrated_ = bytesOf(prefsFile());
    ASSERT_NE(migrated_, hostsim::encodeDictionary(legacyPrefs()));
    state_ = {stateFile(),
              [](const std::string& b) { return b == stateText(true) || b == stateText(false); }};
    const std::string legacy = hostsim::encodeDictionary(legacyPrefs());
    const std::string migrated = migrated_;
    prefs_ = {prefsFile(),
              [legacy, migrated](const std::string& b) { return b == legacy || b == migrated; }};
  }

  std::string stateFile() const { return device_.hostFile(device_.featureStateFile()); }
  std::string prefsFile() const { return device_.hostFile(device_.preferencesFile()); }
  bool recordedVPN() const {
    return host::msgSend<bool, host::id>(device_.springBoard(),
                                         host::sel_registerName("readStateFromFileForFeature:"),
                                         host::stringWithUTF8String("VPN").get());
  }
  void setVPNState(bool on) const {
    host::msgSend<void, bool>(device_.springBoard(), host::sel_registerName("setVPNState:"), on);
  }

  Writer engineWriter() {
    Writer w;
    w.name = "setVPNState:";
    w.target = &state_;
    w.prepare = [] {};
    // Each cycle wishes the opposite of the record, so that every cycle writes.
    w.write = [this](int) { setVPNState(!recordedVPN()); };
    w.cycles = 3;
    return w;
  }
  Writer migrationWriter() {
    Writer w;
    w.name = "migratePreferencesIfNeeded";
    w.target = &prefs_;
    w.prepare = [this] {
      hostsim::replaceFileAtomically(prefsFile(), hostsim::encodeDictionary(legacyPrefs()));
    };
    // In flight, each cycle puts the legacy file back first, so that every cycle writes.
    w.write = [this](int cycle) {
      if (cycle > 0) migrationWriter().prepare();
      migrate_();
    };
    w.cycles = 1;
    return w;
  }

  TestDevice device_;
  void (*migrate_)() = nullptr;
  std::string migrated_;
  Watched state_;
  Watched prefs_;
};

struct Plan {
  Writer writer;
  int exactKills;
  int killsInFlight;
};

// Runs the plans' trials while a reader process reads the watched files throughout; checks what
// the reader saw and reports the figures.
void runTrials(const std::vector<Watched>& watched, const std::vector<Plan>& plans) {
  Pipe stop, report;
  const pid_t reader = startReader(watched, stop.readEnd(), report.writeEnd());
  report.closeWrite();

  Tally tally;
  for (const Plan& plan : plans) {
    killAtExactCalls(plan.writer, plan.exactKills, tally);
    if (::testing::Test::HasFatalFailure()) break;
    killWhileWriting(plan.writer, plan.killsInFlight, tally);
    if (::testing::Test::HasFatalFailure()) break;
  }

  writeFully(stop.writeEnd(), "s", 1);
  ReaderReport r;
  ASSERT_TRUE(readFully(report.readEnd(), &r, sizeof r));
  EXPECT_EQ(reap(reader), 0);
  EXPECT_GT(r.reads, 0);
  EXPECT_EQ(r.bad, 0) << r.firstBad;
  long planned = 0;
  for (const Plan& plan : plans) planned += plan.exactKills + plan.killsInFlight;
  // Nearly every child is killed; one that finishes first only checks the files.
  EXPECT_GE(tally.trials, planned * 9 / 10);

  addFigure("crash trials", tally.trials);
  addFigure("temporaries left by killed writers", tally.leftovers);
  addFigure("reads by the reader processes", r.reads);
}

TEST_F(CrashConsistency, KilledEngineWritersNeverLeaveAPartialFileForAReader) {
  runTrials({state_, prefs_}, {{engineWriter(), 150, 100}, {migrationWriter(), 80, 50}});
  // The next write of a live process removes what the dead ones left.
  setVPNState(!recordedVPN());
  migrationWriter().prepare();
  migrate_();
  EXPECT_EQ(temporariesBeside(stateFile()), std::vector<std::string>{});  // both files' folder
}

// A temporary that a killed writer left is never taken for data, and the next writer removes it;
// temporaries of live writers, of other files, and names of another form stay.
TEST_F(CrashConsistency, TemporariesOfDeadWritersAreIgnoredThenRemoved) {
  struct DieAtRename : hostsim::FileLayerWrapper {
    DieAtRename() : FileLayerWrapper(hostsim::posixFileLayer()) {}
    int rename(const char*, const char*) override { return ::raise(SIGKILL); }
  };
  ASSERT_FALSE(recordedVPN());
  // A writer killed just before its rename leaves its complete temporary: VPNState=YES.
  const pid_t dead = spawn([&] {
    DieAtRename layer;
    hostsim::setFileLayer(&layer);
    setVPNState(true);
    return 0;
  });
  ASSERT_TRUE(WIFSIGNALED(reap(dead)));
  const auto left = temporariesBeside(stateFile());
  ASSERT_EQ(left.size(), 1u);
  const std::string folder = stateFile().substr(0, stateFile().rfind('/') + 1);
  EXPECT_EQ(bytesOf(folder + left[0]), stateText(true));
  EXPECT_FALSE(recordedVPN());

  // A live writer, blocked in the middle of its work, and other names.
  Pipe hold;
  const pid_t live = spawn([&] {
    hold.closeWrite();
    char c;
    readFully(hold.readEnd(), &c, 1);
    return 0;
  });
  hold.closeRead();
  const std::string stateName = stateFile().substr(folder.size());
  const std::vector<std::string> kept = {
      stateName + ".hbtmp." + std::to_string(live) + ".0",
      "com.quorvik.harbrite.plist.hbtmp." + std::to_string(dead) + ".0",
      stateName + ".hbtmp.x" + std::to_string(dead) + ".0",
      stateName + ".hbtmp." + std::to_string(dead),
  };
  for (const std::string& name : kept) putBytes(folder + name, "VPNState=YES\n");

  setVPNState(true);
  EXPECT_EQ(bytesOf(stateFile()), stateText(true));
  std::set<std::string> now;
  for (const std::string& name : temporariesBeside(stateFile())) now.insert(name);
  EXPECT_EQ(now, std::set<std::string>(kept.begin(), kept.end()));

  hold.closeWrite();
  EXPECT_EQ(reap(live), 0);
}

// The pane's writers in a Settings app, killed the same way.
class PaneCrashConsistency : public ::testing::Test {
 protected:
  PaneCrashConsistency() : app_(device_.root()) {}
  void SetUp() override {
    host::Dictionary prefs;
    prefs.set("enabledApplications", host::Value(host::Array{host::Value("com.example.bank")}));
    prefs.set("accentColour", host::Value("teal"));
    putBytes(prefsFile(), hostsim::encodeDictionary(prefs));
    putBytes(stateFile(), stateText(true));
    app_.open();
    state_ = {stateFile(),
              [](const std::string& b) { return b == stateText(true) || b == stateText(false); }};
    // Every row change keeps what the page did not change.
    prefs_ = {prefsFile(), [](const std::string& b) {
                const host::Result<host::Dictionary> d = hostsim::readDictionaryBytes(b);
                return d.ok() && d->size() == 3 && d->find("accentColour") != nullptr &&
                       *d->find("accentColour") == host::Value("teal") &&
                       d->find("usePersistMode") != nullptr;
              }};
    app_.set("usePersistMode", host::Value(false));
  }
  std::string stateFile() const { return device_.hostFile(device_.featureStateFile()); }
  std::string prefsFile() const { return device_.hostFile(device_.preferencesFile()); }

  TestDevice device_;
  hostsim::SettingsApp app_;
  Watched state_;
  Watched prefs_;
};

TEST_F(PaneCrashConsistency, KilledSettingsWritersNeverLeaveAPartialFileForAReader) {
  Writer change;
  change.name = "setPreferenceValue:specifier:";
  change.target = &prefs_;
  change.prepare = [] {};
  change.write = [this](int cycle) { app_.set("usePersistMode", host::Value(cycle % 2 == 0)); };
  change.cycles = 2;

  Writer reset;
  reset.name = "resetVPNState";
  reset.target = &state_;
  // The record is on again before each trial, so that the reset changes it.
  reset.prepare = [this] { hostsim::replaceFileAtomically(stateFile(), stateText(true)); };
  reset.write = [this](int) { app_.resetVPN(); };
  reset.cycles = 2;

  runTrials({state_, prefs_}, {{change, 80, 50}, {reset, 80, 50}});
  app_.set("usePersistMode", host::Value(true));
  EXPECT_TRUE(app_.resetVPN());
  EXPECT_EQ(temporariesBeside(stateFile()), std::vector<std::string>{});
}

}  // namespace
}  // namespace harbrite::test
