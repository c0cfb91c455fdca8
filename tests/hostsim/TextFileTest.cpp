// UTF-8 text files: read whole when the bytes are UTF-8; otherwise a failure that tells a missing
// file from an unreadable one and from bytes that are not UTF-8, described so that a person can
// read it, naming the file.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "host/Platform.h"
#include "hostsim/DeviceRoot.h"
#include "tests/hostsim/DeviceFolder.h"

namespace harbrite::test {
namespace {

constexpr const char* kFile =
    "/var/mobile/Library/Preferences/com.quorvik.Bellweir.featureStates.txt";
constexpr const char* kName = "com.quorvik.Bellweir.featureStates.txt";

using TextFile = DeviceFolder;

TEST_F(TextFile, ReadsUTF8TextWhole) {
  const std::vector<std::string> texts = {
      "",
      "VPNState=YES\n",
      "Caf\xC3\xA9State=NO\xE2\x80\xA8VPNState=YES\xC2\x85",  // U+2028 and U+0085 terminators
      "\xF0\x9F\x94\x92 locked\r\nVPNState=NO",
      std::string("nul\0inside\n", 11),
      std::string(100000, 'x') + "\n",  // more than one read's worth
  };
  for (const std::string& text : texts) {
    putBytes(kFile, text);
    const host::Result<std::string> read = host::readUTF8Text(kFile);
    ASSERT_TRUE(read.ok()) << read.status().message();
    EXPECT_EQ(read.value(), text);
  }
}

TEST_F(TextFile, BytesThatAreNotUTF8AreMalformedAndDescribed) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"lone continuation byte", "VPNState=YES\n\x80"},
      {"lead byte without continuation", "\xC3("},
      {"overlong slash", "\xC0\xAF"},
      {"surrogate half", "\xED\xA0\x80"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80"},
      {"cut short at the end", "VPNState=YES\n\xE2\x80"},
      {"Latin-1", "Caf\xE9State=YES\n"},
  };
  for (const auto& [what, bytes] : cases) {
    putBytes(kFile, bytes);
    const host::Result<std::string> read = host::readUTF8Text(kFile);
    const std::string& message = read.status().message();
    EXPECT_EQ(read.status().code(), host::Status::Code::Malformed) << what;
    EXPECT_NE(message.find(kName), std::string::npos) << what << ": " << message;
    EXPECT_NE(message.find("UTF-8"), std::string::npos) << what << ": " << message;
  }
}

// Reads fail part-way, or are interrupted once.
class ReadLayer : public hostsim::FileLayerWrapper {
 public:
  explicit ReadLayer(int error) : FileLayerWrapper(hostsim::posixFileLayer()), error_(error) {}
  ssize_t read(int fd, void* buffer, std::size_t size) override {
    if (!failed_) {
      failed_ = true;
      errno = error_;
      return -1;
    }
    return FileLayerWrapper::read(fd, buffer, size);
  }

 private:
  int error_;
  bool failed_ = false;
};

TEST_F(TextFile, AMissingFileIsToldFromOneThatCannotBeRead) {
  const host::Status missing = host::readUTF8Text(kFile).status();
  EXPECT_EQ(missing.code(), host::Status::Code::Missing);
  EXPECT_NE(missing.message().find(kName), std::string::npos) << missing.message();
  EXPECT_NE(missing.message().find("no such file"), std::string::npos) << missing.message();

  putBytes(kFile, "VPNState=YES\n");
  ReadLayer failing(EIO);
  hostsim::setFileLayer(&failing);
  const host::Status broken = host::readUTF8Text(kFile).status();
  hostsim::setFileLayer(nullptr);
  EXPECT_EQ(broken.code(), host::Status::Code::Unreadable);
  EXPECT_NE(broken.message().find(kName), std::string::npos) << broken.message();

  ReadLayer interrupted(EINTR);
  hostsim::setFileLayer(&interrupted);
  const host::Result<std::string> retried = host::readUTF8Text(kFile);
  hostsim::setFileLayer(nullptr);
  ASSERT_TRUE(retried.ok()) << retried.status().message();
  EXPECT_EQ(retried.value(), "VPNState=YES\n");
}

