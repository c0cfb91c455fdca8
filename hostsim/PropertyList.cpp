// Property-list files, through libplist: every value is read and written back as it was stored.
//
// libplist 2.2 parses both encodings and keeps each value whole inside its nodes, but some of its
// accessors narrow them: dates come out in 32-bit seconds, an integer's sign is not told, and a
// key holding a NUL aborts the process. Those values are read through the encoding of their one
// node instead, which libplist writes whole. Writing goes through libplist's XML encoder unless
// the XML encoding cannot carry a value as it is; then the binary encoding is written
// (BinaryEncoding.cpp).
#include <plist/plist.h>
#include <pthread.h>
#include <utf8.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/PropertyList.h"
#include "hostsim/FileLayer.h"
#include "hostsim/PlistCodec.h"
#include "hostsim/Timeline.h"

namespace hostsim {

namespace {

using host::DictionaryRead;
using host::Value;
using Failure = DictionaryRead::Failure;

struct PlistFree {
  void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct Freed {
  void operator()(char* p) const { free(p); }
};

std::string xmlOfNode(plist_t node) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(node, &xml, &length);
  std::string text(xml != nullptr ? xml : "", xml != nullptr ? length : 0);
  plist_to_xml_free(xml);
  return text;
}

std::string binaryOfNode(plist_t node) {
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(node, &bytes, &length);
  std::string binary(bytes != nullptr ? bytes : "", bytes != nullptr ? length : 0);
  plist_to_bin_free(bytes);
  return binary;
}

plist_t nodeFromBinary(const std::string& binary) {
  plist_t node = nullptr;
  plist_from_bin(binary.data(), static_cast<uint32_t>(binary.size()), &node);
  return node;
}

std::uint64_t bigEndian(const std::string& bytes, std::size_t at, std::size_t width) {
  std::uint64_t n = 0;
  for (std::size_t i = 0; i < width; ++i) n = n << 8 | static_cast<unsigned char>(bytes[at + i]);
  return n;
}

// ---- Reading single values -------------------------------------------------------------------

// An integer. libplist hands over its 64 bits alone; whether a value with the top bit set is
// negative or above 2^63 - 1 shows in the XML encoding of the node, which writes it signed or
// unsigned as it was stored.
Value integerOf(plist_t node) {
  uint64_t bits = 0;
  plist_get_uint_val(node, &bits);
  if (bits <= static_cast<uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return Value(bits);
  }
  const std::string xml = xmlOfNode(node);
  if (xml.find("<integer>-") != std::string::npos) return Value(static_cast<std::int64_t>(bits));
  return Value(bits);
}

// A date. libplist keeps its seconds as a double but hands over only 32 bits of them; the binary
// encoding of the node holds the double itself: marker 0x33 right after the header.
std::optional<Value> dateOf(plist_t node) {
  const std::string binary = binaryOfNode(node);
  if (binary.size() < 17 || static_cast<unsigned char>(binary[8]) != 0x33) return std::nullopt;
  return Value(host::Date{std::bit_cast<double>(bigEndian(binary, 9, 8))});
}

// XML text between a start tag and its end tag, as libplist's encoder escapes it.
std::string unescapeXML(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out.push_back(text[i]);
    } else if (text.substr(i, 5) == "&amp;") {
      out.push_back('&');
      i += 4;
    } else if (text.substr(i, 4) == "&lt;") {
      out.push_back('<');
      i += 3;
    } else if (text.substr(i, 4) == "&gt;") {
      out.push_back('>');
      i += 3;
    } else {
      out.push_back('&');
    }
  }
  return out;
}

// A dictionary key. libplist's key accessor aborts on a key that holds a NUL character; the XML
// encoding of the key's node writes it whole, escaping only '&', '<' and '>'.
std::optional<std::string> keyOf(plist_t value) {
  plist_t keyNode = plist_dict_item_get_key(value);
  if (keyNode == nullptr) return std::nullopt;
  const std::string xml = xmlOfNode(keyNode);
  const std::size_t begin = xml.find("<key>");
  const std::size_t end = xml.rfind("</key>");
  if (begin == std::string::npos || end == std::string::npos || end < begin + 5) {
    return std::nullopt;
  }
  return unescapeXML(std::string_view(xml).substr(begin + 5, end - begin - 5));
}

