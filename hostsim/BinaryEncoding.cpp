// The binary property-list encoding ("bplist00"), written by the simulated Foundation where the
// XML encoding cannot carry a value as it is. libplist 2.2 reads it, but its own encoder cannot
// be handed every value: its constructors narrow dates to 32-bit seconds, keep strings and keys
// only up to a NUL, and it writes large UIDs wrongly. So the encoding is written here, from the
// format's definition: a header, the objects, a table of their offsets, and a trailer.
//
// Objects are numbered breadth first, without recursion, so any nesting is written; every
// object is written once, nothing is shared.
#include <utf8.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
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
  bool nul = false;
  for (unsigned char c : text) {
    ascii = ascii && c < 0x80;
    nul = nul || c == 0;
  }
  const bool isUtf8 = ascii || utf8::is_valid(text.begin(), text.end());
  // A one-byte string holding a NUL is cut short by the reader, so such text goes in two-byte
  // form. Bytes that are not UTF-8 can only have come from a one-byte string of a binary file
  // (which never holds a NUL, or it would not have been read): they go back the way they came,
  // byte for byte, so that a value the user stored is never rewritten.
  if (!nul && (ascii || !isUtf8)) {
    putMarker(out, 0x50, text.size());
    out += text;
    return;
  }
  std::string valid;
  if (isUtf8) {
    valid = text;
  } else {
    utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(valid));
  }
  std::u16string units;
  utf8::utf8to16(valid.begin(), valid.end(), std::back_inserter(units));
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

}  // namespace

std::string binaryEncoding(const Value& value) {
  return encode(Object{&value, nullptr, {}, nullptr});
}

std::string binaryEncoding(const host::Dictionary& dictionary) {
  return encode(Object{nullptr, nullptr, {}, &dictionary});
}

}  // namespace hostsim
