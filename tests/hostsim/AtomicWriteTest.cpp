// Atomic replacement of property-list and text files: the new content whole, or the old file
// byte for byte, and never a temporary file left behind, whichever step fails.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "host/Platform.h"
#include "host/PropertyList.h"
#include "tests/hostsim/DeviceFolder.h"

namespace harbrite::test {
namespace {

constexpr const char* kFile = "/var/mobile/Library/Preferences/com.quorvik.harbrite.plist";
const std::string kOldBytes = "the old file, which must survive any failed replacement\n";

// The steps a test can make fail. Choppy fails nothing: its writes come back short or
// interrupted, and the first temporary name it is asked for is taken.
enum class Step {
  CreateTemporary,
  Write,
  WriteAfterPart,
  Chmod,
  Sync,
  Close,
  Rename,
  FolderSync,
  Choppy
};
const char* const kStepNames[] = {"CreateTemporary", "Write",  "WriteAfterPart", "Chmod", "Sync",
                                  "Close",           "Rename", "FolderSync",     "Choppy"};

class FaultyLayer : public hostsim::FileLayerWrapper {
 public:
  explicit FaultyLayer(Step step) : FileLayerWrapper(hostsim::posixFileLayer()), step_(step) {}

  int open(const char* path, int flags, mode_t mode) override {
    if ((flags & O_CREAT) != 0 && step_ == Step::CreateTemporary) return fail(EACCES);
    if ((flags & O_EXCL) != 0 && step_ == Step::Choppy && calls_++ == 0) return fail(EEXIST);
    int fd = FileLayerWrapper::open(path, flags, mode);
    if (fd >= 0 && (flags & O_DIRECTORY) != 0) folders_.insert(fd);
    return fd;
  }
  ssize_t write(int fd, const void* bytes, std::size_t size) override {
    if (step_ == Step::Write) return fail(ENOSPC);
    if (step_ == Step::WriteAfterPart && calls_++ > 0) return fail(EIO);
    if (step_ == Step::Choppy && calls_++ % 2 == 0) return fail(EINTR);
    const bool partly = step_ == Step::WriteAfterPart || step_ == Step::Choppy;
    return FileLayerWrapper::write(fd, bytes, partly ? std::min<std::size_t>(size, 3) : size);
  }
  int fchmod(int fd, mode_t mode) override {
    return step_ == Step::Chmod ? fail(EPERM) : FileLayerWrapper::fchmod(fd, mode);
  }
  int fsync(int fd) override {
    const bool folder = folders_.count(fd) != 0;
    if ((step_ == Step::Sync && !folder) || (step_ == Step::FolderSync && folder)) return fail(EIO);
    return FileLayerWrapper::fsync(fd);
  }
  int close(int fd) override {
    const bool folder = folders_.erase(fd) != 0;
    const int result = FileLayerWrapper::close(fd);
    // A close that reports a deferred write error: the descriptor is gone all the same.
    return step_ == Step::Close && !folder ? fail(EIO) : result;
  }
  int rename(const char* from, const char* to) override {
    return step_ == Step::Rename ? fail(EXDEV) : FileLayerWrapper::rename(from, to);
  }

 private:
  static int fail(int error) {
    errno = error;
    return -1;
  }
  Step step_;
  int calls_ = 0;
  std::set<int> folders_;
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
  // Both writers, each through a fresh layer with that step failing.
  bool writeDictionary(Step step) {
    FaultyLayer layer(step);
    hostsim::setFileLayer(&layer);
    const bool ok = host::writeDictionaryAtomically(prefs(), kFile);
    hostsim::setFileLayer(nullptr);
    return ok;
  }
  bool writeText(Step step, const std::string& text, std::string* error = nullptr) {
    FaultyLayer layer(step);
    hostsim::setFileLayer(&layer);
    const bool ok = host::writeUTF8TextAtomically(kFile, text, error);
    hostsim::setFileLayer(nullptr);
    return ok;
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
  ASSERT_TRUE(host::writeDictionaryAtomically(prefs(), kFile));
  EXPECT_EQ(host::readDictionary(kFile), prefs());
  EXPECT_EQ(info().st_mode & 07777, 0640u);
  EXPECT_NE(info().st_ino, oldInode) << "rewritten in place, not replaced";

  ASSERT_TRUE(host::writeUTF8TextAtomically(kFile, "VPNState=YES\n"));
  EXPECT_EQ(bytesOf(kFile), "VPNState=YES\n");
  EXPECT_EQ(info().st_mode & 07777, 0640u);
}

TEST_F(AtomicWrite, ShortAndInterruptedWritesAndATakenNameAreCarriedThrough) {
  const std::string text = "BellweirState=YES\nVPNState=YES\n";
  EXPECT_TRUE(writeText(Step::Choppy, text));
  EXPECT_EQ(bytesOf(kFile), text);
  EXPECT_TRUE(writeDictionary(Step::Choppy));
  EXPECT_EQ(host::readDictionary(kFile), prefs());
}

// Once renamed, the new file is what every reader sees: a folder that cannot be synced does not
// turn the write into a failure.
TEST_F(AtomicWrite, AFolderSyncFailureAfterTheRenameStillCountsAsWritten) {
  EXPECT_TRUE(writeDictionary(Step::FolderSync));
  EXPECT_EQ(host::readDictionary(kFile), prefs());
}

class AtomicWriteFailure : public AtomicWrite, public ::testing::WithParamInterface<Step> {};

TEST_P(AtomicWriteFailure, KeepsTheOldFileByteForByteAndRemovesTheTemporaryFile) {
  EXPECT_FALSE(writeDictionary(GetParam()));
  EXPECT_EQ(bytesOf(kFile), kOldBytes);
  EXPECT_EQ(info().st_mode & 07777, 0640u);

  std::string error;
  EXPECT_FALSE(writeText(GetParam(), "VPNState=NO\n", &error));
  EXPECT_EQ(bytesOf(kFile), kOldBytes);
  EXPECT_NE(error.find("com.quorvik.harbrite.plist"), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(EachStep, AtomicWriteFailure,
                         ::testing::Values(Step::CreateTemporary, Step::Write, Step::WriteAfterPart,
                                           Step::Chmod, Step::Sync, Step::Close, Step::Rename),
                         [](const auto& info) { return kStepNames[static_cast<int>(info.param)]; });

}  // namespace
}  // namespace harbrite::test
