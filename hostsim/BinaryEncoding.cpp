// The binary property-list encoding ("bplist00"), read and written by the simulated Foundation
// from the format's definition: a header, the objects, a table of their offsets, and a trailer.
//
// Reading follows the platform's reader: integers of 1, 2 and 4 bytes are unsigned, of 8 bytes
// signed, of 16 bytes signed over 128 bits (kept when they fall between -2^63 and 2^64 - 1);
// UIDs take 1 to 8 bytes; an object may be referred to from many places. Writing numbers the
// objects breadth first and writes each once, nothing shared. Neither step recurses, so any
// nesting is measured, and refused beyond host::kMaxNesting, without touching the stack.
#include <utf8.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "hostsim/PlistCodec.h"

namespace hostsim {

namespace {

using host::Value;

// The bytes an unsigned number takes: 1, 2, 4 or 8.
unsigned widthFor(std::uint64_t n) {
  if (n <= 0xFF) return 1;
  if (n <= 0xFFFF) return 2;
  if (n <= 0xFFFFFFFF) return 4;
  return 8;
}

void putBigEndian(std::string& out, std::uint64_t n, unsigned width) {
  for (unsigned i = width; i-- > 0;) out.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
}

void putInteger(std::string& out, std::uint64_t n) {
  const unsigned width = widthFor(n);
  out.push_back(static_cast<char>(0x10 | std::countr_zero(width)));
  putBigEndian(out, n, width);
}

// A marker whose low four bits hold a count; 15 and more follow as an integer object.
void putMarker(std::string& out, unsigned kind, std::uint64_t count) {
  if (count < 15) {
    out.push_back(static_cast<char>(kind | count));
  } else {
    out.push_back(static_cast<char>(kind | 0x0F));
    putInteger(out, count);
  }
}

void putDouble(std::string& out, unsigned marker, double d) {
  out.push_back(static_cast<char>(marker));
  putBigEndian(out, std::bit_cast<std::uint64_t>(d), 8);
}

void putString(std::string& out, const std::string& text) {
  bool ascii = true;
  for (unsigned char c : text) ascii = ascii && c < 0x80;
  const bool isUtf8 = ascii || utf8::is_valid(text.begin(), text.end());
  // ASCII goes in one-byte form, NUL included, as the platform's writer stores it. Bytes that
  // are not UTF-8 can only have come from a one-byte string of a binary file: they go back the
  // way they came, byte for byte, so that a value the user stored is never rewritten.
  if (ascii || !isUtf8) {
    putMarker(out, 0x50, text.size());
    out += text;
    return;
  }
  std::u16string units;
  utf8::utf8to16(text.begin(), text.end(), std::back_inserter(units));
  putMarker(out, 0x60, units.size());
  for (char16_t unit : units) putBigEndian(out, unit, 2);
}

// One object to write: a value, a dictionary's key, or the top dictionary.
struct Object {
  const Value* value = nullptr;
  const std::string* key = nullptr;
  std::vector<std::uint64_t> references;
  const host::Dictionary* dictionary = nullptr;
};

const host::Array* arrayOf(const Object& object) {
  return object.value != nullptr ? object.value->asArray() : nullptr;
}
const host::Dictionary* dictionaryOf(const Object& object) {
  if (object.dictionary != nullptr) return object.dictionary;
  return object.value != nullptr ? object.value->asDictionary() : nullptr;
}

void putScalar(std::string& out, const Value& value) {
  using T = Value::Type;
  switch (value.type()) {
    case T::Boolean:
      out.push_back(*value.asBoolean() ? '\x09' : '\x08');
      return;
    case T::Integer:
      if (const std::uint64_t* large = value.asLargeInteger()) {
        // Above the signed range: 16 bytes, the high eight zero.
        out.push_back('\x14');
        putBigEndian(out, 0, 8);
        putBigEndian(out, *large, 8);
      } else if (*value.asInteger() < 0) {
        out.push_back('\x13');  // negative integers take all 8 bytes, two's complement
        putBigEndian(out, static_cast<std::uint64_t>(*value.asInteger()), 8);
      } else {
        putInteger(out, static_cast<std::uint64_t>(*value.asInteger()));
      }
      return;
    case T::Real:
      putDouble(out, 0x23, *value.asReal());
      return;
    case T::Date:
      putDouble(out, 0x33, value.asDate()->sinceReferenceDate);
      return;
    case T::Data: {
      const host::Data& data = *value.asData();
      putMarker(out, 0x40, data.size());
      out.append(reinterpret_cast<const char*>(data.data()), data.size());
      return;
    }
    case T::String:
      putString(out, *value.asString());
      return;
    case T::Uid: {
      const std::uint64_t n = value.asUid()->value;
      const unsigned width = widthFor(n);
      out.push_back(static_cast<char>(0x80 | (width - 1)));
      putBigEndian(out, n, width);
      return;
    }
    case T::None:
    case T::Array:
    case T::Dictionary:
      return;
  }
}

std::string encode(Object top) {
  // Number the objects breadth first: each container's references are the numbers of the
  // objects it holds (a dictionary's keys, then its values).
  std::vector<Object> objects;
  objects.push_back(std::move(top));
  for (std::size_t i = 0; i < objects.size(); ++i) {
    if (objects[i].key != nullptr) continue;
    std::vector<std::uint64_t> references;
    if (const host::Array* array = arrayOf(objects[i])) {
      for (const Value& element : *array) {
        if (element.isNone()) continue;
        references.push_back(objects.size());
        objects.push_back(Object{&element, nullptr, {}});
      }
    } else if (const host::Dictionary* dictionary = dictionaryOf(objects[i])) {
      std::vector<const host::Dictionary::Entry*> kept;
      for (const auto& entry : *dictionary) {
        if (!entry.second.isNone()) kept.push_back(&entry);
      }
      for (const auto* entry : kept) {
        references.push_back(objects.size());
        objects.push_back(Object{nullptr, &entry->first, {}});
      }
      for (const auto* entry : kept) {
        references.push_back(objects.size());
        objects.push_back(Object{&entry->second, nullptr, {}});
      }
    }
    objects[i].references = std::move(references);
  }

  const unsigned referenceWidth = widthFor(objects.size() - 1);
  std::string out = "bplist00";
  std::vector<std::uint64_t> offsets;
  offsets.reserve(objects.size());
  for (const Object& object : objects) {
    offsets.push_back(out.size());
    if (object.key != nullptr) {
      putString(out, *object.key);
    } else if (arrayOf(object) != nullptr || dictionaryOf(object) != nullptr) {
      const bool isArray = arrayOf(object) != nullptr;
      const std::size_t count = isArray ? object.references.size() : object.references.size() / 2;
      putMarker(out, isArray ? 0xA0 : 0xD0, count);
      for (std::uint64_t reference : object.references) {
        putBigEndian(out, reference, referenceWidth);
      }
    } else {
      putScalar(out, *object.value);
    }
  }

  const std::uint64_t tableOffset = out.size();
  const unsigned offsetWidth = widthFor(tableOffset);
  for (std::uint64_t offset : offsets) putBigEndian(out, offset, offsetWidth);
  out.append(6, '\0');  // unused, then the sort version
  out.push_back(static_cast<char>(offsetWidth));
  out.push_back(static_cast<char>(referenceWidth));
  putBigEndian(out, objects.size(), 8);
  putBigEndian(out, 0, 8);  // the top object
  putBigEndian(out, tableOffset, 8);
  return out;
}

// ---- Reading ----------------------------------------------------------------------------------

// Why a file cannot be read; Ok while it can.
using Failure = host::Status::Code;

std::uint64_t bigEndian(const std::string& bytes, std::uint64_t at, std::uint64_t width) {
  std::uint64_t n = 0;
  for (std::uint64_t i = 0; i < width; ++i) {
    n = n << 8 | static_cast<unsigned char>(bytes[at + i]);
  }
  return n;
}

// Copies of shared objects beyond this many values in all are refused: a few objects referring
// to each other twice over would otherwise unfold into more values than memory holds.
constexpr std::uint64_t kMaxSharedCopies = std::uint64_t{1} << 20;

class BinaryReader {
 public:
  explicit BinaryReader(const std::string& bytes) : b_(bytes) {}

