// The property-list encodings behind readDictionaryFile and writeDictionaryAtomically.
#pragma once

#include <optional>
#include <string>

#include "host/PropertyList.h"

namespace hostsim {

// A dictionary from XML or binary property-list bytes, or why there is none (Malformed, or
// Unreadable for bytes that hold more than can be kept).
host::DictionaryRead readDictionaryBytes(const std::string& bytes);
// The dictionary alone; none for anything else.
std::optional<host::Dictionary> dictionaryFromBytes(const std::string& bytes);

// The file's bytes for the dictionary: the XML encoding, unless it cannot carry every value as
// it is; then the binary encoding. Values that are none are left out.
std::string encodeDictionary(const host::Dictionary& dictionary);
// Whether encodeDictionary writes the binary encoding for this dictionary.
bool needsBinaryEncoding(const host::Dictionary& dictionary);

// The binary encoding ("bplist00") of a value as the top object: every value whole, reals and
// dates to the bit, integers over the whole range, strings with any character. Values that are
// none are left out of arrays and dictionaries.
std::string binaryEncoding(const host::Value& value);
std::string binaryEncoding(const host::Dictionary& dictionary);

}  // namespace hostsim
