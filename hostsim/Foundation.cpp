// Foundation's value classes as the simulated platform has them: NSObject, the root of every
// class the host defines, and the strings, numbers, arrays, dictionaries, dates and data that the
// hosts hand the system and the bridging functions of host/Foundation.h make. Each keeps its
// value as native state; the messages they answer are the few the system and the hosts send.
// They are made once per process and shared by every simulated process in it.
#include "host/Foundation.h"

#include <utf8.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "hostsim/Objects.h"

namespace hostsim {

namespace {

using host::ObjectList;
using host::StrongRef;
using host::Value;

struct StringState : NativeState {
  std::string text;
};
// A boolean, an integer or a real: what NSNumber (and CFBoolean) hold.
struct NumberState : NativeState {
  Value number;
};
struct ArrayState : NativeState {
  ObjectList items;
};
struct DictionaryState : NativeState {
  std::vector<std::pair<std::string, StrongRef>> entries;  // keys are strings, in their order
};
struct DateState : NativeState {
  double sinceReferenceDate = 0;
};
struct DataState : NativeState {
  host::Data bytes;
};
struct UidState : NativeState {
  std::uint64_t value = 0;
};

struct Classes {
  Class object, string, number, array, mutableArray, dictionary, date, data, uid;
};

const Classes& classes();

const std::string* textOf(id obj) {
  auto* s = as<StringState>(obj);
  return s != nullptr ? &s->text : nullptr;
}

// ---- NSObject ---------------------------------------------------------------------------------

void objectDealloc(id self, SEL) {
  disposeObject(self);
}

bool objectIsEqual(id self, SEL, id other) {
  return self == other;
}

// ---- NSString ---------------------------------------------------------------------------------

unsigned long stringLength(id self, SEL) {
  const std::string& text = *textOf(self);
  return static_cast<unsigned long>(utf8::distance(text.begin(), text.end()));
}

const char* stringUTF8String(id self, SEL) {
  return textOf(self)->c_str();
}

bool stringIsEqual(id self, SEL, id other) {
  const std::string* theirs = textOf(other);
  return theirs != nullptr && *theirs == *textOf(self);
}

// ---- NSNumber ---------------------------------------------------------------------------------

bool numberBoolValue(id self, SEL) {
  return as<NumberState>(self)->number.boolValue();
}

double numberDoubleValue(id self, SEL) {
  const Value& n = as<NumberState>(self)->number;
  if (const bool* b = n.asBoolean()) return *b ? 1 : 0;
  if (const std::int64_t* i = n.asInteger()) return static_cast<double>(*i);
  if (const std::uint64_t* u = n.asLargeInteger()) return static_cast<double>(*u);
  if (const double* d = n.asReal()) return *d;
  return 0;
}

bool numberIsEqual(id self, SEL, id other) {
  auto* theirs = as<NumberState>(other);
  return theirs != nullptr && theirs->number == as<NumberState>(self)->number;
}

// ---- NSArray and NSMutableArray ---------------------------------------------------------------

unsigned long arrayCount(id self, SEL) {
  return as<ArrayState>(self)->items.size();
}

id arrayObjectAtIndex(id self, SEL, unsigned long index) {
  const ObjectList& items = as<ArrayState>(self)->items;
  return index < items.size() ? items[index].get() : nullptr;
}

bool equalObjects(id a, id b) {
  static const SEL isEqual = host::sel_registerName("isEqual:");
  return a == b || host::msgSend<bool>(a, isEqual, b);
}

void mutableArrayAddObject(id self, SEL, id obj) {
  if (obj != nullptr) as<ArrayState>(self)->items.emplace_back(obj);
}

void mutableArrayRemoveObject(id self, SEL, id obj) {
  std::erase_if(as<ArrayState>(self)->items,
                [obj](const StrongRef& item) { return equalObjects(item.get(), obj); });
}

void mutableArrayInsertObjectAtIndex(id self, SEL, id obj, unsigned long index) {
  ObjectList& items = as<ArrayState>(self)->items;
  if (obj != nullptr && index <= items.size()) items.insert(items.begin() + index, StrongRef(obj));
}

void mutableArrayRemoveObjectsInArray(id self, SEL, id others) {
  const ObjectList gone = host::arrayElements(others);
  std::erase_if(as<ArrayState>(self)->items, [&gone](const StrongRef& item) {
    for (const StrongRef& g : gone) {
      if (equalObjects(item.get(), g.get())) return true;
    }
    return false;
  });
}

void mutableArrayAddObjectsFromArray(id self, SEL, id others) {
  for (StrongRef& item : host::arrayElements(others)) {
    as<ArrayState>(self)->items.push_back(std::move(item));
  }
}

// ---- NSDictionary -----------------------------------------------------------------------------

unsigned long dictionaryCount(id self, SEL) {
  return as<DictionaryState>(self)->entries.size();
}

id dictionaryObjectForKey(id self, SEL, id key) {
  const std::string* wanted = textOf(key);
  if (wanted == nullptr) return nullptr;
  for (const auto& [k, v] : as<DictionaryState>(self)->entries) {
    if (k == *wanted) return v.get();
  }
  return nullptr;
}

template <class State>
Class valueClass(const char* name, Class superclass) {
  Class cls = defineClass(name, superclass, [] { return new State; });
  makePermanent(cls);
  return cls;
}

const Classes& classes() {
  static const Classes c = [] {
    Classes c{};
    c.object = defineClass("NSObject", nullptr);
    makePermanent(c.object);
    addMethod(c.object, "dealloc", host::toIMP(&objectDealloc), "v@:");
    addMethod(c.object, "isEqual:", host::toIMP(&objectIsEqual), "B@:@");

    c.string = valueClass<StringState>("NSString", c.object);
    addMethod(c.string, "length", host::toIMP(&stringLength), "Q@:");
    addMethod(c.string, "UTF8String", host::toIMP(&stringUTF8String), "r*@:");
    addMethod(c.string, "isEqual:", host::toIMP(&stringIsEqual), "B@:@");
    addMethod(c.string, "isEqualToString:", host::toIMP(&stringIsEqual), "B@:@");

    c.number = valueClass<NumberState>("NSNumber", c.object);
    addMethod(c.number, "boolValue", host::toIMP(&numberBoolValue), "B@:");
    addMethod(c.number, "doubleValue", host::toIMP(&numberDoubleValue), "d@:");
    addMethod(c.number, "isEqual:", host::toIMP(&numberIsEqual), "B@:@");

    c.array = valueClass<ArrayState>("NSArray", c.object);
    addMethod(c.array, "count", host::toIMP(&arrayCount), "Q@:");
    addMethod(c.array, "objectAtIndex:", host::toIMP(&arrayObjectAtIndex), "@@:Q");
    c.mutableArray = valueClass<ArrayState>("NSMutableArray", c.array);
    addMethod(c.mutableArray, "addObject:", host::toIMP(&mutableArrayAddObject), "v@:@");
    addMethod(c.mutableArray, "removeObject:", host::toIMP(&mutableArrayRemoveObject), "v@:@");
    addMethod(c.mutableArray,
              "insertObject:atIndex:", host::toIMP(&mutableArrayInsertObjectAtIndex), "v@:@Q");
    addMethod(c.mutableArray,
              "removeObjectsInArray:", host::toIMP(&mutableArrayRemoveObjectsInArray), "v@:@");
    addMethod(c.mutableArray, "addObjectsFromArray:", host::toIMP(&mutableArrayAddObjectsFromArray),
              "v@:@");

    c.dictionary = valueClass<DictionaryState>("NSDictionary", c.object);
    addMethod(c.dictionary, "count", host::toIMP(&dictionaryCount), "Q@:");
    addMethod(c.dictionary, "objectForKey:", host::toIMP(&dictionaryObjectForKey), "@@:@");

    c.date = valueClass<DateState>("NSDate", c.object);
    c.data = valueClass<DataState>("NSData", c.object);
    c.uid = valueClass<UidState>("__NSCFKeyedArchiverUID", c.object);
    return c;
  }();
  return c;
}

template <class State>
std::pair<StrongRef, State*> make(Class cls) {
  auto obj = StrongRef::adopt(host::class_createInstance(cls));
  return {obj, as<State>(obj.get())};
}

}  // namespace

Class foundationRoot() {
  return classes().object;
}

}  // namespace hostsim

