// Every writer of the device files, failed at every step of its atomic replacement through the
// file layer's seam: the old file stays byte for byte and keeps its mode, no temporary is left,
// no descriptor leaks, the call ends as it should (silently, or with its answer and log line),
// and the system's next read gives the previous state.
//
// The directory's fsync comes after the rename, when the new file is already the file: a failure
// there (or in opening the directory, first, or closing it) cannot bring the old file back and is
// not a lost write. Every reader already sees the new content, so the writer reports success and the
// next read gives the new state; only the rename's durability across a power cut is not assured.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "dunmereprefs/Shared/FeatureStateLines.h"
#include "host/Foundation.h"
#include "host/Platform.h"
#include "host/PropertyList.h"
#include "hostsim/FileLayer.h"
#include "hostsim/PlistCodec.h"
#include "hostsim/Process.h"
#include "hostsim/SettingsApp.h"
#include "tests/reliability/Figures.h"
#include "tests/reliability/Files.h"
#include "tests/support/StepLayer.h"
#include "tests/support/TestDevice.h"
#include "tools/Scenario.h"

namespace harbrite::test {
namespace {

constexpr mode_t kMode = 0640;
const std::string kStateBefore = "BellweirWiFiState=NO\nVPNState=NO\nBellweirBluetoothState=YES\n";

// What a writer's call answered: nothing for the writers whose outcome is not examined.
struct Answer {
  std::optional<bool> value;
  int error = 0;
};

struct Writer {
  std::string name;
  std::string file;    // host path of the file it replaces
  std::string before;  // what the file holds before each call
  std::size_t maxWrite = SIZE_MAX;
  std::function<Answer()> call;
  // The state as the system itself reads it back.
  std::function<std::string()> observe;
  // The log line a failed write must leave, or empty when every failure is silent.
  std::string failureLog;
};

std::string describe(const host::Result<host::Dictionary>& dictionary) {
  if (!dictionary.ok()) return "(no dictionary)";
  std::map<std::string, std::string> sorted;
  for (const auto& [key, value] : dictionary.value()) sorted[key] = sim::formatValue(value);
  std::string text;
  for (const auto& [key, value] : sorted) text += key + "=" + value + ";";
  return text;
}

bool succeedsDespite(const Fault& fault) {
  if (fault.how == Failure::Interrupted) return true;
  // A name that is taken is skipped for the next one.
  if (fault.step == Step::CreateTemporary && fault.error == EEXIST &&
      fault.occurrence != Fault::kEvery) {
    return true;
  }
  return fault.step == Step::OpenDirectory || fault.step == Step::SyncDirectory ||
         fault.step == Step::CloseDirectory;
}

// Every way each step of one replacement can fail; `dry` is a run of the same call with no
// fault, which says how many writes the content takes.
std::vector<Fault> faultsFor(const StepLayer& dry) {
  std::vector<Fault> faults;
  auto add = [&](Step step, int occurrence, Failure how, int error) {
    faults.push_back(Fault{step, occurrence, how, error});
  };
  for (int e : {EIO, EACCES}) add(Step::Stat, 1, Failure::Error, e);
  for (int e : {EACCES, ENOSPC, EDQUOT, EMFILE, EROFS}) {
    add(Step::CreateTemporary, 1, Failure::Error, e);
  }
  add(Step::CreateTemporary, 1, Failure::Error, EEXIST);
  add(Step::CreateTemporary, Fault::kEvery, Failure::Error, EEXIST);
  for (int i = 1; i <= dry.calls(Step::Write); ++i) {
    for (int e : {EIO, ENOSPC, EDQUOT, EFBIG}) add(Step::Write, i, Failure::Error, e);
    add(Step::Write, i, Failure::NoProgress, 0);
    // A write of one byte cannot be short.
    if (dry.writeSizes()[i - 1] > 1) add(Step::Write, i, Failure::ShortThenError, ENOSPC);
  }
  add(Step::Write, Fault::kEvery, Failure::Interrupted, 0);
  for (int e : {EPERM, EIO}) add(Step::Fchmod, 1, Failure::Error, e);
  for (int e : {EIO, ENOSPC}) add(Step::Fsync, 1, Failure::Error, e);
  for (int e : {EIO, EDQUOT}) add(Step::Close, 1, Failure::Error, e);
  for (int e : {EACCES, EXDEV, EBUSY, EROFS, ENOSPC}) add(Step::Rename, 1, Failure::Error, e);
  for (int e : {EACCES, EMFILE}) add(Step::OpenDirectory, 1, Failure::Error, e);
  add(Step::SyncDirectory, 1, Failure::Error, EIO);
  add(Step::CloseDirectory, 1, Failure::Error, EIO);
  return faults;
}

// Runs the writer under every fault.
void exercise(const Writer& w) {
  SCOPED_TRACE(w.name);
  auto restore = [&] {
    putBytes(w.file, w.before, kMode);
    hostsim::systemLogLines().clear();
  };

  restore();
  const std::string stateBefore = w.observe();
  StepLayer dry(w.maxWrite);
  {
    UsingLayer using_(dry);
    w.call();
  }
  const std::string after = bytesOf(w.file);
  const std::string stateAfter = w.observe();
  ASSERT_NE(after, w.before) << "the call must change the file for its faults to show";
  ASSERT_NE(stateAfter, stateBefore);
  ASSERT_GE(dry.calls(Step::Write), 3) << "each write of the content is failed on its own";
  ASSERT_EQ(modeOf(w.file), kMode);

  for (const Fault& fault : faultsFor(dry)) {
    SCOPED_TRACE(fault.describe());
    restore();
    const std::size_t descriptors = openDescriptors();
    StepLayer layer(w.maxWrite);
    layer.arm(fault);
    Answer answer;
    {
      UsingLayer using_(layer);
      answer = w.call();
    }
    ASSERT_TRUE(layer.fired());
    addFigure("faults injected", 1);
    const bool succeeds = succeedsDespite(fault);

    EXPECT_EQ(bytesOf(w.file), succeeds ? after : w.before);
    EXPECT_EQ(modeOf(w.file), kMode);
    EXPECT_EQ(temporariesBeside(w.file), std::vector<std::string>{});
    EXPECT_EQ(openDescriptors(), descriptors);

    if (answer.value) {
      EXPECT_EQ(*answer.value, succeeds);
      if (!succeeds && w.failureLog.empty()) {
        // Only the file layer itself answers with errno: the one the failing step gave.
        const int expected = fault.how == Failure::NoProgress ? ENOSPC : fault.error;
        EXPECT_EQ(answer.error, expected);
      }
    }
    const auto& log = hostsim::systemLogLines();
    if (succeeds || w.failureLog.empty()) {
      EXPECT_TRUE(log.empty()) << log.front();
    } else {
      ASSERT_EQ(log.size(), 1u);
      EXPECT_NE(log[0].find(w.failureLog), std::string::npos) << log[0];
    }
    EXPECT_EQ(w.observe(), succeeds ? stateAfter : stateBefore);
  }
}

TEST(FaultInjection, AtomicReplacementKeepsTheOldFileAndReportsTheFailingStep) {
  TestDevice device;
  const std::string file = device.root() + "/var/mobile/Library/Preferences/notes.txt";
  Writer w;
  w.name = "replaceFileAtomically";
  w.file = file;
  w.before = "the old content, which a failed write must keep\n";
  w.maxWrite = 16;
  w.call = [file] {
    errno = 0;
    Answer a;
    a.value =
        hostsim::replaceFileAtomically(file, "the new content, written whole or not at all\n");
    a.error = errno;
    return a;
  };
  w.observe = [file] { return bytesOf(file); };
  exercise(w);
}

class EngineFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    device_.config().apps = {"com.example.bank"};
    host::Dictionary prefs;
    prefs.set("enabledApplications", host::Value(host::Array{host::Value("com.example.bank")}));
    device_.writePrefs(prefs);
    device_.boot();
    ASSERT_TRUE(device_.engineInstalled());
  }
  std::string stateFile() const { return device_.hostFile(device_.featureStateFile()); }
  std::string prefsFile() const { return device_.hostFile(device_.preferencesFile()); }
  std::string recordedVPN() const {
    const bool on = host::msgSend<bool, host::id>(
        device_.springBoard(), host::sel_registerName("readStateFromFileForFeature:"),
        host::stringWithUTF8String("VPN").get());
    return on ? "VPNState YES" : "VPNState NO";
  }