  host::Result<host::Dictionary> read() {
    Value top;
    if (layout() && measure() && build(top)) return std::move(*top.asDictionary());
    return host::Status(failure_, reason_);
  }

 private:
  // Where an object's contents start, how long they are (bytes, characters or entries), and
  // which objects it refers to.
  struct Shape {
    unsigned char marker = 0;
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    std::uint64_t firstReference = 0;
    std::uint64_t references = 0;
  };

  bool fail(Failure failure, std::string reason) {
    failure_ = failure;
    reason_ = std::move(reason);
    return false;
  }
  bool malformed(const char* reason) { return fail(Failure::Malformed, reason); }

  // The trailer, the offset table and every object's shape, each checked against the file's
  // bounds before it is followed.
  bool layout() {
    if (b_.size() < 8 + 1 + 1 + 32 || b_.compare(0, 8, "bplist00") != 0) {
      return malformed("binary property list cut short");
    }
    end_ = b_.size() - 32;
    const std::uint64_t offsetWidth = static_cast<unsigned char>(b_[end_ + 6]);
    referenceWidth_ = static_cast<unsigned char>(b_[end_ + 7]);
    const std::uint64_t count = bigEndian(b_, end_ + 8, 8);
    top_ = bigEndian(b_, end_ + 16, 8);
    const std::uint64_t table = bigEndian(b_, end_ + 24, 8);
    if (offsetWidth < 1 || offsetWidth > 8 || referenceWidth_ < 1 || referenceWidth_ > 8 ||
        table < 9 || table >= end_ || count == 0 || count > (end_ - table) / offsetWidth ||
        top_ >= count) {
      return malformed("a binary trailer that does not hold up");
    }
    shapes_.resize(count);
    for (std::uint64_t i = 0; i < count; ++i) {
      Shape& shape = shapes_[i];
      const std::uint64_t at = bigEndian(b_, table + i * offsetWidth, offsetWidth);
      if (at < 8 || at >= end_) return malformed("an object outside the file");
      shape.marker = static_cast<unsigned char>(b_[at]);
      shape.start = at + 1;
      const unsigned kind = shape.marker >> 4;
      const bool holder = kind >= 0xA && kind <= 0xD;  // array, ordered set, set, dictionary
      if (kind == 0x4 || kind == 0x5 || kind == 0x6 || holder) {
        shape.length = shape.marker & 0x0F;
        if (shape.length == 0x0F) {
          if (shape.start >= end_) return malformed("a length cut short");
          const unsigned char lengthMarker = static_cast<unsigned char>(b_[shape.start]);
          const std::uint64_t width = std::uint64_t{1} << (lengthMarker & 0x0F);
          if ((lengthMarker & 0xF0) != 0x10 || width > 8 || width > end_ - shape.start - 1) {
            return malformed("a length that does not hold up");
          }
          shape.length = bigEndian(b_, shape.start + 1, width);
          shape.start += 1 + width;
        }
        const std::uint64_t room = end_ - shape.start;
        std::uint64_t size = shape.length;
        if (kind == 0x6) size = shape.length > room / 2 ? room + 1 : 2 * shape.length;
        if (kind == 0xD) {
          if (shape.length > room / 2) return malformed("a dictionary past the end");
          shape.references = 2 * shape.length;
        } else if (holder) {
          shape.references = shape.length;
        }
        if (holder) {
          if (shape.references > room / referenceWidth_)
            return malformed("references past the end");
          size = shape.references * referenceWidth_;
          shape.firstReference = references_.size();
          // A writer lays each object out once, so the references of all objects fit in the
          // file; offsets that point many objects at one long array would multiply them past
          // any memory. Such a file is kept, not read.
          if (shape.references > b_.size() - references_.size()) {
            return fail(Failure::Unreadable, "objects that share their references");
          }
          for (std::uint64_t r = 0; r < shape.references; ++r) {
            const std::uint64_t ref =
                bigEndian(b_, shape.start + r * referenceWidth_, referenceWidth_);
            if (ref >= count) return malformed("a reference to no object");
            references_.push_back(ref);
          }
        }
        if (size > room) return malformed("an object past the end");
      }
    }
    return true;
  }

