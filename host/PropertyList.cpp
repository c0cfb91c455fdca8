// Property-list values: what they mean, the same on every host. Reading and writing their files
// is the host's own (on Linux, hostsim/PropertyList.cpp).
#include "host/PropertyList.h"

#include <utf8.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <utility>

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

bool Value::allEqual(std::vector<std::pair<const Value*, const Value*>> pending) {
  while (!pending.empty()) {
    const auto [a, b] = pending.back();
    pending.pop_back();
    if (a->type() != b->type()) return false;
    if (const Array* x = a->asArray()) {
      const Array& y = *b->asArray();
      if (x->size() != y.size()) return false;
      for (std::size_t i = 0; i < x->size(); ++i) pending.emplace_back(&(*x)[i], &y[i]);
    } else if (const Dictionary* x = a->asDictionary()) {
      const Dictionary& y = *b->asDictionary();
      if (x->size() != y.size()) return false;
      for (const auto& [key, value] : *x) {
        const Value* theirs = y.find(key);
        if (theirs == nullptr) return false;
        pending.emplace_back(&value, theirs);
      }
    } else if (!a->sameScalar(*b)) {
      return false;
    }
  }
  return true;
}

// Dictionaries are equal when they hold the same keys with the same values, in any order.
bool Dictionary::operator==(const Dictionary& other) const {
  if (size() != other.size()) return false;
  std::vector<std::pair<const Value*, const Value*>> pending;
  for (const auto& [key, value] : entries_) {
    const Value* theirs = other.find(key);
    if (theirs == nullptr) return false;
    pending.emplace_back(&value, theirs);
  }
  return Value::allEqual(std::move(pending));
}

Value::Value(std::uint64_t u) {
  if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    v_ = static_cast<std::int64_t>(u);
  } else {
    v_ = u;
  }
}

bool Value::operator==(const Value& other) const {
  return allEqual({{this, &other}});
}

bool Value::sameScalar(const Value& other) const {
  return v_ == other.v_;
}

bool Value::holdsValues() const {
  const Array* array = asArray();
  const Dictionary* dictionary = asDictionary();
  return (array != nullptr && !array->empty()) || (dictionary != nullptr && !dictionary->empty());
}

// The contents of arrays and dictionaries are moved out level by level onto a list of their own,
// so that each value is destroyed once its containers are empty.
Value::~Value() {
  auto moveOut = [](Value& value, std::vector<Value>& pending) {
    if (Array* array = value.asArray()) {
      for (Value& item : *array) {
        if (item.holdsValues()) pending.push_back(std::move(item));
      }
    } else if (Dictionary* dictionary = value.asDictionary()) {
      for (auto& entry : dictionary->entries_) {
        if (entry.second.holdsValues()) pending.push_back(std::move(entry.second));
      }
    }
  };
  std::vector<Value> pending;
  moveOut(*this, pending);
  while (!pending.empty()) {
    Value last = std::move(pending.back());
    pending.pop_back();
    moveOut(last, pending);
  }
}

bool Value::boolValue() const {
  if (const bool* b = asBoolean()) return *b;
  if (const std::int64_t* i = asInteger()) return *i != 0;
  if (asLargeInteger() != nullptr) return true;
  if (const double* d = asReal()) return *d != 0.0 && !std::isnan(*d);
  return false;
}