namespace host {

using hostsim::as;

StrongRef stringWithUTF8String(std::string_view text) {
  if (!utf8::is_valid(text.begin(), text.end())) return nullptr;
  auto [obj, state] = hostsim::make<hostsim::StringState>(hostsim::classes().string);
  state->text.assign(text);
  return obj;
}

std::optional<std::string> UTF8String(id string) {
  if (const std::string* text = hostsim::textOf(string)) return *text;
  return std::nullopt;
}

std::size_t CFArrayGetCount(id array) {
  auto* a = as<hostsim::ArrayState>(array);
  return a != nullptr ? a->items.size() : 0;
}

id CFArrayGetValueAtIndex(id array, std::size_t index) {
  auto* a = as<hostsim::ArrayState>(array);
  return a != nullptr && index < a->items.size() ? a->items[index].get() : nullptr;
}

StrongRef arrayWithObjects(const ObjectList& objects) {
  auto [obj, state] = hostsim::make<hostsim::ArrayState>(hostsim::classes().array);
  state->items = objects;
  return obj;
}

StrongRef mutableArrayWithObjects(const ObjectList& objects) {
  auto [obj, state] = hostsim::make<hostsim::ArrayState>(hostsim::classes().mutableArray);
  state->items = objects;
  return obj;
}

ObjectList arrayElements(id array) {
  auto* a = as<hostsim::ArrayState>(array);
  return a != nullptr ? a->items : ObjectList{};
}

StrongRef propertyListFromValue(const Value& value) {
  const hostsim::Classes& c = hostsim::classes();
  switch (value.type()) {
    case Value::Type::None:
      return nullptr;
    case Value::Type::Boolean:
    case Value::Type::Integer:
    case Value::Type::Real: {
      auto [obj, state] = hostsim::make<hostsim::NumberState>(c.number);
      state->number = value;
      return obj;
    }
    case Value::Type::String:
      return stringWithUTF8String(*value.asString());
    case Value::Type::Data: {
      auto [obj, state] = hostsim::make<hostsim::DataState>(c.data);
      state->bytes = *value.asData();
      return obj;
    }
    case Value::Type::Date: {
      auto [obj, state] = hostsim::make<hostsim::DateState>(c.date);
      state->sinceReferenceDate = value.asDate()->sinceReferenceDate;
      return obj;
    }
    case Value::Type::Uid: {
      auto [obj, state] = hostsim::make<hostsim::UidState>(c.uid);
      state->value = value.asUid()->value;
      return obj;
    }
    case Value::Type::Array: {
      auto [obj, state] = hostsim::make<hostsim::ArrayState>(c.array);
      for (const Value& item : *value.asArray()) {
        StrongRef element = propertyListFromValue(item);
        if (!element) return nullptr;
        state->items.push_back(std::move(element));
      }
      return obj;
    }
    case Value::Type::Dictionary: {
      auto [obj, state] = hostsim::make<hostsim::DictionaryState>(c.dictionary);
      for (const auto& [key, item] : *value.asDictionary()) {
        StrongRef element = propertyListFromValue(item);
        if (!element) return nullptr;
        state->entries.emplace_back(key, std::move(element));
      }
      return obj;
    }
  }
  return nullptr;
}

Value valueFromPropertyList(id object) {
  if (object == nullptr) return Value();
  if (const std::string* text = hostsim::textOf(object)) return Value(*text);
  if (auto* n = as<hostsim::NumberState>(object)) return n->number;
  if (auto* d = as<hostsim::DataState>(object)) return Value(d->bytes);
  if (auto* d = as<hostsim::DateState>(object)) return Value(Date{d->sinceReferenceDate});
  if (auto* u = as<hostsim::UidState>(object)) return Value(Uid{u->value});
  if (auto* a = as<hostsim::ArrayState>(object)) {
    Array items;
    items.reserve(a->items.size());
    for (const StrongRef& item : a->items) {
      Value v = valueFromPropertyList(item.get());
      if (v.isNone()) return Value();
      items.push_back(std::move(v));
    }
    return Value(std::move(items));
  }
  if (auto* d = as<hostsim::DictionaryState>(object)) {
    Dictionary entries;
    for (const auto& [key, item] : d->entries) {
      Value v = valueFromPropertyList(item.get());
      if (v.isNone()) return Value();
      entries.set(key, std::move(v));
    }
    return Value(std::move(entries));
  }
  return Value();
}

}  // namespace host