// What stands where the file should be but is not a regular file reads as unreadable, at once:
// opening a FIFO that nobody writes to must not wait for a writer, nor a read of a device node
// go on for ever. A symlink to a device node leads into the device, as on the device. Files
// above the size limit read as unreadable instead of filling memory; the limit itself reads.
TEST_F(TextFile, AnythingButABoundedRegularFileReadsAsUnreadableAtOnce) {
  const std::string file = hostFile(kFile);
  // A hang here would otherwise stall the suite: the alarm turns it into a failure.
  ::alarm(60);
  const struct {
    const char* what;
    std::function<bool()> make;
    host::Status::Code expected;
  } cases[] = {
      {"a folder", [&] { return ::mkdir(file.c_str(), 0755) == 0; },
       host::Status::Code::Unreadable},
      {"a FIFO", [&] { return ::mkfifo(file.c_str(), 0644) == 0; }, host::Status::Code::Unreadable},
      {"a socket",
       [&] {
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         if (file.size() >= sizeof address.sun_path) return false;
         std::memcpy(address.sun_path, file.c_str(), file.size() + 1);
         const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
         const bool bound = ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
         ::close(s);
         return bound;
       },
       host::Status::Code::Unreadable},
      {"a character device (zero)",
       [&] { return ::mknod(file.c_str(), S_IFCHR | 0644, makedev(1, 5)) == 0; },
       host::Status::Code::Unreadable},
      {"a symlink to the host's /dev/zero",
       [&] { return ::symlink("/dev/zero", file.c_str()) == 0; }, host::Status::Code::Missing},
      {"a file one byte above the limit",
       [&] {
         return ::truncate((putBytes(kFile, ""), file).c_str(),
                           hostsim::kMaxReadableFileSize + 1) == 0;
       },
       host::Status::Code::Unreadable},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(file);
    if (!c.make()) {
      // Making a device node needs privileges that CI has; elsewhere the row cannot run.
      EXPECT_EQ(errno, EPERM) << c.what;
      continue;
    }
    const host::Status read = host::readUTF8Text(kFile).status();
    EXPECT_EQ(read.code(), c.expected) << c.what << ": " << read.message();
    EXPECT_NE(read.message().find(kName), std::string::npos) << c.what << ": " << read.message();
  }
  ::alarm(0);
  std::filesystem::remove_all(file);
  putBytes(kFile, "");
  ASSERT_EQ(::truncate(file.c_str(), hostsim::kMaxReadableFileSize), 0);
  const host::Result<std::string> limit = host::readUTF8Text(kFile);
  ASSERT_TRUE(limit.ok()) << limit.status().message();
  EXPECT_EQ(limit.value().size(), hostsim::kMaxReadableFileSize);
}

TEST_F(TextFile, AWriteThatCannotHappenSaysWhy) {
  const host::Status written =
      host::writeUTF8TextAtomically("/var/mobile/Library/NoSuchFolder/state.txt", "VPNState=YES\n");
  EXPECT_EQ(written.code(), host::Status::Code::Unwritable);
  EXPECT_NE(written.message().find("state.txt"), std::string::npos) << written.message();
  EXPECT_NE(written.message().find("folder"), std::string::npos) << written.message();
}

// The device root's folder is opened once and kept for every resolution: a kept folder that is no
// longer the root's (another root set, or the folder removed and made again at the same path)
// must never be read or written in.
TEST_F(TextFile, ReadsAndWritesLandInTheRootsFolderAsItIsNow) {
  putBytes(kFile, "VPNState=YES\n");
  ASSERT_EQ(host::readUTF8Text(kFile).valueOr(""), "VPNState=YES\n");

  // Another device folder, alive beside this one, and back.
  const std::string other = hostsim::makeTemporaryDirectory();
  std::filesystem::create_directories(other + kFolder);
  std::ofstream(other + kFile, std::ios::binary) << "VPNState=NO\n";
  hostsim::setDeviceRoot(other);
  EXPECT_EQ(host::readUTF8Text(kFile).valueOr(""), "VPNState=NO\n");
  hostsim::setDeviceRoot(root_);
  EXPECT_EQ(host::readUTF8Text(kFile).valueOr(""), "VPNState=YES\n");
  hostsim::removeTree(other);

  // This folder removed and made again at its path, with the root left as it is: each kind of
  // operation, first after the change, finds the new folder.
  const std::vector<std::pair<std::string, std::function<void()>>> operations = {
      {"a read", [&] { EXPECT_EQ(host::readUTF8Text(kFile).valueOr(""), "again\n"); }},
      {"a replace",
       [&] {
         EXPECT_TRUE(host::writeUTF8TextAtomically(kFile, "replaced\n").ok());
         EXPECT_EQ(bytesOf(kFile), "replaced\n");
       }},
      {"a removal",
       [&] {
         EXPECT_EQ(hostsim::unlinkDeviceFile(hostFile(kFile)), 0) << std::strerror(errno);
         EXPECT_FALSE(std::filesystem::exists(hostFile(kFile)));
       }},
  };
  for (const auto& [what, operation] : operations) {
    SCOPED_TRACE(what);
    hostsim::removeTree(root_);
    std::filesystem::create_directories(root_ + kFolder);
    putBytes(kFile, "again\n");
    operation();
  }
}

}  // namespace
}  // namespace harbrite::test
