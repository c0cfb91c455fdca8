// Property-list files on the device: CoreFoundation reads and writes them, as the Settings app
// does, in the encoding host::encodingFor picks.
#include <errno.h>

#include <algorithm>

#include "host/Foundation.h"
#include "host/PropertyList.h"
#include "hostios/Files.h"
#include "hostios/platform/CoreFoundation.h"

namespace host {

DictionaryRead readDictionaryFile(const std::string& path) {
  DictionaryRead result;
  std::string bytes;
  if (!hostios::readWholeFile(path, bytes)) {
    result.failure = errno == ENOENT || errno == ENOTDIR ? DictionaryRead::Failure::Missing
                                                         : DictionaryRead::Failure::Unreadable;
    return result;
  }
  StrongRef data = StrongRef::adopt(
      ios::CFDataCreate(nullptr, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                        static_cast<ios::CFIndex>(bytes.size())));
  ios::CFTypeRef error = nullptr;
  ios::CFIndex format = 0;
  StrongRef list = StrongRef::adopt(ios::CFPropertyListCreateWithData(
      nullptr, data.get(), ios::kCFPropertyListImmutable, &format, &error));
  if (!list) {
    result.failure = DictionaryRead::Failure::Malformed;
    if (error != nullptr) {
      StrongRef description = StrongRef::adopt(ios::CFErrorCopyDescription(error));
      result.reason = UTF8String(description.get()).value_or("");
      ios::CFRelease(error);
    }
    return result;
  }
  if (ios::CFGetTypeID(list.get()) != ios::CFDictionaryGetTypeID()) {
    result.failure = DictionaryRead::Failure::Malformed;
    result.reason = "the top level is no dictionary";
    return result;
  }
  Value value = valueFromPropertyList(list.get());
  if (const Dictionary* dictionary = value.asDictionary()) {
    result.dictionary = *dictionary;
  } else {
    // Something CoreFoundation reads that the system's values cannot hold: keep the file.
    result.failure = DictionaryRead::Failure::Unreadable;
    result.reason = "a value the system cannot hold";
  }
  return result;
}

bool writeDictionaryAtomically(const Dictionary& dictionary, const std::string& path) {
  std::size_t depth = 0;
  for (const auto& entry : dictionary) depth = std::max(depth, nestingDepth(entry.second));
  if (depth + 1 > kMaxNesting) return false;
  StrongRef list = propertyListFromValue(Value(dictionary));
  if (!list) return false;
  const ios::CFIndex format = encodingFor(dictionary) == Encoding::Binary
                                  ? ios::kCFPropertyListBinaryFormat_v1_0
                                  : ios::kCFPropertyListXMLFormat_v1_0;
  ios::CFTypeRef error = nullptr;
  StrongRef data =
      StrongRef::adopt(ios::CFPropertyListCreateData(nullptr, list.get(), format, 0, &error));
  if (error != nullptr) ios::CFRelease(error);
  if (!data) return false;
  const std::string_view bytes(reinterpret_cast<const char*>(ios::CFDataGetBytePtr(data.get())),
                               static_cast<std::size_t>(ios::CFDataGetLength(data.get())));
  return hostios::replaceFileAtomically(path, bytes);
}

}  // namespace host
