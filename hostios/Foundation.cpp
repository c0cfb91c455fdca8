// host/Foundation.h on the device: strings, arrays and property-list objects are
// CoreFoundation's, toll-free bridged with Foundation's classes, as the Settings app writes them.
#include "host/Foundation.h"

#include <cstdint>

#include "hostios/platform/CoreFoundation.h"

namespace host {

namespace {

bool hasType(id object, ios::CFTypeID type) {
  return object != nullptr && ios::CFGetTypeID(object) == type;
}

StrongRef adoptCF(ios::CFTypeRef created) {
  return StrongRef::adopt(created);
}

StrongRef makeArray(const ObjectList& objects, bool mutableArray) {
  ios::CFTypeRef array = ios::CFArrayCreateMutable(nullptr, 0, &ios::kCFTypeArrayCallBacks);
  if (array == nullptr) return nullptr;
  for (const StrongRef& object : objects) ios::CFArrayAppendValue(array, object.get());
  if (mutableArray) return adoptCF(array);
  std::vector<const void*> values;
  for (const StrongRef& object : objects) values.push_back(object.get());
  ios::CFRelease(array);
  return adoptCF(ios::CFArrayCreate(nullptr, values.data(),
                                    static_cast<ios::CFIndex>(values.size()),
                                    &ios::kCFTypeArrayCallBacks));
}

// An object for every value but none and what CoreFoundation cannot make through its public
// functions (integers above 2^63 - 1, UIDs): those answer nil, and so does the whole.
StrongRef objectFor(const Value& value) {
  switch (value.type()) {
    case Value::Type::None:
    case Value::Type::Uid:
      return nullptr;
    case Value::Type::Boolean:
      return StrongRef(*value.asBoolean() ? ios::kCFBooleanTrue : ios::kCFBooleanFalse);
    case Value::Type::Integer: {
      const std::int64_t* integer = value.asInteger();
      if (integer == nullptr) return nullptr;
      return adoptCF(ios::CFNumberCreate(nullptr, ios::kCFNumberSInt64Type, integer));
    }
    case Value::Type::Real:
      return adoptCF(ios::CFNumberCreate(nullptr, ios::kCFNumberFloat64Type, value.asReal()));
    case Value::Type::String:
      return stringWithUTF8String(*value.asString());
    case Value::Type::Data: {
      const Data& data = *value.asData();
      return adoptCF(
          ios::CFDataCreate(nullptr, data.data(), static_cast<ios::CFIndex>(data.size())));
    }
    case Value::Type::Date:
      return adoptCF(ios::CFDateCreate(nullptr, value.asDate()->sinceReferenceDate));
    case Value::Type::Array: {
      ObjectList elements;
      for (const Value& element : *value.asArray()) {
        StrongRef object = objectFor(element);
        if (!object) return nullptr;
        elements.push_back(std::move(object));
      }
      return makeArray(elements, false);
    }
    case Value::Type::Dictionary: {
      StrongRef dictionary = adoptCF(ios::CFDictionaryCreateMutable(
          nullptr, 0, &ios::kCFTypeDictionaryKeyCallBacks, &ios::kCFTypeDictionaryValueCallBacks));
      if (!dictionary) return nullptr;
      for (const auto& [key, element] : *value.asDictionary()) {
        StrongRef keyObject = stringWithUTF8String(key);
        StrongRef object = objectFor(element);
        if (!keyObject || !object) return nullptr;
        ios::CFDictionarySetValue(dictionary.get(), keyObject.get(), object.get());
      }
      return dictionary;
    }
  }
  return nullptr;
}

// The value of a property-list object, or none (with *complete false) when it or anything in
// it is no property-list object.
Value valueFor(id object, bool* complete) {
  if (object == nullptr) {
    *complete = false;
    return {};
  }
  const ios::CFTypeID type = ios::CFGetTypeID(object);
  if (type == ios::CFStringGetTypeID()) {
    if (auto text = UTF8String(object)) return Value(std::move(*text));
  } else if (type == ios::CFBooleanGetTypeID()) {
    return Value(ios::CFBooleanGetValue(object) != 0);
  } else if (type == ios::CFNumberGetTypeID()) {
    if (ios::CFNumberIsFloatType(object)) {
      double real = 0;
      if (ios::CFNumberGetValue(object, ios::kCFNumberFloat64Type, &real)) return Value(real);
    } else {
      std::int64_t integer = 0;
      if (ios::CFNumberGetValue(object, ios::kCFNumberSInt64Type, &integer)) return Value(integer);
    }
  } else if (type == ios::CFDataGetTypeID()) {
    const std::uint8_t* bytes = ios::CFDataGetBytePtr(object);
    const ios::CFIndex length = ios::CFDataGetLength(object);
    return Value(Data(bytes, bytes + length));
  } else if (type == ios::CFDateGetTypeID()) {
    return Value(Date{ios::CFDateGetAbsoluteTime(object)});
  } else if (type == ios::CFArrayGetTypeID()) {
    Array elements;
    const ios::CFIndex count = ios::CFArrayGetCount(object);
    for (ios::CFIndex i = 0; i < count && *complete; ++i) {
      elements.push_back(
          valueFor(reinterpret_cast<id>(const_cast<void*>(ios::CFArrayGetValueAtIndex(object, i))),
                   complete));
    }
    if (*complete) return Value(std::move(elements));
  } else if (type == ios::CFDictionaryGetTypeID()) {
    const ios::CFIndex count = ios::CFDictionaryGetCount(object);
    std::vector<const void*> keys(static_cast<std::size_t>(count));
    std::vector<const void*> values(static_cast<std::size_t>(count));
    ios::CFDictionaryGetKeysAndValues(object, keys.data(), values.data());
    Dictionary dictionary;
    for (ios::CFIndex i = 0; i < count && *complete; ++i) {
      auto key = UTF8String(reinterpret_cast<id>(const_cast<void*>(keys[i])));
      if (!key) {
        *complete = false;
        break;
      }
      dictionary.set(std::move(*key),
                     valueFor(reinterpret_cast<id>(const_cast<void*>(values[i])), complete));
    }
    if (*complete) return Value(std::move(dictionary));
  }
  *complete = false;
  return {};
}

}  // namespace

StrongRef stringWithUTF8String(std::string_view text) {
  return adoptCF(ios::CFStringCreateWithBytes(
      nullptr, reinterpret_cast<const std::uint8_t*>(text.data()),
      static_cast<ios::CFIndex>(text.size()), ios::kCFStringEncodingUTF8, false));
}

std::optional<std::string> UTF8String(id string) {
  if (!hasType(string, ios::CFStringGetTypeID())) return std::nullopt;
  const ios::CFRange all{0, ios::CFStringGetLength(string)};
  ios::CFIndex size = 0;
  ios::CFStringGetBytes(string, all, ios::kCFStringEncodingUTF8, 0, false, nullptr, 0, &size);
  std::string text(static_cast<std::size_t>(size), '\0');
  ios::CFStringGetBytes(string, all, ios::kCFStringEncodingUTF8, 0, false,
                        reinterpret_cast<std::uint8_t*>(text.data()), size, &size);
  text.resize(static_cast<std::size_t>(size));
  return text;
}

std::size_t CFArrayGetCount(id array) {
  if (!hasType(array, ios::CFArrayGetTypeID())) return 0;
  return static_cast<std::size_t>(ios::CFArrayGetCount(array));
}

id CFArrayGetValueAtIndex(id array, std::size_t index) {
  if (index >= CFArrayGetCount(array)) return nullptr;
  return reinterpret_cast<id>(
      const_cast<void*>(ios::CFArrayGetValueAtIndex(array, static_cast<ios::CFIndex>(index))));
}

StrongRef arrayWithObjects(const ObjectList& objects) {
  return makeArray(objects, false);
}

StrongRef mutableArrayWithObjects(const ObjectList& objects) {
  return makeArray(objects, true);
}

ObjectList arrayElements(id array) {
  ObjectList elements;
  const std::size_t count = CFArrayGetCount(array);
  for (std::size_t i = 0; i < count; ++i) elements.emplace_back(CFArrayGetValueAtIndex(array, i));
  return elements;
}

StrongRef propertyListFromValue(const Value& value) {
  return objectFor(value);
}

Value valueFromPropertyList(id object) {
  bool complete = true;
  Value value = valueFor(object, &complete);
  return complete ? value : Value();
}

}  // namespace host
