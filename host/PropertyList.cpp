// Property-list values: what they mean, the same on every host. Reading and writing their files
// is the host's own (on Linux, hostsim/PropertyList.cpp).
#include "host/PropertyList.h"

#include <algorithm>
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

// Dictionaries are equal when they hold the same keys with the same values, in any order.
bool Dictionary::operator==(const Dictionary& other) const {
  if (size() != other.size()) return false;
  for (const auto& [key, value] : entries_) {
    const Value* theirs = other.find(key);
    if (theirs == nullptr || !(*theirs == value)) return false;
  }
  return true;
}

Value::Value(std::uint64_t u) {
  if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    v_ = static_cast<std::int64_t>(u);
  } else {
    v_ = u;
  }
}

bool Value::operator==(const Value& other) const {
  return v_ == other.v_;
}

bool Value::boolValue() const {
  if (const bool* b = asBoolean()) return *b;
  if (const std::int64_t* i = asInteger()) return *i != 0;
  if (asLargeInteger() != nullptr) return true;
  if (const double* d = asReal()) return *d != 0.0 && !std::isnan(*d);
  return false;
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

std::optional<Dictionary> readDictionary(const std::string& path) {
  return readDictionaryFile(path).dictionary;
}

}  // namespace host