  bool container(std::uint64_t object) const {
    const unsigned kind = shapes_[object].marker >> 4;
    return kind >= 0xA && kind <= 0xD;
  }
  std::uint64_t reference(std::uint64_t object, std::uint64_t i) const {
    return references_[shapes_[object].firstReference + i];
  }

  // The longest chain of references from the top object, without recursion; a cycle would nest
  // for ever.
  bool measure() {
    const std::size_t count = shapes_.size();
    std::vector<std::uint64_t> depth(count, 0);
    std::vector<unsigned char> state(count, 0);  // 0 unvisited, 1 on the path, 2 done
    std::vector<std::pair<std::uint64_t, std::uint64_t>> path{{top_, 0}};
    state[top_] = 1;
    while (!path.empty()) {
      auto& [object, next] = path.back();
      if (next < shapes_[object].references) {
        const std::uint64_t child = reference(object, next++);
        if (state[child] == 1) return fail(Failure::Unreadable, "a container that holds itself");
        if (state[child] == 0) {
          state[child] = 1;
          path.emplace_back(child, 0);
        }
        continue;
      }
      std::uint64_t deepest = 0;
      for (std::uint64_t i = 0; i < shapes_[object].references; ++i) {
        deepest = std::max(deepest, depth[reference(object, i)]);
      }
      depth[object] = container(object) ? deepest + 1 : 0;
      state[object] = 2;
      path.pop_back();
    }
    if (depth[top_] > host::kMaxNesting) {
      return fail(Failure::Unreadable, "nested deeper than 10000 levels");
    }
    if ((shapes_[top_].marker >> 4) != 0xD) return malformed("its top level is no dictionary");
    return true;
  }

