// Property-list values and files, as Foundation offers them: one value type (none, boolean,
// integer, real, string, data, date, array, dictionary, UID) with exact, case-sensitive string
// keys. The values' semantics (PropertyList.cpp beside this header) are the same on every host;
// only reading and writing files is the host's own. Which of these any thread may call:
// Platform.h says, for all of host/.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "host/Status.h"

namespace host {

class Value;
using Array = std::vector<Value>;
using Data = std::vector<std::uint8_t>;

// A date as seconds since 2001-01-01 00:00:00 UTC, the property lists' own epoch.
struct Date {
  double sinceReferenceDate = 0;
  bool operator==(const Date&) const = default;
};

// A keyed archiver's object reference: a number of its own kind, which the binary encoding
// alone carries.
struct Uid {
  std::uint64_t value = 0;
  bool operator==(const Uid&) const = default;
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
  friend class Value;  // a value's destructor takes its dictionary apart level by level
  std::vector<Entry> entries_;
};

class Value {
 public:
  enum class Type { None, Boolean, Integer, Real, String, Data, Date, Array, Dictionary, Uid };

  Value() = default;
  Value(bool b) : v_(b) {}
  Value(int i) : v_(static_cast<std::int64_t>(i)) {}
  Value(std::int64_t i) : v_(i) {}
  // Integers run from -2^63 to 2^64 - 1, as the encodings hold them; an unsigned value that fits
  // in 64 signed bits is the same integer as its signed form.
  Value(std::uint64_t u);
  Value(double d) : v_(d) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(host::Data d) : v_(std::move(d)) {}
  Value(host::Date d) : v_(d) {}
  Value(host::Array a) : v_(std::move(a)) {}
  Value(host::Dictionary d) : v_(std::move(d)) {}
  Value(host::Uid u) : v_(u) {}
  // Copies follow the nesting; destruction and comparison do not recurse, so a value nested as
  // deep as memory allows is let go of without overflowing the stack.
  Value(const Value&) = default;
  Value(Value&&) noexcept = default;
  Value& operator=(const Value&) = default;
  Value& operator=(Value&&) noexcept = default;
  ~Value();

  Type type() const {
    return v_.index() == kLargeIntegerIndex ? Type::Integer : static_cast<Type>(v_.index());
  }
  bool isNone() const { return type() == Type::None; }
  // Booleans, integers and reals: what Foundation calls a number.
  bool isNumber() const {
    return type() == Type::Boolean || type() == Type::Integer || type() == Type::Real;
  }
  // The boolean reading of a setting: a number is on when it is not zero; anything else
  // (none included) is off.
  bool boolValue() const;
  // The value as Foundation's intValue reads it: a boolean as 0 or 1, an integer (a large one
  // too) by its low 32 bits, a real cut towards zero and saturated (NaN as 0), a string by its
  // leading decimal number, saturated; anything else as 0.
  std::int32_t intValue() const;

  const bool* asBoolean() const { return std::get_if<bool>(&v_); }
  // An integer from -2^63 to 2^63 - 1; null for any other value, integers above that included.
  const std::int64_t* asInteger() const { return std::get_if<std::int64_t>(&v_); }
  // An integer from 2^63 to 2^64 - 1; null for any other value.
  const std::uint64_t* asLargeInteger() const { return std::get_if<std::uint64_t>(&v_); }
  const double* asReal() const { return std::get_if<double>(&v_); }
  const std::string* asString() const { return std::get_if<std::string>(&v_); }
  const host::Data* asData() const { return std::get_if<host::Data>(&v_); }
  const host::Date* asDate() const { return std::get_if<host::Date>(&v_); }
  const host::Array* asArray() const { return std::get_if<host::Array>(&v_); }
  host::Array* asArray() { return std::get_if<host::Array>(&v_); }
  const host::Dictionary* asDictionary() const { return std::get_if<host::Dictionary>(&v_); }
  host::Dictionary* asDictionary() { return std::get_if<host::Dictionary>(&v_); }
  const host::Uid* asUid() const { return std::get_if<host::Uid>(&v_); }

  // Same type and value; reals compare as numbers (NaN equals nothing, -0.0 equals 0.0);
  // dictionaries compare by their entries, in any order.
  bool operator==(const Value& other) const;

 private:
  friend class Dictionary;  // a dictionary compares its values as values compare
  // Compares pairs of values level by level, without recursion.
  static bool allEqual(std::vector<std::pair<const Value*, const Value*>> pending);
  // operator=='s comparison for values that are neither arrays nor dictionaries.
  bool sameScalar(const Value& other) const;
  // A non-empty array or dictionary.
  bool holdsValues() const;
  static constexpr std::size_t kLargeIntegerIndex = 10;
  std::variant<std::monostate, bool, std::int64_t, double, std::string, host::Data, host::Date,
               host::Array, host::Dictionary, host::Uid, std::uint64_t>
      v_;
};

inline std::size_t Dictionary::size() const {
  return entries_.size();
}
inline bool Dictionary::empty() const {
  return entries_.empty();
}

// How deep values may nest in a property-list file: far deeper than any settings file, and
// shallow enough that every step that follows the nesting (copying a value among them) stays
// well inside a thread's stack.
inline constexpr std::size_t kMaxNesting = 10000;

// How deep the value nests: 0 for a scalar, 1 for an array or dictionary of scalars. Counted
// without recursion, so any value can be measured.
std::size_t nestingDepth(const Value& value);

// Reads the file at `path` as a property list whose top level is a dictionary, in the XML or
// the binary encoding, keeping every value as it was stored. Fails Missing when there is no file;
// Unreadable when there is one that could not be read whole (an I/O error, no permission, not a
// regular file), or a property list holding more than can be kept (nested deeper than
// kMaxNesting, a value out of range, text in an encoding the host does not read): a writer must
// not replace it; Malformed for bytes that are no property list, or one whose top level is no
// dictionary. The message of a property list that could not be kept says why in a few words
// ("an integer out of range: 18446744073709551616").
Result<Dictionary> readDictionary(const std::string& path);

// The two encodings of a property-list file.
enum class Encoding { XML, Binary };

// The encoding a writer uses for the dictionary: XML, unless XML cannot carry every value as it
// is (a UID; NaN; a date with a fraction of a second, outside the years 1000 to 9999 or not a
// number; text that is not UTF-8 or holds a character XML 1.0 forbids; nesting deeper than 256
// levels); then binary, which every reader of property lists reads as well. Every host writes
// by this rule, so a file comes out the same whoever writes it.
Encoding encodingFor(const Dictionary& dictionary);

// Writes the dictionary to `path` as a property list in the encoding encodingFor picks,
// atomically: a reader sees the old file or the new one, never a part. On failure (Unwritable),
// and for a dictionary nested deeper than kMaxNesting, the old file stays as it was.
Status writeDictionaryAtomically(const Dictionary& dictionary, const std::string& path);

}  // namespace host
