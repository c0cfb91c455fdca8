// Reading property-list files as dictionaries: both encodings give the same values, and
// anything that is not a dictionary at its top level gives none, never a crash.
#include <plist/plist.h>

#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <tuple>
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
  ASSERT_TRUE(host::writeDictionaryAtomically(written, kFile).ok());
  EXPECT_EQ(bytesOf(kFile).rfind("<?xml", 0), 0u) << "written as XML";
  const host::Result<host::Dictionary> fromXML = host::readDictionary(kFile);
  ASSERT_TRUE(fromXML.ok()) << fromXML.status().message();
  EXPECT_EQ(fromXML.value(), written);
  EXPECT_EQ(*fromXML->find("negative")->asInteger(), -7);
  EXPECT_EQ(*fromXML->find("nested")->asDictionary()->find("Key")->asString(), "upper");

  putBytes(kFile, binaryFromXML(bytesOf(kFile)));
  ASSERT_EQ(bytesOf(kFile).rfind("bplist00", 0), 0u);
  const host::Result<host::Dictionary> fromBinary = host::readDictionary(kFile);
  ASSERT_TRUE(fromBinary.ok()) << fromBinary.status().message();
  EXPECT_EQ(fromBinary.value(), written);
}

// Bytes that are no property list, or one whose top level is no dictionary, are malformed (a
// writer may start afresh over them); no file is missing, and a folder is unreadable (a writer
// must leave it).
TEST_F(PropertyList, AnythingButADictionaryIsToldApartByWhyItIsNone) {
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
    const host::Status read = host::readDictionary(kFile).status();
    EXPECT_EQ(read.code(), host::Status::Code::Malformed) << what;
    EXPECT_FALSE(read.message().empty()) << what;
  }
  // The same dictionary, whole, reads fine: the cases above fail for their bytes alone.
  putBytes(kFile, dictXML);
  EXPECT_TRUE(host::readDictionary(kFile).ok());

  std::filesystem::remove(hostFile(kFile));
  const host::Status missing = host::readDictionary(kFile).status();
  EXPECT_EQ(missing.code(), host::Status::Code::Missing);
  EXPECT_NE(missing.message().find("com.quorvik.harbrite.plist"), std::string::npos)
      << missing.message();
  std::filesystem::create_directory(hostFile(kFile));
  const host::Status folder = host::readDictionary(kFile).status();
  EXPECT_EQ(folder.code(), host::Status::Code::Unreadable) << "a folder, not a file";
  EXPECT_NE(folder.message().find("com.quorvik.harbrite.plist"), std::string::npos)
      << folder.message();
}

// A binary file holding {KEY: V}, the key and the value given as their objects' bytes.
std::string binaryHolding(const std::string& value, const std::string& key = "\x51k") {
  std::string b = "bplist00";
  std::string table;
  for (const std::string& object : {std::string("\xD1\x01\x02"), key, value}) {
    table.push_back(static_cast<char>(b.size()));
    b += object;
  }
  const std::size_t tableAt = b.size();
  b += table + std::string(6, '\0') + "\x01\x01";
  for (const std::uint64_t n : {std::uint64_t{3}, std::uint64_t{0}, std::uint64_t{tableAt}}) {
    for (int i = 7; i >= 0; --i) b.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
  }
  return b;
}

std::string xmlDeclaring(const std::string& encoding, const std::string& body) {
  std::string xml = xmlPlist(body);
  return xml.replace(xml.find("UTF-8"), 5, encoding);
}

// UTF-16 of ASCII text, with a byte-order mark.
std::string utf16(const std::string& ascii, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (const char c : ascii) {
    out += bigEndian ? std::string{'\0', c} : std::string{c, '\0'};
  }
  return out;
}