  bool text(std::uint64_t object, std::string& out) {
    const Shape& shape = shapes_[object];
    if ((shape.marker >> 4) == 0x5) {
      out.assign(b_, shape.start, shape.length);
      return true;
    }
    if ((shape.marker >> 4) != 0x6) return fail(Failure::Unreadable, "a key that is no string");
    std::u16string units(shape.length, u'\0');
    for (std::uint64_t i = 0; i < shape.length; ++i) {
      units[i] = static_cast<char16_t>(bigEndian(b_, shape.start + 2 * i, 2));
    }
    for (std::uint64_t i = 0; i < units.size(); ++i) {
      const bool high = units[i] >= 0xD800 && units[i] <= 0xDBFF;
      const bool low = units[i] >= 0xDC00 && units[i] <= 0xDFFF;
      if (low ||
          (high && (i + 1 == units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF))) {
        return fail(Failure::Unreadable, "a string holding a lone UTF-16 surrogate");
      }
      if (high) ++i;
    }
    out.clear();
    utf8::utf16to8(units.begin(), units.end(), std::back_inserter(out));
    return true;
  }

  bool scalar(std::uint64_t object, Value& out) {
    const Shape& shape = shapes_[object];
    const unsigned low = shape.marker & 0x0F;
    auto fixed = [&](std::uint64_t width) {
      return width <= end_ - shape.start || malformed("a number past the end");
    };
    switch (shape.marker >> 4) {
      case 0x0:
        if (low == 0x8 || low == 0x9) {
          out = Value(low == 0x9);
          return true;
        }
        return fail(Failure::Unreadable, "a null or fill object");
      case 0x1: {
        if (low > 4) return fail(Failure::Unreadable, "an integer of more than 16 bytes");
        const std::uint64_t width = std::uint64_t{1} << low;
        if (!fixed(width)) return false;
        if (width < 8) {
          out = Value(bigEndian(b_, shape.start, width));
        } else if (width == 8) {
          out = Value(static_cast<std::int64_t>(bigEndian(b_, shape.start, 8)));
        } else {
          const std::uint64_t high = bigEndian(b_, shape.start, 8);
          const std::uint64_t n = bigEndian(b_, shape.start + 8, 8);
          if (high == 0) {
            out = Value(n);
          } else if (high == ~std::uint64_t{0} && n >> 63 != 0) {
            out = Value(static_cast<std::int64_t>(n));
          } else {
            return fail(Failure::Unreadable, "a 16-byte integer out of range");
          }
        }
        return true;
      }
      case 0x2:
        if (low == 2 && fixed(4)) {
          out = Value(static_cast<double>(
              std::bit_cast<float>(static_cast<std::uint32_t>(bigEndian(b_, shape.start, 4)))));
          return true;
        }
        if (low == 3 && fixed(8)) {
          out = Value(std::bit_cast<double>(bigEndian(b_, shape.start, 8)));
          return true;
        }
        return failure_ != Failure::Ok ? false
                                       : fail(Failure::Unreadable, "a real of another size");
      case 0x3:
        if (low != 3) return fail(Failure::Unreadable, "a date of another size");
        if (!fixed(8)) return false;
        out = Value(host::Date{std::bit_cast<double>(bigEndian(b_, shape.start, 8))});
        return true;
      case 0x4: {
        const auto* data = reinterpret_cast<const std::uint8_t*>(b_.data() + shape.start);
        out = Value(host::Data(data, data + shape.length));
        return true;
      }
      case 0x5:
      case 0x6: {
        std::string s;
        if (!text(object, s)) return false;
        out = Value(std::move(s));
        return true;
      }
      case 0x8: {
        const std::uint64_t width = low + 1;
        if (!fixed(width)) return false;
        if (width > 8 && bigEndian(b_, shape.start, width - 8) != 0) {
          return fail(Failure::Unreadable, "a UID out of range");
        }
        const std::uint64_t skip = width > 8 ? width - 8 : 0;
        out = Value(host::Uid{bigEndian(b_, shape.start + skip, width - skip)});
        return true;
      }
      default:
        return fail(Failure::Unreadable, "an object of a kind not read here (a set, say)");
    }
  }

