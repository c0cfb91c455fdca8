// Two processes on the same device files, as on a device and without locks: the engine in
// SpringBoard switching the VPN on and off, and the Settings app changing rows and resetting
// the VPN's record. Every read either process makes parses, the files end valid, and the lost
// updates that unlocked read-modify-write cycles allow (the later writer wins) are counted.
//
// How lost updates are counted: both processes watch their own calls into the file layer. Each
// replacement of a file bumps that file's version in memory shared by the two processes, and
// each read notes the version it opened. A replacement whose writer last read an older version
// than the one it replaces has overwritten, unread, what the other process wrote in between: a
// lost update. Each open or rename of a watched file and its version bump happen under a spin
// flag held for that one call only, so that the versions are exact; the writers' read-modify-write
// cycles themselves stay as unprotected as on a device.
//
// fsync is answered without syncing: what another process sees is decided by the rename alone,
// and durability across a power cut is not what this test is about (the fault and crash tests
// keep the real calls). Two processes syncing the same folder thousands of times would only
// measure the disk's journal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "host/Platform.h"
#include "host/PropertyList.h"
#include "hostsim/Device.h"
#include "hostsim/FileLayer.h"
#include "hostsim/PlistCodec.h"
#include "hostsim/SettingsApp.h"
#include "tests/reliability/Figures.h"
#include "tests/reliability/Files.h"
#include "tests/reliability/Processes.h"
#include "tests/support/TestDevice.h"

