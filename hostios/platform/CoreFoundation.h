// The part of CoreFoundation (/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation)
// the device's host/ uses: strings, numbers, booleans, data, dates, arrays and dictionaries,
// property-list data, the Darwin notify centre and the main bundle. A CF object is toll-free
// bridged with its Foundation class, so every CFTypeRef here is a host::id.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "host/Platform.h"
#include "host/Runtime.h"

namespace ios {

using CFTypeRef = host::id;
using CFIndex = long;
using CFTypeID = unsigned long;
using CFOptionFlags = unsigned long;
using CFStringEncoding = uint32_t;
using CFAbsoluteTime = double;
using Boolean = unsigned char;
using CFAllocatorRef = const void*;

struct CFRange {
  CFIndex location;
  CFIndex length;
};

// The four callbacks and version of CFArray's and CFDictionary's element handling; the "type"
// variants retain what they hold. Only their addresses are used here.
struct CFArrayCallBacks {
  CFIndex version;
  const void* retain;
  const void* release;
  const void* copyDescription;
  const void* equal;
};
struct CFDictionaryKeyCallBacks {
  CFIndex version;
  const void* retain;
  const void* release;
  const void* copyDescription;
  const void* equal;
  const void* hash;
};
struct CFDictionaryValueCallBacks {
  CFIndex version;
  const void* retain;
  const void* release;
  const void* copyDescription;
  const void* equal;
};

inline constexpr CFStringEncoding kCFStringEncodingUTF8 = 0x08000100;
// CFNumberType values.
inline constexpr CFIndex kCFNumberSInt64Type = 4;
inline constexpr CFIndex kCFNumberFloat64Type = 6;
// CFPropertyListFormat and CFPropertyListMutabilityOptions values.
inline constexpr CFIndex kCFPropertyListXMLFormat_v1_0 = 100;
inline constexpr CFIndex kCFPropertyListBinaryFormat_v1_0 = 200;
inline constexpr CFOptionFlags kCFPropertyListImmutable = 0;

extern "C" {
extern const CFArrayCallBacks kCFTypeArrayCallBacks;
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;
extern const CFTypeRef kCFBooleanTrue;
extern const CFTypeRef kCFBooleanFalse;

CFTypeID CFGetTypeID(CFTypeRef object);
CFTypeRef CFRetain(CFTypeRef object);
void CFRelease(CFTypeRef object);

CFTypeID CFStringGetTypeID(void);
CFTypeRef CFStringCreateWithBytes(CFAllocatorRef allocator, const uint8_t* bytes, CFIndex length,
                                  CFStringEncoding encoding, Boolean isExternal);
CFIndex CFStringGetLength(CFTypeRef string);
CFIndex CFStringGetBytes(CFTypeRef string, CFRange range, CFStringEncoding encoding,
                         uint8_t lossByte, Boolean isExternal, uint8_t* buffer, CFIndex maxLength,
                         CFIndex* usedLength);

CFTypeID CFNumberGetTypeID(void);
CFTypeRef CFNumberCreate(CFAllocatorRef allocator, CFIndex type, const void* value);
Boolean CFNumberGetValue(CFTypeRef number, CFIndex type, void* value);
Boolean CFNumberIsFloatType(CFTypeRef number);
CFTypeID CFBooleanGetTypeID(void);
Boolean CFBooleanGetValue(CFTypeRef boolean);

CFTypeID CFDataGetTypeID(void);
CFTypeRef CFDataCreate(CFAllocatorRef allocator, const uint8_t* bytes, CFIndex length);
CFIndex CFDataGetLength(CFTypeRef data);
const uint8_t* CFDataGetBytePtr(CFTypeRef data);

CFTypeID CFDateGetTypeID(void);
CFTypeRef CFDateCreate(CFAllocatorRef allocator, CFAbsoluteTime at);
CFAbsoluteTime CFDateGetAbsoluteTime(CFTypeRef date);

CFTypeID CFArrayGetTypeID(void);
CFTypeRef CFArrayCreate(CFAllocatorRef allocator, const void** values, CFIndex count,
                        const CFArrayCallBacks* callBacks);
CFTypeRef CFArrayCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                               const CFArrayCallBacks* callBacks);
void CFArrayAppendValue(CFTypeRef array, const void* value);
CFIndex CFArrayGetCount(CFTypeRef array);
const void* CFArrayGetValueAtIndex(CFTypeRef array, CFIndex index);

CFTypeID CFDictionaryGetTypeID(void);
CFTypeRef CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                    const CFDictionaryKeyCallBacks* keyCallBacks,
                                    const CFDictionaryValueCallBacks* valueCallBacks);
void CFDictionarySetValue(CFTypeRef dictionary, const void* key, const void* value);
CFIndex CFDictionaryGetCount(CFTypeRef dictionary);
void CFDictionaryGetKeysAndValues(CFTypeRef dictionary, const void** keys, const void** values);

CFTypeRef CFPropertyListCreateWithData(CFAllocatorRef allocator, CFTypeRef data,
                                       CFOptionFlags options, CFIndex* format, CFTypeRef* error);
CFTypeRef CFPropertyListCreateData(CFAllocatorRef allocator, CFTypeRef propertyList, CFIndex format,
                                   CFOptionFlags options, CFTypeRef* error);
CFTypeRef CFErrorCopyDescription(CFTypeRef error);

CFTypeRef CFNotificationCenterGetDarwinNotifyCenter(void);
void CFNotificationCenterPostNotification(CFTypeRef center, CFTypeRef name, const void* object,
                                          CFTypeRef userInfo, Boolean deliverImmediately);

const host::Bundle* CFBundleGetMainBundle(void);
CFTypeRef CFBundleGetIdentifier(const host::Bundle* bundle);
}

static_assert(sizeof(CFRange) == 16 && sizeof(CFIndex) == 8, "CFIndex is a long");
static_assert(sizeof(CFArrayCallBacks) == 40 && sizeof(CFDictionaryKeyCallBacks) == 48,
              "CF callback records: a version and function pointers");
static_assert(sizeof(Boolean) == 1, "CF's Boolean is an unsigned char");

}  // namespace ios
