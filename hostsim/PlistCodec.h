// The property-list encoding behind readDictionary and writeDictionaryAtomically.
#pragma once

#include <optional>
#include <string>

#include "host/PropertyList.h"

namespace hostsim {

// A dictionary from XML or binary property-list bytes; none for anything else.
std::optional<host::Dictionary> dictionaryFromBytes(const std::string& bytes);
std::string dictionaryToXML(const host::Dictionary& dictionary);

}  // namespace hostsim