// What libplist's binary parser would not survive or keep, found by visiting the objects that
// the offset table names (reading only markers, lengths and references): a one-byte string
// holding a NUL, which its parser cuts short with nothing left to tell; and nesting deeper than
// host::kMaxNesting, which its parser follows by recursion, comparing each level with every level
// above it (time growing with the square of the depth). Bytes whose table does not hold up are
// malformed: the parser, which checks each reference only when it follows it, would refuse them
// too, but possibly only after following a deep chain.
struct BinaryScan {
  bool malformed = false;
  bool oneByteStringWithNul = false;
  bool tooDeep = false;
};

BinaryScan scanBinary(const std::string& b) {
  BinaryScan scan;
  const BinaryScan malformed{true};
  if (b.size() < 40 || b.compare(0, 6, "bplist") != 0) return malformed;
  const std::size_t trailer = b.size() - 32;
  const std::size_t offsetWidth = static_cast<unsigned char>(b[trailer + 6]);
  const std::size_t referenceWidth = static_cast<unsigned char>(b[trailer + 7]);
  const std::uint64_t count = bigEndian(b, trailer + 8, 8);
  const std::uint64_t top = bigEndian(b, trailer + 16, 8);
  const std::uint64_t table = bigEndian(b, trailer + 24, 8);
  if (offsetWidth < 1 || offsetWidth > 8 || referenceWidth < 1 || referenceWidth > 8) {
    return malformed;
  }
  if (table >= trailer || count > (trailer - table) / offsetWidth || top >= count) return malformed;

  // Each object's references (containers only), or none for a table that does not hold up.
  std::vector<std::vector<std::uint64_t>> references(count);
  std::vector<bool> container(count, false);
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t at = bigEndian(b, table + i * offsetWidth, offsetWidth);
    if (at >= trailer) return malformed;
    const unsigned char marker = static_cast<unsigned char>(b[at]);
    const unsigned kind = marker & 0xF0;
    const bool isContainer = kind >= 0xA0 && kind <= 0xD0;  // array, ordered set, set, dictionary
    const bool sized = kind == 0x40 || kind == 0x50 || kind == 0x60 || isContainer;
    if (!sized) continue;
    std::uint64_t length = marker & 0x0F;
    std::uint64_t start = at + 1;
    if (length == 0x0F) {
      if (start >= trailer) return malformed;
      const unsigned char sizeMarker = static_cast<unsigned char>(b[start]);
      const std::uint64_t width = std::uint64_t{1} << (sizeMarker & 0x0F);
      if ((sizeMarker & 0xF0) != 0x10 || width > 8 || start + 1 + width > trailer) {
        return malformed;
      }
      length = bigEndian(b, start + 1, width);
      start += 1 + width;
    }
    if (kind == 0x50) {
      if (length > trailer - start) return malformed;
      if (std::memchr(b.data() + start, '\0', length) != nullptr) scan.oneByteStringWithNul = true;
    } else if (isContainer) {
      container[i] = true;
      const std::uint64_t n = kind == 0xD0 ? 2 * length : length;
      if (length > trailer || n > (trailer - start) / referenceWidth) return malformed;
      for (std::uint64_t r = 0; r < n; ++r) {
        const std::uint64_t ref = bigEndian(b, start + r * referenceWidth, referenceWidth);
        if (ref >= count) return malformed;
        references[i].push_back(ref);
      }
    }
  }

  // The longest chain of references from the top object, without recursion; a cycle counts as
  // too deep, as it would recurse for ever.
  std::vector<std::uint64_t> depth(count, 0);
  std::vector<unsigned char> state(count, 0);  // 0 unvisited, 1 on the path, 2 done
  std::vector<std::pair<std::uint64_t, std::size_t>> path{{top, 0}};
  state[top] = 1;
  while (!path.empty()) {
    auto& [object, next] = path.back();
    if (next < references[object].size()) {
      const std::uint64_t child = references[object][next++];
      if (state[child] == 1) {
        scan.tooDeep = true;
        return scan;
      }
      if (state[child] == 0) {
        state[child] = 1;
        path.emplace_back(child, 0);
      }
      continue;
    }
    std::uint64_t deepest = 0;
    for (std::uint64_t child : references[object]) deepest = std::max(deepest, depth[child]);
    depth[object] = container[object] ? deepest + 1 : 0;
    state[object] = 2;
    path.pop_back();
  }
  scan.tooDeep = depth[top] > host::kMaxNesting;
  return scan;
}

