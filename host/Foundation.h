// Foundation's value objects as the system meets them: strings, numbers, arrays, dictionaries,
// dates and data are objects on the platform, and these few bridging functions carry them into
// the system's own C++ values and back. Nothing else of theirs is used: the system reads a string
// object's text here, never by a message. Which of these any thread may call: Platform.h says.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "host/PropertyList.h"
#include "host/Runtime.h"

namespace host {

// NSString's stringWithUTF8String: (CFStringCreateWithBytes in UTF-8): a new string object
// holding `text`, owned by the caller; nil when `text` is not UTF-8.
StrongRef stringWithUTF8String(std::string_view text);
// NSString's UTF8String: the text of a string object; none for nil and for an object that is
// not a string.
std::optional<std::string> UTF8String(id string);

// CFArrayGetCount and CFArrayGetValueAtIndex: 0 and nil for nil, for an object that is not an
// array, and for an index past the end. The element stays valid while the array holds it.
std::size_t CFArrayGetCount(id array);
id CFArrayGetValueAtIndex(id array, std::size_t index);
// NSArray's arrayWithArray: and NSMutableArray's: a new array (mutable or not) of these
// objects, owned by the caller.
StrongRef arrayWithObjects(const ObjectList& objects);
StrongRef mutableArrayWithObjects(const ObjectList& objects);
// The elements of an array object, each held; none for nil or an object that is not an array.
ObjectList arrayElements(id array);

// A property-list object for the value (NSString, NSNumber, NSDate, NSData, NSArray,
// NSDictionary, as CFPropertyList makes them), owned by the caller; nil for none.
StrongRef propertyListFromValue(const Value& value);
// The value a property-list object holds, nested objects included; none for nil and for an
// object that is no property-list object (or holds one somewhere inside).
Value valueFromPropertyList(id object);

}  // namespace host
