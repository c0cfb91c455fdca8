// Atomic replacement of property-list and text files: the new content whole, or the old file
// byte for byte, and never a temporary file left behind, whichever step fails.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/Platform.h"
#include "host/PropertyList.h"
#include "hostsim/FileLayer.h"
#include "tests/hostsim/DeviceFolder.h"
#include "tests/support/StepLayer.h"

namespace harbrite::test {
namespace {

constexpr const char* kFile = "/var/mobile/Library/Preferences/com.quorvik.harbrite.plist";
const std::string kOldBytes = "the old file, which must survive any failed replacement\n";

// What goes wrong in one replacement, and the name the test output gives it. Choppy fails
// nothing: its writes come back short or interrupted, and the first temporary name it is asked
// for is taken.
struct Trouble {
  const char* name;
  std::vector<Fault> faults;
  std::size_t maxWrite = SIZE_MAX;
};

const Trouble kChoppy{"Choppy",
                      {{Step::CreateTemporary, 1, Failure::Error, EEXIST},
                       {Step::Write, Fault::kEvery, Failure::Interrupted}},
                      3};
const Trouble kFolderSync{"FolderSync",
                          {{Step::SyncDirectory, Fault::kEvery, Failure::Error, EIO}}};
const Trouble kFailures[] = {
    {"CreateTemporary", {{Step::CreateTemporary, Fault::kEvery, Failure::Error, EACCES}}},
    {"Write", {{Step::Write, Fault::kEvery, Failure::Error, ENOSPC}}},
    {"WriteAfterPart", {{Step::Write, 1, Failure::ShortThenError, EIO}}},
    {"Chmod", {{Step::Fchmod, Fault::kEvery, Failure::Error, EPERM}}},
    {"Sync", {{Step::Fsync, Fault::kEvery, Failure::Error, EIO}}},
    // A close that reports a deferred write error: the descriptor is gone all the same.
    {"Close", {{Step::Close, Fault::kEvery, Failure::Error, EIO}}},
    {"Rename", {{Step::Rename, Fault::kEvery, Failure::Error, EXDEV}}},
};

// A fresh layer with the trouble armed, in place for the life of the guard.
class TroubledLayer {
 public:
  explicit TroubledLayer(const Trouble& trouble) : name_(trouble.name), layer_(trouble.maxWrite) {
    for (const Fault& fault : trouble.faults) layer_.arm(fault);
    hostsim::setFileLayer(&layer_);
  }
  ~TroubledLayer() {
    hostsim::setFileLayer(nullptr);
    EXPECT_TRUE(layer_.fired()) << name_ << ": the trouble never happened";
  }
  TroubledLayer(const TroubledLayer&) = delete;
  TroubledLayer& operator=(const TroubledLayer&) = delete;

 private:
  const char* name_;
  StepLayer layer_;
};

class AtomicWrite : public DeviceFolder {
 protected:
  void SetUp() override {
    DeviceFolder::SetUp();
    putBytes(kFile, kOldBytes);
    ::chmod(hostFile(kFile).c_str(), 0640);
  }
  void TearDown() override {
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"com.quorvik.harbrite.plist"});
    DeviceFolder::TearDown();
  }
  struct stat info() const {
    struct stat s {};
    EXPECT_EQ(::stat(hostFile(kFile).c_str(), &s), 0);
    return s;
  }
  // Both writers, each through a fresh layer with that trouble.
  host::Status writeDictionary(const Trouble& trouble) {
    TroubledLayer layer(trouble);
    return host::writeDictionaryAtomically(prefs(), kFile);
  }
  host::Status writeText(const Trouble& trouble, const std::string& text) {
    TroubledLayer layer(trouble);
    return host::writeUTF8TextAtomically(kFile, text);
  }
  // The file as a dictionary; an empty one when it cannot be read as one.
  static host::Dictionary dictionaryInFile() {
    return host::readDictionary(kFile).valueOr(host::Dictionary{});
  }
  // A failed write: Unwritable, and a message that names the file.
  static void expectUnwritable(const host::Status& status) {
    EXPECT_EQ(status.code(), host::Status::Code::Unwritable);
    EXPECT_NE(status.message().find("com.quorvik.harbrite.plist"), std::string::npos)
        << status.message();
  }
  static host::Dictionary prefs() {
    host::Dictionary d;
    d.set("enabledApplications", host::Value(host::Array{host::Value("com.example.bank")}));
    d.set("usePersistMode", host::Value(true));
    return d;
  }
};

