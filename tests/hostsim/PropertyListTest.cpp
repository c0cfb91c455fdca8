// Reading property-list files as dictionaries: both encodings give the same values, and
// anything that is not a dictionary at its top level gives none, never a crash.
#include <plist/plist.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "host/PropertyList.h"
#include "hostsim/PlistCodec.h"
#include "tests/hostsim/DeviceFolder.h"
#include "tools/Scenario.h"

namespace harbrite::test {
namespace {

constexpr const char* kFile = "/var/mobile/Library/Preferences/com.quorvik.harbrite.plist";

// The binary encoding of an XML property list, made by libplist itself.
std::string binaryFromXML(const std::string& xml) {
  plist_t root = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
  EXPECT_NE(root, nullptr);
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &bytes, &length);
  std::string binary(bytes, length);
  plist_to_bin_free(bytes);
  plist_free(root);
  return binary;
}

std::string xmlPlist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">" +
         body + "</plist>\n";
}

host::Dictionary everyKindOfValue() {
  host::Dictionary nested;
  nested.set("key", host::Value("lower"));
  nested.set("Key", host::Value("upper"));  // keys are exact
  host::Dictionary d;
  d.set("usePersistMode", host::Value(true));
  d.set("off", host::Value(false));
  d.set("count", host::Value(42));
  d.set("negative", host::Value(std::int64_t{-7}));
  d.set("ratio", host::Value(0.25));
  d.set("name", host::Value("Bank \xE2\x80\x94 \xC3\xA9t\xC3\xA9 & <co>"));
  d.set("blob", host::Value(host::Data{0x00, 0xFF, 0x10}));
  d.set("when", host::Value(host::Date{700000000}));
  d.set("enabledApplications",
        host::Value(host::Array{host::Value("com.example.bank"), host::Value("com.example.mail"),
                                host::Value(host::Array{}), host::Value(nested)}));
  d.set("nested", host::Value(nested));
  return d;
}

using PropertyList = DeviceFolder;

TEST_F(PropertyList, XMLAndBinaryFilesReadAsTheSameDictionary) {
  const host::Dictionary written = everyKindOfValue();
  ASSERT_TRUE(host::writeDictionaryAtomically(written, kFile));
  EXPECT_EQ(bytesOf(kFile).rfind("<?xml", 0), 0u) << "written as XML";
  std::optional<host::Dictionary> fromXML = host::readDictionary(kFile);
  ASSERT_TRUE(fromXML.has_value());
  EXPECT_EQ(*fromXML, written);
  EXPECT_EQ(*fromXML->find("negative")->asInteger(), -7);
  EXPECT_EQ(*fromXML->find("nested")->asDictionary()->find("Key")->asString(), "upper");

  putBytes(kFile, binaryFromXML(bytesOf(kFile)));
  ASSERT_EQ(bytesOf(kFile).rfind("bplist00", 0), 0u);
  std::optional<host::Dictionary> fromBinary = host::readDictionary(kFile);
  ASSERT_TRUE(fromBinary.has_value());
  EXPECT_EQ(*fromBinary, written);
}

TEST_F(PropertyList, AnythingButADictionaryReadsAsNone) {
  const std::string arrayXML = xmlPlist("<array><string>com.example.bank</string></array>");
  const std::string dictXML = xmlPlist("<dict><key>usePersistMode</key><true/></dict>");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"empty", ""},
      {"top-level array", arrayXML},
      {"top-level array, binary", binaryFromXML(arrayXML)},
      {"top-level string", xmlPlist("<string>usePersistMode</string>")},
      {"not a property list", std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16)},
      {"text", "usePersistMode = YES;\nenabledApplications = (a, b);\n"},
      {"XML cut short", dictXML.substr(0, dictXML.size() / 2)},
      {"binary cut short", binaryFromXML(dictXML).substr(0, 20)},
      {"binary header alone", "bplist00"},
  };
  for (const auto& [what, bytes] : cases) {
    putBytes(kFile, bytes);
    EXPECT_FALSE(host::readDictionary(kFile).has_value()) << what;
  }
  // The same dictionary, whole, reads fine: the cases above fail for their bytes alone.
  putBytes(kFile, dictXML);
  EXPECT_TRUE(host::readDictionary(kFile).has_value());

  std::filesystem::remove(hostFile(kFile));
  EXPECT_FALSE(host::readDictionary(kFile).has_value()) << "missing";
  std::filesystem::create_directory(hostFile(kFile));
  EXPECT_FALSE(host::readDictionary(kFile).has_value()) << "a folder, not a file";
}

