// Property-list values, and their files through libplist.
#include "host/PropertyList.h"

#include <plist/plist.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>

#include "hostsim/FileLayer.h"
#include "hostsim/PlistCodec.h"
#include "hostsim/Timeline.h"

namespace host {

const Value* Dictionary::find(std::string_view key) const {
  for (const auto& entry : entries_) {
    if (entry.first == key) return &entry.second;
  }
  return nullptr;
}

Value* Dictionary::find(std::string_view key) {
  for (auto& entry : entries_) {
    if (entry.first == key) return &entry.second;
  }
  return nullptr;
}

void Dictionary::set(std::string key, Value value) {
  if (Value* existing = find(key)) {
    *existing = std::move(value);
    return;
  }
  entries_.emplace_back(std::move(key), std::move(value));
}

bool Dictionary::remove(std::string_view key) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->first == key) {
      entries_.erase(it);
      return true;
    }
  }
  return false;
}

// Dictionaries are equal when they hold the same keys with the same values, in any order.
bool Dictionary::operator==(const Dictionary& other) const {
  if (size() != other.size()) return false;
  for (const auto& [key, value] : entries_) {
    const Value* theirs = other.find(key);
    if (theirs == nullptr || !(*theirs == value)) return false;
  }
  return true;
}

bool Value::boolValue() const {
  if (const bool* b = asBoolean()) return *b;
  if (const std::int64_t* i = asInteger()) return *i != 0;
  if (const double* d = asReal()) return *d != 0.0 && !std::isnan(*d);
  return false;
}

}  // namespace host

namespace hostsim {

namespace {

using host::Value;

struct PlistFree {
  void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// Nesting deeper than this is refused: a hostile file must not exhaust the stack.
constexpr int kMaxDepth = 512;

bool fromPlist(plist_t node, Value& out, int depth) {
  if (depth > kMaxDepth) return false;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      out = Value(b != 0);
      return true;
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      out = Value(static_cast<std::int64_t>(u));
      return true;
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      out = Value(d);
      return true;
    }
    case PLIST_STRING: {
      uint64_t length = 0;
      const char* s = plist_get_string_ptr(node, &length);
      if (s == nullptr) s = "";
      if (std::char_traits<char>::length(s) != length) return false;
      out = Value(std::string(s, length));
      return true;
    }
    case PLIST_DATA: {
      char* d = nullptr;
      uint64_t length = 0;
      plist_get_data_val(node, &d, &length);
      host::Data data(reinterpret_cast<std::uint8_t*>(d),
                      reinterpret_cast<std::uint8_t*>(d) + length);
      free(d);
      out = Value(std::move(data));
      return true;
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      out = Value(host::Date{sec + usec / 1e6});
      return true;
    }
    case PLIST_ARRAY: {
      host::Array array;
      uint32_t n = plist_array_get_size(node);
      array.reserve(n);
      for (uint32_t i = 0; i < n; ++i) {
        Value item;
        if (!fromPlist(plist_array_get_item(node, i), item, depth + 1)) return false;
        array.push_back(std::move(item));
      }
      out = Value(std::move(array));
      return true;
    }
    case PLIST_DICT: {
      host::Dictionary dict;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      bool ok = true;
      for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, it, &key, &value);
        if (value == nullptr) {
          free(key);
          break;
        }
        Value item;
        ok = fromPlist(value, item, depth + 1);
        if (ok) dict.set(key != nullptr ? key : "", std::move(item));
        free(key);
        if (!ok) break;
      }
      free(it);
      if (!ok) return false;
      out = Value(std::move(dict));
      return true;
    }
    default:
      return false;  // keys, UIDs and the like have no place in a preferences file
  }
}

plist_t toPlist(const Value& value) {
  switch (value.type()) {
    case Value::Type::None:
      return nullptr;
    case Value::Type::Boolean:
      return plist_new_bool(*value.asBoolean() ? 1 : 0);
    case Value::Type::Integer:
      return plist_new_uint(static_cast<uint64_t>(*value.asInteger()));
    case Value::Type::Real:
      return plist_new_real(*value.asReal());
    case Value::Type::String:
      return plist_new_string(value.asString()->c_str());
    case Value::Type::Data: {
      const auto& d = *value.asData();
      return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
    }
    case Value::Type::Date: {
      // libplist keeps a date's seconds in 32 bits: a date beyond them is written at the
      // nearest one it can hold.
      double t = value.asDate()->sinceReferenceDate;
      if (!(t >= INT32_MIN)) t = INT32_MIN;
      if (t > INT32_MAX) t = INT32_MAX;
      double sec = std::floor(t);
      return plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>((t - sec) * 1e6));
    }
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

// The binary encoding can carry a NUL character inside a key or a string, which libplist can
// neither hand over (its accessors abort on one) nor write back whole: such a file is refused.
// Its XML form shows the character as a NUL byte; XML input cannot carry one at all.
bool holdsNulCharacter(plist_t root) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root, &xml, &length);
  const bool found = xml != nullptr && std::memchr(xml, '\0', length) != nullptr;
  plist_to_xml_free(xml);
  return found;
}

}  // namespace

std::optional<host::Dictionary> dictionaryFromBytes(const std::string& bytes) {
  if (bytes.empty() || bytes.size() > UINT32_MAX) return std::nullopt;
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  if (root == nullptr) return std::nullopt;
  PlistPtr owner(root);
  if (plist_get_node_type(root) != PLIST_DICT) return std::nullopt;
  if (plist_is_binary(bytes.data(), static_cast<uint32_t>(bytes.size())) &&
      holdsNulCharacter(root)) {
    return std::nullopt;
  }
  Value value;
  if (!fromPlist(root, value, 0)) return std::nullopt;
  return std::move(*value.asDictionary());
}

std::string dictionaryToXML(const host::Dictionary& dictionary) {
  PlistPtr root(toPlist(Value(dictionary)));
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root.get(), &xml, &length);
  std::string result(xml != nullptr ? xml : "", length);
  plist_to_xml_free(xml);
  return result;
}

}  // namespace hostsim

namespace host {

std::optional<Dictionary> readDictionary(const std::string& path) {
  std::string bytes;
  if (!hostsim::readWholeFile(hostsim::hostPath(path), bytes)) return std::nullopt;
  return hostsim::dictionaryFromBytes(bytes);
}

bool writeDictionaryAtomically(const Dictionary& dictionary, const std::string& path) {
  bool ok =
      hostsim::replaceFileAtomically(hostsim::hostPath(path), hostsim::dictionaryToXML(dictionary));
  if (hostsim::timelineActive()) {
    hostsim::timeline("file", std::string(ok ? "wrote " : "failed to write ") + path,
                      {{"path", path}, {"written", ok}});
  }
  return ok;
}

}  // namespace host