// Files other writers and hand editors make, which the platform's reader reads: each value is
// read as it was meant, and comes back the same after a write (in XML unless it cannot carry
// the value, as the last column says).
TEST_F(PropertyList, FilesOtherWritersMakeAreReadWithEveryValueIntact) {
  const std::string dict = "<dict><key>k</key><string>caf\xC3\xA9</string></dict>";
  const std::string date = binaryHolding(std::string("\x33", 1) + [] {
    std::string bits;
    const auto n = std::bit_cast<std::uint64_t>(725846400.75);  // 2024-01-01 00:00:00.75
    for (int i = 7; i >= 0; --i) bits.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    return bits;
  }());
  struct Case {
    const char* what;
    std::string bytes;
    std::string key;
    host::Value value;
    bool binary;
  };
  const std::vector<Case> cases = {
      {"UTF-8 with a byte-order mark", "\xEF\xBB\xBF" + xmlPlist(dict), "k", "caf\xC3\xA9", false},
      {"UTF-16, little-endian",
       utf16(xmlDeclaring("UTF-16", "<dict><key>k</key><string>a&#xE9;</string></dict>"), false),
       "k", "a\xC3\xA9", false},
      {"UTF-16, big-endian",
       utf16(xmlDeclaring("UTF-16", "<dict><key>k</key><integer>7</integer></dict>"), true), "k", 7,
       false},
      {"ISO-8859-1",
       xmlDeclaring("ISO-8859-1", "<dict><key>k</key><string>caf\xE9</string></dict>"), "k",
       "caf\xC3\xA9", false},
      {"Windows-1252",
       xmlDeclaring("windows-1252", "<dict><key>k</key><string>\x80</string></dict>"), "k",
       "\xE2\x82\xAC", false},
      {"an empty key written <key/>", xmlPlist("<dict><key/><string>x</string></dict>"), "", "x",
       false},
      {"leading zeros are decimal", xmlPlist("<dict><key>k</key><integer>010</integer></dict>"),
       "k", 10, false},
      {"leading zeros before a 9", xmlPlist("<dict><key>k</key><integer>0009</integer></dict>"),
       "k", 9, false},
      {"hexadecimal", xmlPlist("<dict><key>k</key><integer> 0x1F </integer></dict>"), "k", 31,
       false},
      {"-2^63", xmlPlist("<dict><key>k</key><integer>-9223372036854775808</integer></dict>"), "k",
       std::numeric_limits<std::int64_t>::min(), false},
      {"2^64 - 1", xmlPlist("<dict><key>k</key><integer>18446744073709551615</integer></dict>"),
       "k", std::numeric_limits<std::uint64_t>::max(), false},
      {"CR LF and CR alone read as LF",
       xmlPlist("<dict><key>k</key><string>a\r\nb\rc&#13;</string></dict>"), "k", "a\nb\nc\r",
       false},
      {"a UID of 8 bytes", binaryHolding(std::string("\x87\x00\x00\x00\x01\x00\x00\x00\x00", 9)),
       "k", host::Uid{std::uint64_t{1} << 32}, true},
      {"a 16-byte integer of all ones is -1", binaryHolding("\x14" + std::string(16, '\xFF')), "k",
       -1, false},
      {"a 16-byte integer of 2^64 - 1",
       binaryHolding("\x14" + std::string(8, '\0') + std::string(8, '\xFF')), "k",
       std::numeric_limits<std::uint64_t>::max(), false},
      {"a date with a fraction of a second", date, "k", host::Date{725846400.75}, true},
      {"an ASCII string and key holding a NUL",
       binaryHolding(std::string("\x53"
                                 "a\0b",
                                 4),
                     std::string("\x53"
                                 "k\0k",
                                 4)),
       std::string("k\0k", 3), std::string("a\0b", 3), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    putBytes(kFile, c.bytes);
    const host::Result<host::Dictionary> read = host::readDictionary(kFile);
    ASSERT_TRUE(read.ok()) << read.status().message();
    ASSERT_NE(read->find(c.key), nullptr);
    EXPECT_EQ(*read->find(c.key), c.value);
    ASSERT_TRUE(host::writeDictionaryAtomically(read.value(), kFile).ok());
    EXPECT_EQ(bytesOf(kFile).rfind("bplist00", 0) == 0, c.binary);
    EXPECT_EQ(host::readDictionary(kFile).valueOr(host::Dictionary{}), read.value());
  }
}

// A binary file whose offset table points 300,000 objects at one array of 100,000 references:
// read naively, 3e10 references (a hang, then memory exhausted).
std::string sharedReferences() {
  auto be = [](std::uint64_t v, int width) {
    std::string out;
    for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<char>(v >> (8 * i)));
    return out;
  };
  const std::uint64_t references = 100'000, objects = 300'000;
  std::string file = "bplist00";
  file += '\xD0';  // the top object: an empty dictionary
  file += "\xAF\x12" + be(references, 4) + std::string(references, '\0');
  const std::uint64_t table = file.size();
  file += be(8, 4);
  for (std::uint64_t i = 1; i < objects; ++i) file += be(9, 4);
  file += std::string(6, '\0') + '\x04' + '\x01' + be(objects, 8) + be(0, 8) + be(table, 8);
  return file;
}