namespace harbrite::test {
namespace {

constexpr int kCycles = 2000;
enum File { kState, kPrefs, kFiles };

// Lives in memory that both processes share.
struct Ledger {
  std::atomic_flag busy = ATOMIC_FLAG_INIT;
  std::atomic<long> version[kFiles] = {};
  std::atomic<long> writes[kFiles] = {};
  std::atomic<long> lostUpdates[kFiles] = {};
  std::atomic<long> overwrittenUnread[kFiles] = {};
};
static_assert(std::atomic<long>::is_always_lock_free);

Ledger* makeSharedLedger() {
  void* memory =
      ::mmap(nullptr, sizeof(Ledger), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return memory == MAP_FAILED ? nullptr : new (memory) Ledger;
}

class VersionLayer : public hostsim::FileLayerWrapper {
 public:
  VersionLayer(Ledger& ledger, std::string stateFile, std::string prefsFile)
      : FileLayerWrapper(hostsim::posixFileLayer()),
        ledger_(ledger),
        files_{std::move(stateFile), std::move(prefsFile)} {}

  int open(const char* path, int flags, mode_t mode) override {
    const int f = watched(path);
    if (f < 0 || (flags & O_ACCMODE) != O_RDONLY) return FileLayerWrapper::open(path, flags, mode);
    lock();
    const int fd = FileLayerWrapper::open(path, flags, mode);
    lastRead_[f] = ledger_.version[f].load();
    unlock();
    return fd;
  }
  int fsync(int) override { return 0; }
  int rename(const char* from, const char* to) override {
    const int f = watched(to);
    if (f < 0) return FileLayerWrapper::rename(from, to);
    lock();
    const int result = FileLayerWrapper::rename(from, to);
    const long replaced = result == 0 ? ledger_.version[f]++ : 0;
    unlock();
    if (result == 0) {
      ++ledger_.writes[f];
      if (replaced != lastRead_[f]) {
        ++ledger_.lostUpdates[f];
        ledger_.overwrittenUnread[f] += replaced - lastRead_[f];
      }
      lastRead_[f] = replaced + 1;  // a writer knows what it wrote
    }
    return result;
  }

 private:
  int watched(const char* path) const {
    for (int f = 0; f < kFiles; ++f) {
      if (files_[f] == path) return f;
    }
    return -1;
  }
  void lock() {
    while (ledger_.busy.test_and_set(std::memory_order_acquire)) sched_yield();
  }
  void unlock() { ledger_.busy.clear(std::memory_order_release); }

  Ledger& ledger_;
  std::string files_[kFiles];
  long lastRead_[kFiles] = {};
};

const std::string kBellweirLines[2] = {"BellweirWiFiState=NO\n", "BellweirBluetoothState=YES\n"};

// What every read must find: the sibling's lines untouched around one well-formed VPN line, and
// a dictionary that still holds the enabled applications.
bool stateIsValid(const std::string& bytes) {
  return bytes == kBellweirLines[0] + "VPNState=YES\n" + kBellweirLines[1] ||
         bytes == kBellweirLines[0] + "VPNState=NO\n" + kBellweirLines[1];
}
const host::Value kApps(host::Array{host::Value("com.example.bank")});
const host::Value kMoreApps(host::Array{host::Value("com.example.bank"),
                                        host::Value("com.example.mail")});
bool prefsAreValid(const std::string& bytes) {
  const host::Result<host::Dictionary> d = hostsim::readDictionaryBytes(bytes);
  if (!d.ok()) return false;
  const host::Value* apps = d->find("enabledApplications");
  return apps != nullptr && (*apps == kApps || *apps == kMoreApps);
}

struct ProcessReport {
  long reads = 0;
  long bad = 0;
  char firstBad[300] = {};
};

void checkFiles(const std::string& stateFile, const std::string& prefsFile, ProcessReport& r) {
  const std::string state = bytesOf(stateFile);
  const std::string prefs = bytesOf(prefsFile);
  r.reads += 2;
  for (const auto& [bytes, ok] :
       {std::pair{state, stateIsValid(state)}, {prefs, prefsAreValid(prefs)}}) {
    if (ok) continue;
    if (r.bad++ == 0) std::strncpy(r.firstBad, bytes.c_str(), sizeof r.firstBad - 1);
  }
}

TEST(ConcurrentWriters, EngineAndSettingsShareTheFilesWithoutLocks) {
  Ledger* ledger = makeSharedLedger();
  ASSERT_NE(ledger, nullptr);
  TestDevice device;
  device.config().apps = {"com.example.bank"};
  const std::string stateFile = device.hostFile(device.featureStateFile());
  const std::string prefsFile = device.hostFile(device.preferencesFile());
  host::Dictionary prefs;
  prefs.set("enabledApplications", kApps);
  putBytes(prefsFile, hostsim::encodeDictionary(prefs));
  putBytes(stateFile, kBellweirLines[0] + "VPNState=NO\n" + kBellweirLines[1]);

  // The Settings process starts before SpringBoard boots, as its own process on the device: it
  // switches persist mode and picks the enabled applications in turn, and resets the VPN's
  // record, every cycle.
  Pipe go, report;
  const pid_t settings = spawn([&] {
    go.closeWrite();
    report.closeRead();
    hostsim::SettingsApp app(device.root());
    app.open();
    VersionLayer layer(*ledger, stateFile, prefsFile);
    hostsim::setFileLayer(&layer);
    char c;
    if (!readFully(go.readEnd(), &c, 1)) return 2;
    ProcessReport r;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
      if (cycle % 2 == 0) {
        app.set("usePersistMode", host::Value(cycle % 4 == 0));
      } else {
        app.set("enabledApplications", cycle % 4 == 1 ? kApps : kMoreApps);
      }
      app.resetVPN();
      checkFiles(stateFile, prefsFile, r);
    }
    return writeFully(report.writeEnd(), &r, sizeof r) ? 0 : 1;
  });
  go.closeRead();
  report.closeWrite();

  device.boot();
  ASSERT_TRUE(device.engineInstalled());
  const host::SEL setVPNState = host::sel_registerName("setVPNState:");
  VersionLayer layer(*ledger, stateFile, prefsFile);
  ProcessReport engine;
  {
    UsingLayer using_(layer);
    writeFully(go.writeEnd(), "g", 1);
    for (int cycle = 0; cycle < kCycles; ++cycle) {
      host::msgSend<void, bool>(device.springBoard(), setVPNState, cycle % 2 == 0);
      checkFiles(stateFile, prefsFile, engine);
    }
  }
  ProcessReport settingsReport;
  ASSERT_TRUE(readFully(report.readEnd(), &settingsReport, sizeof settingsReport));
  EXPECT_EQ(reap(settings), 0);

  EXPECT_EQ(engine.bad, 0) << engine.firstBad;
  EXPECT_EQ(settingsReport.bad, 0) << settingsReport.firstBad;
  EXPECT_TRUE(stateIsValid(bytesOf(stateFile)));
  EXPECT_TRUE(prefsAreValid(bytesOf(prefsFile)));
  EXPECT_EQ(temporariesBeside(stateFile), std::vector<std::string>{});
  // Every write of both processes is accounted for.
  EXPECT_EQ(ledger->version[kPrefs].load(), ledger->writes[kPrefs].load());
  EXPECT_EQ(ledger->version[kState].load(), ledger->writes[kState].load());
  EXPECT_GE(ledger->writes[kPrefs].load(), kCycles);
  EXPECT_GE(ledger->writes[kState].load(), kCycles);

  addFigure("concurrent cycles (engine)", kCycles);
  addFigure("concurrent cycles (settings)", kCycles);
  addFigure("reads checked while both wrote", engine.reads + settingsReport.reads);
  addFigure("feature state file writes", ledger->writes[kState]);
  addFigure("feature state file lost updates", ledger->lostUpdates[kState]);
  addFigure("feature state file versions overwritten unread", ledger->overwrittenUnread[kState]);
  addFigure("preferences file writes", ledger->writes[kPrefs]);
  addFigure("preferences file lost updates", ledger->lostUpdates[kPrefs]);
  ::munmap(ledger, sizeof(Ledger));
}

// Processes starting on one device folder at once, none of which finds it laid out (only the
// user's two files are there): two that boot SpringBoard and two that open the Settings app and
// change rows, round after round. Each lays the device out (folders, libroot, BackBoardServices,
// the engine, the pane's bundle) as it starts; all of them complete, the files they share end
// whole, and no temporary is left behind.
TEST(ConcurrentWriters, ProcessesStartingOnOneDeviceAtOnceAllComplete) {
  constexpr int kRounds = 6;
  const std::string parent = hostsim::makeTemporaryDirectory();
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string root = parent + "/device" + std::to_string(round);
    host::Dictionary prefs;
    prefs.set("enabledApplications", kApps);
    putBytes(root + "/var/jb/var/mobile/Library/Preferences/com.quorvik.harbrite.plist",
             hostsim::encodeDictionary(prefs));
    putBytes(root + "/var/jb/var/mobile/Library/Preferences/com.quorvik.Bellweir.featureStates.txt",
             kBellweirLines[0] + "VPNState=NO\n" + kBellweirLines[1]);
    Pipe go;
    std::vector<pid_t> children;
    for (int child = 0; child < 4; ++child) {
      children.push_back(spawn([&, child] {
        go.closeWrite();
        char c;
        if (readFully(go.readEnd(), &c, 1)) return 3;  // the start is the pipe's end, for all
        hostsim::Device device(root);
        device.config().apps = {"com.example.bank"};
        device.config().libroot = hostsim::Libroot::Full;
        if (child < 2) {
          device.boot();
          device.front("com.example.bank");
          return device.engineInstalled() ? 0 : 4;
        }
        device.applySetUp();
        hostsim::SettingsApp app(device.root());
        app.set("usePersistMode", host::Value(child == 2));
        app.set("enabledApplications", child == 2 ? kApps : kMoreApps);
        return app.resetVPN() ? 0 : 5;
      }));
    }
    go.closeRead();
    go.closeWrite();
    for (pid_t pid : children) {
      const int status = reap(pid);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    }
    hostsim::Device device(root);
    const std::string prefsFile = root + device.preferencesFile();
    const std::string stateFile = root + device.featureStateFile();
    EXPECT_TRUE(prefsAreValid(bytesOf(prefsFile)));
    EXPECT_TRUE(stateIsValid(bytesOf(stateFile)));
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
      EXPECT_FALSE(hostsim::isTemporaryFileName(entry.path().filename().string())) << entry.path();
    }
  }
  hostsim::removeTree(parent);
}

}  // namespace
}  // namespace harbrite::test