std::int32_t Value::intValue() const {
  constexpr double lowest = std::numeric_limits<std::int32_t>::min();
  constexpr double highest = std::numeric_limits<std::int32_t>::max();
  auto saturated = [&](double d) {
    return std::isnan(d) ? 0
                         : static_cast<std::int32_t>(std::clamp(std::trunc(d), lowest, highest));
  };
  if (const bool* b = asBoolean()) return *b ? 1 : 0;
  if (const std::int64_t* i = asInteger()) return static_cast<std::int32_t>(*i);
  if (const std::uint64_t* u = asLargeInteger()) return static_cast<std::int32_t>(*u);
  if (const double* d = asReal()) return saturated(*d);
  if (const std::string* text = asString()) {
    std::size_t at = 0;
    while (at < text->size() && std::isspace(static_cast<unsigned char>((*text)[at]))) ++at;
    bool negative = false;
    if (at < text->size() && ((*text)[at] == '-' || (*text)[at] == '+')) {
      negative = (*text)[at++] == '-';
    }
    std::int64_t magnitude = 0;
    for (; at < text->size() && std::isdigit(static_cast<unsigned char>((*text)[at])); ++at) {
      magnitude =
          std::min<std::int64_t>(magnitude * 10 + ((*text)[at] - '0'), std::int64_t{1} << 32);
    }
    return saturated(static_cast<double>(negative ? -magnitude : magnitude));
  }
  return 0;
}

std::size_t nestingDepth(const Value& value) {
  std::size_t deepest = 0;
  std::vector<std::pair<const Value*, std::size_t>> pending{{&value, 0}};
  while (!pending.empty()) {
    const auto [item, depth] = pending.back();
    pending.pop_back();
    if (const Array* array = item->asArray()) {
      deepest = std::max(deepest, depth + 1);
      for (const Value& element : *array) pending.emplace_back(&element, depth + 1);
    } else if (const Dictionary* dictionary = item->asDictionary()) {
      deepest = std::max(deepest, depth + 1);
      for (const auto& entry : *dictionary) pending.emplace_back(&entry.second, depth + 1);
    }
  }
  return deepest;
}

namespace {

// Seconds from 2001 of 1000-01-01T00:00:00Z and of 9999-12-31T23:59:59Z: XML dates have years of
// four digits, and readers take no others.
constexpr double kEarliestXMLDate = -31588531200.0;
constexpr double kLatestXMLDate = 252423993599.0;
// Each level of the XML encoding is indented by one more tab, so its size grows with the square
// of the depth: deeper dictionaries are written in the binary encoding.
constexpr std::size_t kMaxXMLNesting = 256;

// Text XML cannot carry: bytes that are not UTF-8 (XML text is), and the characters XML 1.0
// forbids even as references: the C0 controls other than TAB, LF and CR, U+FFFE and U+FFFF.
bool xmlCannotCarry(const std::string& text) {
  if (!utf8::is_valid(text.begin(), text.end())) return true;
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
  if (value.asUid() != nullptr) return true;                    // XML has no UIDs
  if (const double* d = value.asReal()) return std::isnan(*d);  // XML writes NaN without its bits
  if (const Date* date = value.asDate()) {
    // XML dates hold whole seconds, of the years 1000 to 9999.
    const double t = date->sinceReferenceDate;
    return !(t >= kEarliestXMLDate && t <= kLatestXMLDate) || t != std::floor(t);
  }
  if (const std::string* s = value.asString()) return xmlCannotCarry(*s);
  return false;
}

}  // namespace

Encoding encodingFor(const Dictionary& dictionary) {
  std::vector<std::pair<const Value*, std::size_t>> pending;
  for (const auto& [key, value] : dictionary) {
    if (xmlCannotCarry(key)) return Encoding::Binary;
    pending.emplace_back(&value, 1);
  }
  while (!pending.empty()) {
    auto [value, depth] = pending.back();
    pending.pop_back();
    if (xmlCannotCarry(*value)) return Encoding::Binary;
    if (const Array* array = value->asArray()) {
      if (depth + 1 > kMaxXMLNesting) return Encoding::Binary;
      for (const Value& item : *array) pending.emplace_back(&item, depth + 1);
    } else if (const Dictionary* inner = value->asDictionary()) {
      if (depth + 1 > kMaxXMLNesting) return Encoding::Binary;
      for (const auto& [key, item] : *inner) {
        if (xmlCannotCarry(key)) return Encoding::Binary;
        pending.emplace_back(&item, depth + 1);
      }
    }
  }
  return Encoding::XML;
}

}  // namespace host
