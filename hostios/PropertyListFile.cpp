// Property-list files on the device: CoreFoundation reads and writes them, as the Settings app
// does, in the encoding host::encodingFor picks.
#include <errno.h>

#include <algorithm>

#include "host/FileStatus.h"
#include "host/Foundation.h"
#include "host/PropertyList.h"
#include "hostios/Files.h"
#include "hostios/platform/CoreFoundation.h"

namespace host {

Result<Dictionary> readDictionary(const std::string& path) {
  std::string bytes;
  if (!hostios::readWholeFile(path, bytes)) return readFailure(path, errno);
  StrongRef data = StrongRef::adopt(
      ios::CFDataCreate(nullptr, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                        static_cast<ios::CFIndex>(bytes.size())));
  ios::CFTypeRef error = nullptr;
  ios::CFIndex format = 0;
  StrongRef list = StrongRef::adopt(ios::CFPropertyListCreateWithData(
      nullptr, data.get(), ios::kCFPropertyListImmutable, &format, &error));
  if (!list) {
    std::string reason = "bytes that are no property list";
    if (error != nullptr) {
      StrongRef description = StrongRef::adopt(ios::CFErrorCopyDescription(error));
      reason = UTF8String(description.get()).value_or(reason);
      ios::CFRelease(error);
    }
    return Status(Status::Code::Malformed, std::move(reason));
  }
  if (ios::CFGetTypeID(list.get()) != ios::CFDictionaryGetTypeID()) {
    return Status(Status::Code::Malformed, "the top level is no dictionary");
  }
  Value value = valueFromPropertyList(list.get());
  // Something CoreFoundation reads that the system's values cannot hold: keep the file.
  Dictionary* dictionary = value.asDictionary();
  if (dictionary == nullptr)
    return Status(Status::Code::Unreadable, "a value the system cannot hold");
  return std::move(*dictionary);
}

Status writeDictionaryAtomically(const Dictionary& dictionary, const std::string& path) {
  std::size_t depth = 0;
  for (const auto& entry : dictionary) depth = std::max(depth, nestingDepth(entry.second));
  if (depth + 1 > kMaxNesting) {
    return writeRefused(
        path, "the dictionary is nested deeper than " + std::to_string(kMaxNesting) + " levels");
  }
  StrongRef list = propertyListFromValue(Value(dictionary));
  if (!list) return writeRefused(path, "a value cannot be made a property list");
  const ios::CFIndex format = encodingFor(dictionary) == Encoding::Binary
                                  ? ios::kCFPropertyListBinaryFormat_v1_0
                                  : ios::kCFPropertyListXMLFormat_v1_0;
  ios::CFTypeRef error = nullptr;
  StrongRef data =
      StrongRef::adopt(ios::CFPropertyListCreateData(nullptr, list.get(), format, 0, &error));
  if (error != nullptr) ios::CFRelease(error);
  if (!data) return writeRefused(path, "CoreFoundation could not encode the property list");
  const std::string_view bytes(reinterpret_cast<const char*>(ios::CFDataGetBytePtr(data.get())),
                               static_cast<std::size_t>(ios::CFDataGetLength(data.get())));
  if (!hostios::replaceFileAtomically(path, bytes)) return writeFailure(path, errno);
  return {};
}

}  // namespace host
