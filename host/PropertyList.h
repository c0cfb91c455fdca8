// Property-list values and files, as Foundation offers them: one value type (none, boolean,
// integer, real, string, data, date, array, dictionary) with exact, case-sensitive string keys.
// Which of these any thread may call: Platform.h says, for all of host/.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace host {

class Value;
using Array = std::vector<Value>;
using Data = std::vector<std::uint8_t>;

// A date as seconds since 2001-01-01 00:00:00 UTC, the property lists' own epoch.
struct Date {
  double sinceReferenceDate = 0;
  bool operator==(const Date&) const = default;
};

// A dictionary that keeps its entries in the order they were first set (its enumeration
// order); keys are compared exactly.
class Dictionary {
 public:
  using Entry = std::pair<std::string, Value>;

  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  // Sets the entry, keeping its place when the key is already present.
  void set(std::string key, Value value);
  // Removes the entry; answers whether there was one.
  bool remove(std::string_view key);
  // Defined below Value: clang instantiates them where they stand, and needs Value complete.
  std::size_t size() const;
  bool empty() const;
  std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
  std::vector<Entry>::const_iterator end() const { return entries_.end(); }
  bool operator==(const Dictionary& other) const;

 private:
  std::vector<Entry> entries_;
};

class Value {
 public:
  enum class Type { None, Boolean, Integer, Real, String, Data, Date, Array, Dictionary };

  Value() = default;
  Value(bool b) : v_(b) {}
  Value(int i) : v_(static_cast<std::int64_t>(i)) {}
  Value(std::int64_t i) : v_(i) {}
  Value(double d) : v_(d) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(host::Data d) : v_(std::move(d)) {}
  Value(host::Date d) : v_(d) {}
  Value(host::Array a) : v_(std::move(a)) {}
  Value(host::Dictionary d) : v_(std::move(d)) {}

  Type type() const { return static_cast<Type>(v_.index()); }
  bool isNone() const { return type() == Type::None; }
  // Booleans, integers and reals: what Foundation calls a number.
  bool isNumber() const {
    return type() == Type::Boolean || type() == Type::Integer || type() == Type::Real;
  }
  // The boolean reading of a setting: a number is on when it is not zero; anything else
  // (none included) is off.
  bool boolValue() const;

  const bool* asBoolean() const { return std::get_if<bool>(&v_); }
  const std::int64_t* asInteger() const { return std::get_if<std::int64_t>(&v_); }
  const double* asReal() const { return std::get_if<double>(&v_); }
  const std::string* asString() const { return std::get_if<std::string>(&v_); }
  const host::Data* asData() const { return std::get_if<host::Data>(&v_); }
  const host::Date* asDate() const { return std::get_if<host::Date>(&v_); }
  const host::Array* asArray() const { return std::get_if<host::Array>(&v_); }
  const host::Dictionary* asDictionary() const { return std::get_if<host::Dictionary>(&v_); }
  host::Dictionary* asDictionary() { return std::get_if<host::Dictionary>(&v_); }

  bool operator==(const Value& other) const { return v_ == other.v_; }

 private:
  std::variant<std::monostate, bool, std::int64_t, double, std::string, host::Data, host::Date,
               host::Array, host::Dictionary>
      v_;
};

inline std::size_t Dictionary::size() const {
  return entries_.size();
}
inline bool Dictionary::empty() const {
  return entries_.empty();
}

// Reads the file at `path` as a property list whose top level is a dictionary, in the XML or
// the binary encoding. A missing, unreadable or malformed file, or one whose top level is not a
// dictionary, gives no dictionary.
std::optional<Dictionary> readDictionary(const std::string& path);

// Writes the dictionary to `path` as an XML property list, atomically: a reader sees the old
// file or the new one, never a part. On failure the old file stays as it was and the answer is
// false.
bool writeDictionaryAtomically(const Dictionary& dictionary, const std::string& path);

}  // namespace host
