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

enum class Step { CreateTemporary, Write, WriteAfterPart, Chmod, Sync, Close, Rename };

std::string describe(Step step) {
  switch (step) {
    case Step::CreateTemporary:
      return "creating the temporary file";
    case Step::Write:
      return "writing";
    case Step::WriteAfterPart:
      return "writing, after a part was written";
    case Step::Chmod:
      return "setting the mode";
    case Step::Sync:
      return "syncing the file";
    case Step::Close:
      return "closing the file";
    case Step::Rename:
      return "renaming over the target";
  }
  return "?";
}

// The POSIX layer with one step failing.
class FailingLayer : public hostsim::FileLayerWrapper {
 public:
  explicit FailingLayer(Step step) : FileLayerWrapper(hostsim::posixFileLayer()), step_(step) {}

  int open(const char* path, int flags, mode_t mode) override {
    if (step_ == Step::CreateTemporary && (flags & O_CREAT) != 0) return fail(EACCES);
    int fd = FileLayerWrapper::open(path, flags, mode);
    if (fd >= 0 && (flags & O_DIRECTORY) != 0) directories_.insert(fd);
    return fd;
  }
  ssize_t write(int fd, const void* bytes, std::size_t size) override {
    if (step_ == Step::Write) return fail(ENOSPC);
    if (step_ == Step::WriteAfterPart) {
      if (wrotePart_) return fail(EIO);
      wrotePart_ = true;
      return FileLayerWrapper::write(fd, bytes, std::min<std::size_t>(size, 5));
    }
    return FileLayerWrapper::write(fd, bytes, size);
  }
  int fchmod(int fd, mode_t mode) override {
    return step_ == Step::Chmod ? fail(EPERM) : FileLayerWrapper::fchmod(fd, mode);
  }
  int fsync(int fd) override {
    if (step_ == Step::Sync && directories_.count(fd) == 0) return fail(EIO);
    return FileLayerWrapper::fsync(fd);
  }
  int close(int fd) override {
    const bool directory = directories_.erase(fd) != 0;
    int result = FileLayerWrapper::close(fd);
    // A close that reports a deferred write error: the descriptor is gone all the same.
    if (step_ == Step::Close && !directory) return fail(EIO);
    return result;
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
  bool wrotePart_ = false;
  std::set<int> directories_;
};

class AtomicWrite : public DeviceFolder {
 protected:
  void SetUp() override {
    DeviceFolder::SetUp();
    putBytes(kFile, kOldBytes);
    ::chmod(hostFile(kFile).c_str(), 0640);
  }
  struct stat info() const {
    struct stat s {};
    EXPECT_EQ(::stat(hostFile(kFile).c_str(), &s), 0);
    return s;
  }
  static host::Dictionary prefs() {
    host::Dictionary d;
    d.set("enabledApplications", host::Value(host::Array{host::Value("com.example.bank")}));
    d.set("usePersistMode", host::Value(true));
    return d;
  }
  const std::vector<std::string> onlyTheFile_{"com.quorvik.harbrite.plist"};
};

TEST_F(AtomicWrite, ReplacesTheFileWholeKeepsItsModeAndLeavesNothingElse) {
  const ino_t oldInode = info().st_ino;
  ASSERT_TRUE(host::writeDictionaryAtomically(prefs(), kFile));
  EXPECT_EQ(host::readDictionary(kFile), prefs());
  EXPECT_EQ(info().st_mode & 07777, 0640u);
  EXPECT_NE(info().st_ino, oldInode) << "rewritten in place, not replaced";
  EXPECT_EQ(folderEntries(), onlyTheFile_);

  std::string error;
  ASSERT_TRUE(host::writeUTF8TextAtomically(kFile, "VPNState=YES\n", &error));
  EXPECT_EQ(bytesOf(kFile), "VPNState=YES\n");
  EXPECT_EQ(info().st_mode & 07777, 0640u);
  EXPECT_EQ(folderEntries(), onlyTheFile_);
}

class AtomicWriteFailure : public AtomicWrite, public ::testing::WithParamInterface<Step> {};

std::string stepName(const ::testing::TestParamInfo<Step>& info) {
  static const char* const names[] = {"CreateTemporary", "Write", "WriteAfterPart", "Chmod", "Sync",
                                      "Close",           "Rename"};
  return names[static_cast<int>(info.param)];
}

TEST_P(AtomicWriteFailure, KeepsTheOldFileByteForByteAndRemovesTheTemporaryFile) {
  const Step step = GetParam();
  {
    FailingLayer layer(step);
    hostsim::setFileLayer(&layer);
    EXPECT_FALSE(host::writeDictionaryAtomically(prefs(), kFile)) << describe(step);
    hostsim::setFileLayer(nullptr);
  }
  EXPECT_EQ(bytesOf(kFile), kOldBytes) << describe(step);
  EXPECT_EQ(info().st_mode & 07777, 0640u);
  EXPECT_EQ(folderEntries(), onlyTheFile_) << describe(step);

  {
    FailingLayer layer(step);
    hostsim::setFileLayer(&layer);
    std::string error;
    EXPECT_FALSE(host::writeUTF8TextAtomically(kFile, "VPNState=NO\n", &error)) << describe(step);
    hostsim::setFileLayer(nullptr);
    EXPECT_NE(error.find("com.quorvik.harbrite.plist"), std::string::npos) << error;
  }
  EXPECT_EQ(bytesOf(kFile), kOldBytes) << describe(step);
  EXPECT_EQ(folderEntries(), onlyTheFile_) << describe(step);
}

INSTANTIATE_TEST_SUITE_P(EachStep, AtomicWriteFailure,
                         ::testing::Values(Step::CreateTemporary, Step::Write, Step::WriteAfterPart,
                                           Step::Chmod, Step::Sync, Step::Close, Step::Rename),
                         stepName);

// Writes come back short and are interrupted; the first temporary name is taken.
class ChoppyLayer : public hostsim::FileLayerWrapper {
 public:
  ChoppyLayer() : FileLayerWrapper(hostsim::posixFileLayer()) {}
  int open(const char* path, int flags, mode_t mode) override {
    if ((flags & O_EXCL) != 0 && !refusedName_) {
      refusedName_ = true;
      errno = EEXIST;
      return -1;
    }
    return FileLayerWrapper::open(path, flags, mode);
  }
  ssize_t write(int fd, const void* bytes, std::size_t size) override {
    if (++writes_ % 2 == 1) {
      errno = EINTR;
      return -1;
    }
    return FileLayerWrapper::write(fd, bytes, std::min<std::size_t>(size, 3));
  }