// ---- Reading a tree, without recursion -------------------------------------------------------

// The depth of a parsed tree, counted without recursion.
std::size_t depthOf(plist_t root) {
  std::size_t deepest = 0;
  std::vector<std::pair<plist_t, std::size_t>> pending{{root, 0}};
  while (!pending.empty()) {
    auto [node, depth] = pending.back();
    pending.pop_back();
    const plist_type type = plist_get_node_type(node);
    if (type == PLIST_ARRAY) {
      deepest = std::max(deepest, depth + 1);
      const uint32_t n = plist_array_get_size(node);
      for (uint32_t i = 0; i < n; ++i)
        pending.emplace_back(plist_array_get_item(node, i), depth + 1);
    } else if (type == PLIST_DICT) {
      deepest = std::max(deepest, depth + 1);
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      for (;;) {
        plist_t value = nullptr;
        plist_dict_next_item(node, it, nullptr, &value);
        if (value == nullptr) break;
        pending.emplace_back(value, depth + 1);
      }
      free(it);
    }
  }
  return deepest;
}

bool fromPlist(plist_t root, Value& top) {
  std::vector<std::pair<plist_t, Value*>> pending{{root, &top}};
  while (!pending.empty()) {
    auto [node, out] = pending.back();
    pending.pop_back();
    switch (plist_get_node_type(node)) {
      case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        *out = Value(b != 0);
        break;
      }
      case PLIST_UINT:
        *out = integerOf(node);
        break;
      case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        *out = Value(d);
        break;
      }
      case PLIST_STRING: {
        uint64_t length = 0;
        const char* s = plist_get_string_ptr(node, &length);
        *out = Value(s != nullptr ? std::string(s, length) : std::string());
        break;
      }
      case PLIST_DATA: {
        uint64_t length = 0;
        const auto* d = reinterpret_cast<const std::uint8_t*>(plist_get_data_ptr(node, &length));
        *out = Value(d != nullptr ? host::Data(d, d + length) : host::Data());
        break;
      }
      case PLIST_DATE: {
        std::optional<Value> date = dateOf(node);
        if (!date) return false;
        *out = std::move(*date);
        break;
      }
      case PLIST_UID: {
        uint64_t n = 0;
        plist_get_uid_val(node, &n);
        *out = Value(host::Uid{n});
        break;
      }
      case PLIST_ARRAY: {
        const uint32_t n = plist_array_get_size(node);
        *out = Value(host::Array(n));
        host::Array& array = *out->asArray();
        for (uint32_t i = 0; i < n; ++i)
          pending.emplace_back(plist_array_get_item(node, i), &array[i]);
        break;
      }
      case PLIST_DICT: {
        // A key given twice keeps its last value, in the place of its first.
        std::vector<std::pair<std::string, plist_t>> entries;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        bool ok = true;
        for (;;) {
          plist_t value = nullptr;
          plist_dict_next_item(node, it, nullptr, &value);
          if (value == nullptr) break;
          std::optional<std::string> key = keyOf(value);
          if (!key) {
            ok = false;
            break;
          }
          entries.emplace_back(std::move(*key), value);
        }
        free(it);
        if (!ok) return false;
        host::Dictionary dictionary;
        std::unordered_map<std::string, plist_t> last;
        for (const auto& [key, value] : entries) {
          dictionary.set(key, Value());
          last[key] = value;
        }
        *out = Value(std::move(dictionary));
        host::Dictionary& placed = *out->asDictionary();
        for (const auto& [key, value] : last) pending.emplace_back(value, placed.find(key));
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

// ---- Parsing within the stack ----------------------------------------------------------------

// libplist's XML parser recurses once per level of nesting (in linear time). XML that cannot nest
// deeper than host::kMaxNesting is parsed on the caller's stack; other XML on a thread of its own
// whose stack is sized for the deepest nesting the bytes could hold (each level takes at least
// one container tag), and a tree deeper than the bound is refused. The binary encoding is
// measured before it is parsed (scanBinary).
constexpr std::size_t kParserStackPerLevel = 1024;
constexpr std::size_t kMaxParserStack = std::size_t{1} << 34;

std::size_t possibleNesting(const std::string& bytes, bool binary) {
  if (binary) return 0;  // measured beforehand by scanBinary
  std::size_t count = 0;
  for (std::size_t at = bytes.find('<'); at != std::string::npos; at = bytes.find('<', at + 1)) {
    if (bytes.compare(at + 1, 5, "array") == 0 || bytes.compare(at + 1, 4, "dict") == 0) ++count;
  }
  return count;
}

plist_t parse(const std::string& bytes) {
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  return root;
}

struct DeepParse {
  const std::string* bytes = nullptr;
  plist_t root = nullptr;
  bool tooDeep = false;
};

void* parseDeep(void* argument) {
  auto* job = static_cast<DeepParse*>(argument);
  job->root = parse(*job->bytes);
  if (job->root != nullptr && depthOf(job->root) > host::kMaxNesting) {
    plist_free(job->root);  // freeing recurses as deep as the tree: here, on the deep stack
    job->root = nullptr;
    job->tooDeep = true;
  }
  return nullptr;
}

// The parsed tree; Unreadable when it nests too deep, or no stack could be had for it.
plist_t parseWithinStack(const std::string& bytes, bool binary, Failure& failure) {
  const std::size_t levels = possibleNesting(bytes, binary);
  if (levels <= host::kMaxNesting) return parse(bytes);
  failure = Failure::Unreadable;
  if (levels > kMaxParserStack / kParserStackPerLevel) return nullptr;
  DeepParse job{&bytes};
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return nullptr;
  pthread_t thread;
  const bool started =
      pthread_attr_setstacksize(&attributes, (levels + 1024) * kParserStackPerLevel) == 0 &&
      pthread_create(&thread, &attributes, &parseDeep, &job) == 0;
  pthread_attr_destroy(&attributes);
  if (!started) return nullptr;
  pthread_join(thread, nullptr);
  if (!job.tooDeep) failure = Failure::None;
  return job.root;
}

// ---- Writing ---------------------------------------------------------------------------------

// Seconds from 2001 of 1000-01-01T00:00:00Z and of 9999-12-31T23:59:59Z: libplist's XML encoder
// writes years of four digits only, and XML readers read no others.
constexpr double kEarliestXMLDate = -31588531200.0;
constexpr double kLatestXMLDate = 252423993599.0;
// Each level of the XML encoding is indented by one more tab, so its size grows with the square
// of the depth: deeper dictionaries are written in the binary encoding.
constexpr std::size_t kMaxXMLNesting = 256;

// Characters XML 1.0 cannot carry, not even as references: the C0 controls other than TAB, LF
// and CR, and U+FFFE and U+FFFF.
bool xmlCannotCarry(const std::string& text) {
  if (!utf8::is_valid(text.begin(), text.end())) return true;  // XML text is UTF-8
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return true;
    if (c == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
        (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE) {
      return true;
    }
  }
  return false;
}

bool xmlCannotCarry(const Value& value) {
  if (value.asUid() != nullptr) return true;  // XML has no UIDs
  if (const double* d = value.asReal()) {
    // XML writes NaN without its bits, and zero without its sign.
    return std::isnan(*d) || (*d == 0 && std::signbit(*d));
  }
  if (const host::Date* date = value.asDate()) {
    const double t = std::floor(date->sinceReferenceDate);
    return !(t >= kEarliestXMLDate && t <= kLatestXMLDate);
  }
  if (const std::string* s = value.asString()) return xmlCannotCarry(*s);
  return false;
}

plist_t toPlist(const Value& value) {
  switch (value.type()) {
    case Value::Type::None:
    case Value::Type::Uid:
      return nullptr;
    case Value::Type::Boolean:
      return plist_new_bool(*value.asBoolean() ? 1 : 0);
    case Value::Type::Integer:
      if (value.asLargeInteger() != nullptr) {
        // plist_new_uint would write it back as negative: the node comes from its encoding.
        return nodeFromBinary(binaryEncoding(value));
      }
      return plist_new_uint(static_cast<uint64_t>(*value.asInteger()));
    case Value::Type::Real:
      return plist_new_real(*value.asReal());
    case Value::Type::String:
      return plist_new_string(value.asString()->c_str());
    case Value::Type::Data: {
      const auto& d = *value.asData();
      return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
    }
    case Value::Type::Date:
      // In whole seconds, as the XML encoding holds dates: the second the date falls in. Made
      // from the date's encoding, since plist_new_date takes 32-bit seconds only.
      return nodeFromBinary(
          binaryEncoding(Value(host::Date{std::floor(value.asDate()->sinceReferenceDate)})));
    case Value::Type::Array: {
      plist_t array = plist_new_array();
      for (const Value& item : *value.asArray()) {
        if (plist_t p = toPlist(item)) plist_array_append_item(array, p);
      }
      return array;
    }
    case Value::Type::Dictionary: {
      plist_t dict = plist_new_dict();
      for (const auto& [key, item] : *value.asDictionary()) {
        if (plist_t p = toPlist(item)) plist_dict_set_item(dict, key.c_str(), p);
      }
      return dict;
    }
  }
  return nullptr;
}

std::string xmlEncoding(const host::Dictionary& dictionary) {
  PlistPtr root(toPlist(Value(dictionary)));
  const std::string xml = xmlOfNode(root.get());
  // libplist writes a CR as it is, and every XML reader would read it as LF: it becomes a
  // character reference. The encoder itself writes no CR outside the text of values.
  std::string out;
  out.reserve(xml.size());
  for (char c : xml) {
    if (c == '\r') {
      out += "&#13;";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

namespace {

// Text that neither encoding can write back as it is: bytes that are not UTF-8 go back only as a
// one-byte string, and a one-byte string cannot hold a NUL. A file holding such text (an XML file
// whose text is not UTF-8 and holds a character reference to NUL) is kept, never rewritten.
bool unwritableText(const std::string& text) {
  return text.find('\0') != std::string::npos && !utf8::is_valid(text.begin(), text.end());
}

bool holdsUnwritableText(const host::Dictionary& dictionary) {
  std::vector<const host::Dictionary*> dictionaries{&dictionary};
  std::vector<const Value*> values;
  while (!dictionaries.empty() || !values.empty()) {
    if (!dictionaries.empty()) {
      const host::Dictionary* d = dictionaries.back();
      dictionaries.pop_back();
      for (const auto& [key, item] : *d) {
        if (unwritableText(key)) return true;
        values.push_back(&item);
      }
      continue;
    }
    const Value* v = values.back();
    values.pop_back();
    if (const std::string* text = v->asString()) {
      if (unwritableText(*text)) return true;
    } else if (const host::Array* array = v->asArray()) {
      for (const Value& item : *array) values.push_back(&item);
    } else if (const host::Dictionary* inner = v->asDictionary()) {
      dictionaries.push_back(inner);
    }
  }
  return false;
}

}  // namespace

DictionaryRead readDictionaryBytes(const std::string& bytes) {
  DictionaryRead result;
  result.failure = Failure::Malformed;
  if (bytes.empty() || bytes.size() > UINT32_MAX) return result;
  const bool binary = plist_is_binary(bytes.data(), static_cast<uint32_t>(bytes.size())) != 0;
  if (binary) {
    const BinaryScan scan = scanBinary(bytes);
    if (scan.malformed) return result;
    if (scan.oneByteStringWithNul || scan.tooDeep) {
      result.failure = Failure::Unreadable;
      return result;
    }
  }
  Failure failure = Failure::None;
  PlistPtr root(parseWithinStack(bytes, binary, failure));
  if (failure != Failure::None) {
    result.failure = failure;
    return result;
  }
  if (root == nullptr || plist_get_node_type(root.get()) != PLIST_DICT) return result;
  Value value;
  if (!fromPlist(root.get(), value)) return result;
  if (holdsUnwritableText(*value.asDictionary())) {
    result.failure = Failure::Unreadable;
    return result;
  }
  result.dictionary = std::move(*value.asDictionary());
  result.failure = Failure::None;
  return result;
}

std::optional<host::Dictionary> dictionaryFromBytes(const std::string& bytes) {
  return readDictionaryBytes(bytes).dictionary;
}

bool needsBinaryEncoding(const host::Dictionary& dictionary) {
  std::vector<std::pair<const Value*, std::size_t>> pending;
  for (const auto& [key, value] : dictionary) {
    if (xmlCannotCarry(key)) return true;
    pending.emplace_back(&value, 1);
  }
  while (!pending.empty()) {
    auto [value, depth] = pending.back();
    pending.pop_back();
    if (xmlCannotCarry(*value)) return true;
    if (const host::Array* array = value->asArray()) {
      if (depth + 1 > kMaxXMLNesting) return true;
      for (const Value& item : *array) pending.emplace_back(&item, depth + 1);
    } else if (const host::Dictionary* inner = value->asDictionary()) {
      if (depth + 1 > kMaxXMLNesting) return true;
      for (const auto& [key, item] : *inner) {
        if (xmlCannotCarry(key)) return true;
        pending.emplace_back(&item, depth + 1);
      }
    }
  }
  return false;
}

std::string encodeDictionary(const host::Dictionary& dictionary) {
  if (needsBinaryEncoding(dictionary)) return binaryEncoding(dictionary);
  return xmlEncoding(dictionary);
}

}  // namespace hostsim

namespace host {

DictionaryRead readDictionaryFile(const std::string& path) {
  std::string bytes;
  if (!hostsim::readWholeFile(hostsim::hostPath(path), bytes)) {
    DictionaryRead result;
    result.failure = errno == ENOENT || errno == ENOTDIR ? DictionaryRead::Failure::Missing
                                                         : DictionaryRead::Failure::Unreadable;
    return result;
  }
  return hostsim::readDictionaryBytes(bytes);
}

bool writeDictionaryAtomically(const Dictionary& dictionary, const std::string& path) {
  bool ok = false;
  errno = 0;
  std::size_t depth = 0;
  for (const auto& entry : dictionary) depth = std::max(depth, nestingDepth(entry.second));
  if (depth + 1 <= kMaxNesting) {
    ok = hostsim::replaceFileAtomically(hostsim::hostPath(path),
                                        hostsim::encodeDictionary(dictionary));
  }
  const int saved = errno;
  if (hostsim::timelineActive()) {
    std::string text = std::string(ok ? "wrote " : "failed to write ") + path;
    if (!ok && saved == EFBIG) {
      text += " (it would exceed the " + std::to_string(hostsim::kMaxReadableFileSize >> 20) +
              " MiB that its readers read: the file stays as it was)";
    } else if (!ok && saved != 0) {
      text += std::string(" (") + std::strerror(saved) + ")";
    }
    hostsim::timeline("file", text, {{"path", path}, {"written", ok}});
  }
  errno = saved;
  return ok;
}

}  // namespace host