  TestDevice device_;
};

TEST_F(EngineFaults, FeatureStateWriteIsSilentAndKeepsTheRecord) {
  Writer w;
  w.name = "writeStateToFileForFeature:enabled:";
  w.file = stateFile();
  w.before = kStateBefore;
  w.maxWrite = 12;
  w.call = [this] {
    host::msgSend<void, host::id, bool>(
        device_.springBoard(), host::sel_registerName("writeStateToFileForFeature:enabled:"),
        host::stringWithUTF8String("VPN").get(), true);
    return Answer{};
  };
  w.observe = [this] { return recordedVPN(); };
  exercise(w);
}

TEST_F(EngineFaults, SwitchingTheVPNKeepsTheRecordWhenItCannotBeWritten) {
  Writer w;
  w.name = "setVPNState:";
  w.file = stateFile();
  w.before = kStateBefore;
  w.maxWrite = 12;
  w.call = [this] {
    host::msgSend<void, bool>(device_.springBoard(), host::sel_registerName("setVPNState:"), true);
    return Answer{};
  };
  w.observe = [this] { return recordedVPN(); };
  exercise(w);
  // The module was switched each time; the record, not the module, is what a failed write keeps.
  EXPECT_TRUE(device_.vpnConnected());
}

TEST_F(EngineFaults, MigrationKeepsTheLegacyFileWhenItCannotBeWritten) {
  host::Dictionary legacy;
  legacy.set("usePersistMode", host::Value(true));
  legacy.set("enabled-com.example.bank", host::Value(true));
  legacy.set("enabled-com.example.mail", host::Value(false));
  legacy.set("accentColour", host::Value("teal"));
  auto migrate = device_.engineFunction<void()>("migratePreferencesIfNeeded");
  ASSERT_NE(migrate, nullptr);

  Writer w;
  w.name = "migratePreferencesIfNeeded";
  w.file = prefsFile();
  w.before = hostsim::encodeDictionary(legacy);
  w.maxWrite = 64;
  w.call = [migrate] {
    migrate();
    return Answer{};
  };
  w.observe = [this] { return describe(host::readDictionary(device_.preferencesFile())); };
  exercise(w);
}