  bool build(Value& top) {
    std::vector<std::pair<std::uint64_t, Value*>> pending{{top_, &top}};
    std::uint64_t made = 0;
    while (!pending.empty()) {
      const auto [object, out] = pending.back();
      pending.pop_back();
      if (++made > shapes_.size() + kMaxSharedCopies) {
        return fail(Failure::Unreadable, "shared objects unfolding into too many values");
      }
      const Shape& shape = shapes_[object];
      const unsigned kind = shape.marker >> 4;
      if (kind == 0xA) {
        *out = Value(host::Array(shape.length));
        host::Array& array = *out->asArray();
        for (std::uint64_t i = 0; i < shape.length; ++i)
          pending.emplace_back(reference(object, i), &array[i]);
      } else if (kind == 0xD) {
        // A key given twice keeps its last value, in the place of its first.
        host::Dictionary dictionary;
        std::vector<std::pair<std::string, std::uint64_t>> entries;
        for (std::uint64_t i = 0; i < shape.length; ++i) {
          std::string key;
          if (!text(reference(object, i), key)) return false;
          dictionary.set(key, Value());
          entries.emplace_back(std::move(key), reference(object, shape.length + i));
        }
        *out = Value(std::move(dictionary));
        host::Dictionary& placed = *out->asDictionary();
        std::unordered_map<std::string_view, std::uint64_t> last;
        for (const auto& [key, value] : entries) last[key] = value;
        for (const auto& [key, value] : last) pending.emplace_back(value, placed.find(key));
      } else if (!scalar(object, *out)) {
        return false;
      }
    }
    return true;
  }

  const std::string& b_;
  std::uint64_t end_ = 0;  // where the trailer starts
  std::uint64_t referenceWidth_ = 0;
  std::uint64_t top_ = 0;
  std::vector<Shape> shapes_;
  std::vector<std::uint64_t> references_;
  Failure failure_ = Failure::Ok;
  std::string reason_;
};

}  // namespace

host::Result<host::Dictionary> readBinary(const std::string& bytes) {
  return BinaryReader(bytes).read();
}

std::string binaryEncoding(const Value& value) {
  return encode(Object{&value, nullptr, {}, nullptr});
}

std::string binaryEncoding(const host::Dictionary& dictionary) {
  return encode(Object{nullptr, nullptr, {}, &dictionary});
}

}  // namespace hostsim