// Property lists holding what the system cannot keep whole are refused as unreadable (so no
// writer replaces them), with the reason; bytes that are no property list at all are malformed.
TEST_F(PropertyList, WhatCannotBeKeptWholeIsRefusedAndNamed) {
  using F = host::Status::Code;
  const std::vector<std::tuple<const char*, std::string, F, std::string>> cases = {
      {"below -2^63", xmlPlist("<dict><key>k</key><integer>-9223372036854775809</integer></dict>"),
       F::Unreadable, "integer out of range"},
      {"2^64", xmlPlist("<dict><key>k</key><integer>18446744073709551616</integer></dict>"),
       F::Unreadable, "integer out of range"},
      {"a 16-byte 2^64",
       binaryHolding("\x14" + std::string(7, '\0') + "\x01" + std::string(8, '\0')), F::Unreadable,
       "16-byte integer out of range"},
      {"&#0; in ISO-8859-1",
       xmlDeclaring("ISO-8859-1", "<dict><key>k</key><string>caf\xE9&#0;</string></dict>"),
       F::Unreadable, "character XML does not allow"},
      {"a lone surrogate", binaryHolding(std::string("\x61\xD8\x00", 3)), F::Unreadable,
       "lone UTF-16 surrogate"},
      {"an encoding not read here", xmlDeclaring("KOI8-R", "<dict/>"), F::Unreadable,
       "encoding not read here: koi8-r"},
      {"entities of its own",
       "<!DOCTYPE plist [<!ENTITY e \"x\">]><plist><dict><key>k</key><string>&e;</string></dict>"
       "</plist>",
       F::Unreadable, "document type of its own"},
      {"UTF-8 that is not", xmlPlist("<dict><key>k</key><string>caf\xE9</string></dict>"),
       F::Unreadable, "not in its declared encoding"},
      {"an element of no property list",
       xmlPlist("<dict><key>k</key><string>a</string><foo/></dict>"), F::Unreadable, "<foo>"},
      {"HTML", "<html><body>usePersistMode</body></html>", F::Malformed, "<html>"},
      {"300,000 offsets at one array of 100,000 references", sharedReferences(), F::Unreadable,
       "share their references"},
  };
  for (const auto& [what, bytes, failure, reason] : cases) {
    SCOPED_TRACE(what);
    putBytes(kFile, bytes);
    const host::Status read = host::readDictionary(kFile).status();
    EXPECT_EQ(read.code(), failure);
    EXPECT_NE(read.message().find(reason), std::string::npos) << read.message();
  }
}

std::string nestedXML(std::size_t levels) {
  std::string deep = "<dict><key>k</key>";
  for (std::size_t i = 1; i < levels; ++i) deep += "<array>";
  for (std::size_t i = 1; i < levels; ++i) deep += "</array>";
  return xmlPlist(deep + "</dict>");
}

// Nesting reads as deep as host::kMaxNesting, in both encodings, and is written back whole.
// Deeper files are refused as unreadable (so that no writer replaces them), never by
// overflowing a stack, however deep they go; and no writer writes one.
TEST_F(PropertyList, DeepNestingReadsUpToItsBoundAndNeverOverflowsTheStack) {
  for (const std::size_t levels : {std::size_t{600}, host::kMaxNesting}) {
    for (const bool binary : {false, true}) {
      SCOPED_TRACE(std::to_string(levels) + (binary ? " levels, binary" : " levels, XML"));
      const std::string xml = nestedXML(levels);
      putBytes(kFile, binary ? binaryFromXML(xml) : xml);
      const host::Result<host::Dictionary> read = host::readDictionary(kFile);
      ASSERT_TRUE(read.ok()) << read.status().message();
      EXPECT_EQ(host::nestingDepth(*read->find("k")) + 1, levels);
      ASSERT_TRUE(host::writeDictionaryAtomically(read.value(), kFile).ok());
      EXPECT_EQ(host::readDictionary(kFile).valueOr(host::Dictionary{}), read.value());
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
        // No writer makes such a file: its own readers would refuse it.
        EXPECT_EQ(host::writeDictionaryAtomically(*top.asDictionary(), kFile).code(),
                  host::Status::Code::Unwritable);
        // A value this deep is taken apart level by level: its destructor would recurse.
        host::Value* level = top.asDictionary()->find("k");
        while (host::Array* a = level->asArray()) {
          if (a->empty()) break;
          host::Value inner = std::move(a->front());
          *level = std::move(inner);
        }
      }
      putBytes(kFile, bytes);
      EXPECT_EQ(host::readDictionary(kFile).status().code(), host::Status::Code::Unreadable);
    }
  }
  // {"k": A} where the array A holds itself: endless nesting in a few bytes.
  std::string cycle = std::string("bplist00") + "\xD1\x01\x02" + "\x51k" + "\xA1\x02" +
                      "\x08\x0B\x0D" + std::string(6, '\0') + "\x01\x01";
  for (const std::uint64_t n : {std::uint64_t{3}, std::uint64_t{0}, std::uint64_t{15}}) {
    for (int i = 7; i >= 0; --i) cycle.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
  }
  putBytes(kFile, cycle);
  EXPECT_EQ(host::readDictionary(kFile).status().code(), host::Status::Code::Unreadable);
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
