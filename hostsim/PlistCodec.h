// The property-list encodings behind readDictionary and writeDictionaryAtomically, read and
// written by the rules of the platform's own reader: XML (XmlEncoding.cpp) and binary
// (BinaryEncoding.cpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "host/PropertyList.h"

namespace hostsim {

// A dictionary from XML or binary property-list bytes, or why there is none: Malformed for bytes
// that are no property list or whose top level is no dictionary, Unreadable for a property list
// holding what cannot be kept whole; the message says what, in a few words.
host::Result<host::Dictionary> readDictionaryBytes(const std::string& bytes);

// The file's bytes for the dictionary, in the encoding host::encodingFor picks. Values that are
// none are left out.
std::string encodeDictionary(const host::Dictionary& dictionary);

// The XML encoding: any encoding the declaration or a byte-order mark names that the platform
// reads (UTF-8, UTF-16, ISO-8859-1, Windows-1252, US-ASCII).
host::Result<host::Dictionary> readXML(const std::string& bytes);
// The XML encoding of a dictionary that host::encodingFor lets XML carry, in UTF-8.
std::string xmlEncoding(const host::Dictionary& dictionary);

// A date written "YYYY-MM-DDTHH:MM:SSZ" (the XML encoding's form; with `fraction`, also with a
// decimal fraction of a second before the Z), as seconds from 2001; none for other text or a day
// that does not exist.
std::optional<double> dateFromText(std::string_view text, bool fraction);
// A date of the years 1 to 9999 in that form: its whole second, or with `fraction` exactly, so
// that dateFromText gives the same seconds back to the bit.
std::string textOfDate(double seconds, bool fraction);

// The binary encoding ("bplist00"): integers of 1 to 16 bytes, UIDs of 1 to 8, strings of one
// or two bytes a character, shared objects; read without recursion.
host::Result<host::Dictionary> readBinary(const std::string& bytes);
// The binary encoding of a value as the top object: every value whole, reals and dates to the
// bit, integers over the whole range, strings with any character. Values that are none are left
// out of arrays and dictionaries.
std::string binaryEncoding(const host::Value& value);
std::string binaryEncoding(const host::Dictionary& dictionary);

}  // namespace hostsim