 private:
  bool refusedName_ = false;
  int writes_ = 0;
};

TEST_F(AtomicWrite, ShortAndInterruptedWritesAreCarriedThrough) {
  ChoppyLayer layer;
  hostsim::setFileLayer(&layer);
  const std::string text = "BellweirState=YES\nVPNState=YES\n";
  EXPECT_TRUE(host::writeUTF8TextAtomically(kFile, text));
  hostsim::setFileLayer(nullptr);
  EXPECT_EQ(bytesOf(kFile), text);
  EXPECT_EQ(folderEntries(), onlyTheFile_);
}

// Once renamed, the new file is what every reader sees: a folder that cannot be synced does not
// turn the write into a failure.
class FolderSyncFails : public hostsim::FileLayerWrapper {
 public:
  FolderSyncFails() : FileLayerWrapper(hostsim::posixFileLayer()) {}
  int open(const char* path, int flags, mode_t mode) override {
    int fd = FileLayerWrapper::open(path, flags, mode);
    if ((flags & O_DIRECTORY) != 0) folder_ = fd;
    return fd;
  }
  int fsync(int fd) override {
    if (fd == folder_) {
      errno = EIO;
      return -1;
    }
    return FileLayerWrapper::fsync(fd);
  }

 private:
  int folder_ = -2;
};

TEST_F(AtomicWrite, AFolderSyncFailureAfterTheRenameStillCountsAsWritten) {
  FolderSyncFails layer;
  hostsim::setFileLayer(&layer);
  EXPECT_TRUE(host::writeDictionaryAtomically(prefs(), kFile));
  hostsim::setFileLayer(nullptr);
  EXPECT_EQ(host::readDictionary(kFile), prefs());
  EXPECT_EQ(folderEntries(), onlyTheFile_);
}

}  // namespace
}  // namespace harbrite::test