TEST_F(AtomicWrite, ReplacesTheFileWholeAndKeepsItsMode) {
  const ino_t oldInode = info().st_ino;
  ASSERT_TRUE(host::writeDictionaryAtomically(prefs(), kFile).ok());
  EXPECT_EQ(dictionaryInFile(), prefs());
  EXPECT_EQ(info().st_mode & 07777, 0640u);
  EXPECT_NE(info().st_ino, oldInode) << "rewritten in place, not replaced";

  ASSERT_TRUE(host::writeUTF8TextAtomically(kFile, "VPNState=YES\n").ok());
  EXPECT_EQ(bytesOf(kFile), "VPNState=YES\n");
  EXPECT_EQ(info().st_mode & 07777, 0640u);
}

// A file that is a symlink inside the device is examined where the device follows it: the new
// file, put in the link's place, takes the mode of the file the link led to, not the link's own.
TEST_F(AtomicWrite, ASymlinkedFileIsReplacedWithTheModeOfWhatItLedTo) {
  const std::string target = "/var/mobile/Library/linked.plist";
  putBytes(target, kOldBytes);
  ::chmod(hostFile(target).c_str(), 0604);
  ASSERT_EQ(::unlink(hostFile(kFile).c_str()), 0);
  ASSERT_EQ(::symlink(target.c_str(), hostFile(kFile).c_str()), 0);

  ASSERT_TRUE(host::writeDictionaryAtomically(prefs(), kFile).ok());
  EXPECT_EQ(dictionaryInFile(), prefs());
  EXPECT_TRUE(S_ISREG(info().st_mode));
  EXPECT_EQ(info().st_mode & 07777, 0604u);
  EXPECT_EQ(bytesOf(target), kOldBytes);
}

TEST_F(AtomicWrite, ShortAndInterruptedWritesAndATakenNameAreCarriedThrough) {
  const std::string text = "BellweirState=YES\nVPNState=YES\n";
  EXPECT_TRUE(writeText(kChoppy, text).ok());
  EXPECT_EQ(bytesOf(kFile), text);
  EXPECT_TRUE(writeDictionary(kChoppy).ok());
  EXPECT_EQ(dictionaryInFile(), prefs());
}

// Once renamed, the new file is what every reader sees: a folder that cannot be synced does not
// turn the write into a failure.
TEST_F(AtomicWrite, AFolderSyncFailureAfterTheRenameStillCountsAsWritten) {
  EXPECT_TRUE(writeDictionary(kFolderSync).ok());
  EXPECT_EQ(dictionaryInFile(), prefs());
}

// A writer never makes a file its own readers refuse: one byte above what they read, and the
// change is not made; the old file stays byte for byte. Up to that size, the file is written.
TEST_F(AtomicWrite, AFileItsReadersWouldRefuseIsNeverWritten) {
  host::Dictionary huge = prefs();
  huge.set("pad", host::Value(std::string(hostsim::kMaxReadableFileSize, 'x')));
  const host::Status dictionary = host::writeDictionaryAtomically(huge, kFile);
  expectUnwritable(dictionary);
  EXPECT_NE(dictionary.message().find(std::strerror(EFBIG)), std::string::npos)
      << dictionary.message();
  EXPECT_EQ(bytesOf(kFile), kOldBytes);

  const std::string largest(hostsim::kMaxReadableFileSize, 'x');
  expectUnwritable(host::writeUTF8TextAtomically(kFile, largest + "x"));
  EXPECT_EQ(bytesOf(kFile), kOldBytes);
  ASSERT_TRUE(host::writeUTF8TextAtomically(kFile, largest).ok());
  EXPECT_EQ(host::readUTF8Text(kFile).valueOr("").size(), largest.size());
}

class AtomicWriteFailure : public AtomicWrite, public ::testing::WithParamInterface<Trouble> {};

TEST_P(AtomicWriteFailure, KeepsTheOldFileByteForByteAndRemovesTheTemporaryFile) {
  expectUnwritable(writeDictionary(GetParam()));
  EXPECT_EQ(bytesOf(kFile), kOldBytes);
  EXPECT_EQ(info().st_mode & 07777, 0640u);

  expectUnwritable(writeText(GetParam(), "VPNState=NO\n"));
  EXPECT_EQ(bytesOf(kFile), kOldBytes);
}

INSTANTIATE_TEST_SUITE_P(EachStep, AtomicWriteFailure, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace harbrite::test