// A migration whose read fails has nothing to convert: it must not write what it could not read.
TEST_F(EngineFaults, MigrationThatCannotReadWritesNothing) {
  host::Dictionary legacy;
  legacy.set("enabled-com.example.bank", host::Value(true));
  auto migrate = device_.engineFunction<void()>("migratePreferencesIfNeeded");
  for (Step step : {Step::OpenForReading, Step::Read}) {
    SCOPED_TRACE(stepName(step));
    putBytes(prefsFile(), hostsim::encodeDictionary(legacy), kMode);
    StepLayer layer;
    layer.arm(Fault{step, 1, Failure::Error, EIO});
    {
      UsingLayer using_(layer);
      migrate();
    }
    EXPECT_TRUE(layer.fired());
    EXPECT_EQ(layer.calls(Step::CreateTemporary), 0);
    EXPECT_EQ(bytesOf(prefsFile()), hostsim::encodeDictionary(legacy));
  }
}

// The pane's two writers, in the Settings app.
class PaneFaults : public ::testing::Test {
 protected:
  PaneFaults() : app_(device_.root()) { app_.open(); }

  std::string rowValue(const std::string& key) {
    for (const hostsim::SettingsRow& row : app_.rows()) {
      if (row.key == key) return sim::formatValue(row.value);
    }
    return "(no row)";
  }

  TestDevice device_;
  hostsim::SettingsApp app_;
};

TEST_F(PaneFaults, ValueWriteIsSilentAndKeepsTheFile) {
  host::Dictionary prefs;
  prefs.set("usePersistMode", host::Value(false));
  prefs.set("enabledApplications", host::Value(host::Array{host::Value("com.example.bank")}));
  prefs.set("accentColour", host::Value("teal"));

  Writer w;
  w.name = "setPreferenceValue:specifier:";
  w.file = device_.hostFile(device_.preferencesFile());
  w.before = hostsim::encodeDictionary(prefs);
  w.maxWrite = 64;
  w.call = [this] {
    app_.set("usePersistMode", host::Value(true));
    return Answer{};
  };
  // What the page shows, and what every other reader finds in the file.
  w.observe = [this] {
    return rowValue("usePersistMode") + " " +
           describe(host::readDictionary(device_.preferencesFile()));
  };
  exercise(w);
}

TEST_F(PaneFaults, ResetAnswersNoAndLogsWhenItCannotWrite) {
  Writer w;
  w.name = "resetVPNState";
  w.file = device_.hostFile(device_.featureStateFile());
  w.before = "BellweirWiFiState=NO\nVPNState=YES\nBellweirBluetoothState=YES\n";
  w.maxWrite = 12;
  w.call = [this] {
    Answer a;
    a.value = app_.resetVPN();
    return a;
  };
  w.observe = [this] {
    const host::Result<std::string> file = host::readUTF8Text(device_.featureStateFile());
    return file.ok() && featurestate::readFeature(file.value(), featurestate::kVPN) ? "VPNState YES"
                                                                                    : "VPNState NO";
  };
  w.failureLog = "Error writing file: ";
  exercise(w);
}

}  // namespace
}  // namespace harbrite::test
