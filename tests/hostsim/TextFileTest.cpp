// UTF-8 text files: read whole when the bytes are UTF-8; otherwise no text and a description a
// person can read, naming the file.
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "host/Platform.h"
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
    host::TextRead read = host::readUTF8Text(kFile);
    EXPECT_TRUE(read.ok) << read.error;
    EXPECT_EQ(read.text, text);
    EXPECT_TRUE(read.error.empty());
  }
}

TEST_F(TextFile, BytesThatAreNotUTF8GiveADescriptionAndNoText) {
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
    host::TextRead read = host::readUTF8Text(kFile);
    EXPECT_FALSE(read.ok) << what;
    EXPECT_TRUE(read.text.empty()) << what;
    EXPECT_NE(read.error.find(kName), std::string::npos) << what << ": " << read.error;
    EXPECT_NE(read.error.find("UTF-8"), std::string::npos) << what << ": " << read.error;
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

TEST_F(TextFile, AFileThatCannotBeReadGivesADescriptionAndNoText) {
  host::TextRead missing = host::readUTF8Text(kFile);
  EXPECT_FALSE(missing.ok);
  EXPECT_NE(missing.error.find(kName), std::string::npos) << missing.error;
  EXPECT_NE(missing.error.find("no such file"), std::string::npos) << missing.error;

  putBytes(kFile, "VPNState=YES\n");
  ReadLayer failing(EIO);
  hostsim::setFileLayer(&failing);
  host::TextRead broken = host::readUTF8Text(kFile);
  hostsim::setFileLayer(nullptr);
  EXPECT_FALSE(broken.ok);
  EXPECT_TRUE(broken.text.empty());
  EXPECT_NE(broken.error.find(kName), std::string::npos) << broken.error;

  ReadLayer interrupted(EINTR);
  hostsim::setFileLayer(&interrupted);
  host::TextRead retried = host::readUTF8Text(kFile);
  hostsim::setFileLayer(nullptr);
  EXPECT_TRUE(retried.ok) << retried.error;
  EXPECT_EQ(retried.text, "VPNState=YES\n");
}

TEST_F(TextFile, AWriteThatCannotHappenSaysWhy) {
  std::string error;
  EXPECT_FALSE(host::writeUTF8TextAtomically("/var/mobile/Library/NoSuchFolder/state.txt",
                                             "VPNState=YES\n", &error));
  EXPECT_NE(error.find("state.txt"), std::string::npos) << error;
  EXPECT_NE(error.find("folder"), std::string::npos) << error;
}

}  // namespace
}  // namespace harbrite::test