std::string nestedXML(std::size_t levels) {
  std::string deep = "<dict><key>k</key>";
  for (std::size_t i = 1; i < levels; ++i) deep += "<array>";
  for (std::size_t i = 1; i < levels; ++i) deep += "</array>";
  return xmlPlist(deep + "</dict>");
}

// Nesting reads as deep as host::kMaxNesting, in both encodings, and is written back whole.
// Deeper files are refused as unreadable (so that no writer replaces them), never by
// overflowing a stack, however deep they go.
TEST_F(PropertyList, DeepNestingReadsUpToItsBoundAndNeverOverflowsTheStack) {
  for (const std::size_t levels : {std::size_t{600}, host::kMaxNesting}) {
    for (const bool binary : {false, true}) {
      SCOPED_TRACE(std::to_string(levels) + (binary ? " levels, binary" : " levels, XML"));
      const std::string xml = nestedXML(levels);
      putBytes(kFile, binary ? binaryFromXML(xml) : xml);
      const host::DictionaryRead read = host::readDictionaryFile(kFile);
      ASSERT_TRUE(read.dictionary.has_value());
      EXPECT_EQ(host::nestingDepth(*read.dictionary->find("k")) + 1, levels);
      ASSERT_TRUE(host::writeDictionaryAtomically(*read.dictionary, kFile));
      EXPECT_EQ(host::readDictionary(kFile), read.dictionary);
    }
  }
  for (const std::size_t levels : {host::kMaxNesting + 1, std::size_t{300000}}) {
    std::string bytes = nestedXML(levels);
    for (const bool binary : {false, true}) {
      SCOPED_TRACE(std::to_string(levels) + (binary ? " levels, binary" : " levels, XML"));
      if (binary) {
        // Made by hand: libplist's own encoder recurses as deep as the tree.
        host::Value nested = host::Value(host::Array{});
        for (std::size_t i = 2; i < levels; ++i) {
          host::Array outer;
          outer.push_back(std::move(nested));
          nested = host::Value(std::move(outer));
        }
        host::Value top = host::Value(host::Dictionary{});
        top.asDictionary()->set("k", std::move(nested));
        bytes = hostsim::binaryEncoding(top);
        // A value this deep is taken apart level by level: its destructor would recurse.
        host::Value* level = top.asDictionary()->find("k");
        while (host::Array* a = level->asArray()) {
          if (a->empty()) break;
          host::Value inner = std::move(a->front());
          *level = std::move(inner);
        }
      }
      putBytes(kFile, bytes);
      const host::DictionaryRead read = host::readDictionaryFile(kFile);
      EXPECT_FALSE(read.dictionary.has_value());
      EXPECT_EQ(read.failure, host::DictionaryRead::Failure::Unreadable);
    }
  }
  // {"k": A} where the array A holds itself: endless nesting in a few bytes.
  std::string cycle = std::string("bplist00") + "\xD1\x01\x02" + "\x51k" + "\xA1\x02" +
                      "\x08\x0B\x0D" + std::string(6, '\0') + "\x01\x01";
  for (const std::uint64_t n : {std::uint64_t{3}, std::uint64_t{0}, std::uint64_t{15}}) {
    for (int i = 7; i >= 0; --i) cycle.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
  }
  putBytes(kFile, cycle);
  EXPECT_EQ(host::readDictionaryFile(kFile).failure, host::DictionaryRead::Failure::Unreadable);
}

// A value read as Foundation's intValue reads it (a group switch's row count): integers above
// 2^63 keep their low 32 bits as well (2^63 + 5 is 5, 2^64 - 1 is -1).
TEST(PropertyListValue, IntValueReadsEveryTypeAsFoundationDoes) {
  const struct {
    host::Value value;
    std::int32_t expected;
  } rows[] = {
      {host::Value(true), 1},
      {host::Value(std::int64_t{-1}), -1},
      {host::Value((std::int64_t{1} << 32) + 7), 7},
      {host::Value((std::uint64_t{1} << 63) + 5), 5},
      {host::Value(~std::uint64_t{0}), -1},
      {host::Value(1.9), 1},
      {host::Value(-1e12), INT32_MIN},
      {host::Value(std::nan("")), 0},
      {host::Value(" -12abc"), -12},
      {host::Value("99999999999"), INT32_MAX},
      {host::Value("x"), 0},
      {host::Value(host::Array{host::Value(3)}), 0},
      {host::Value(), 0},
  };
  for (const auto& row : rows)
    EXPECT_EQ(row.value.intValue(), row.expected) << sim::formatValue(row.value);
}

}  // namespace
}  // namespace harbrite::test
