#include "tests/fuzz/Properties.h"

#include <utf8.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "dunmereprefs/Shared/FeatureStateLines.h"
#include "hostsim/PlistCodec.h"
#include "libroot_dyn/libroot_dyn.h"
#include "tools/Scenario.h"

namespace harbrite::fuzz {

namespace {

// ---- Line rules ------------------------------------------------------------------------------

// The text's lines, each with its terminator: LF, CR, CR LF, NEL, LINE SEPARATOR, PARAGRAPH
// SEPARATOR. Written here on its own, so that the rules are checked against a second reading.
std::vector<std::string> splitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t begin = 0;
  std::size_t i = 0;
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  while (i < text.size()) {
    std::size_t n = 0;
    if (at(i) == '\n') {
      n = 1;
    } else if (at(i) == '\r') {
      n = i + 1 < text.size() && at(i + 1) == '\n' ? 2 : 1;
    } else if (at(i) == 0xC2 && i + 1 < text.size() && at(i + 1) == 0x85) {
      n = 2;
    } else if (at(i) == 0xE2 && i + 2 < text.size() && at(i + 1) == 0x80 &&
               (at(i + 2) == 0xA8 || at(i + 2) == 0xA9)) {
      n = 3;
    }
    if (n == 0) {
      ++i;
      continue;
    }
    lines.emplace_back(text.substr(begin, i + n - begin));
    i += n;
    begin = i;
  }
  if (begin < text.size()) lines.emplace_back(text.substr(begin));
  return lines;
}

bool hasTerminator(const std::string& line) {
  return splitLines(line + "x").size() == 2;
}

std::string showBytes(std::string_view text) {
  std::string out;
  for (unsigned char c : text.substr(0, 200)) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

// The features other lines name: what comes before the first "State=" of each line.
std::vector<std::string> otherFeatures(const std::vector<std::string>& lines) {
  std::vector<std::string> features = {"BellweirWiFi"};
  for (std::size_t i = 0; i < lines.size() && features.size() < 8; ++i) {
    const std::size_t at = lines[i].find("State=");
    if (at == std::string::npos) continue;
    std::string feature = lines[i].substr(0, at);
    if (feature != featurestate::kVPN && splitLines(feature).size() <= 1)
      features.push_back(feature);
  }
  return features;
}

}  // namespace

std::string checkLineRules(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = splitLines(text);
  std::size_t vpnLine = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].compare(0, 9, "VPNState=") == 0) {
      vpnLine = i;
      break;
    }
  }
  for (const bool on : {true, false}) {
    const std::string written = featurestate::withFeature(text, featurestate::kVPN, on);
    const std::string record = std::string("VPNState=") + (on ? "YES" : "NO") + "\n";
    if (featurestate::readFeature(written, featurestate::kVPN) != on) {
      return "reading back " + showBytes(written) + " does not give what was written";
    }
    std::vector<std::string> expected = lines;
    if (vpnLine < lines.size()) {
      expected[vpnLine] = record;
    } else {
      // Appended; a last line without a terminator is given LF so that the two do not join.
      if (!expected.empty() && !hasTerminator(expected.back())) expected.back() += "\n";
      expected.push_back(record);
    }
    if (splitLines(written) != expected) {
      return "writing changed other lines: " + showBytes(text) + " became " + showBytes(written);
    }
    if (utf8::is_valid(text.begin(), text.end()) &&
        !utf8::is_valid(written.begin(), written.end())) {
      return "UTF-8 text became invalid: " + showBytes(written);
    }
    for (const std::string& feature : otherFeatures(lines)) {
      if (featurestate::readFeature(written, feature) != featurestate::readFeature(text, feature)) {
        return "writing the VPN's line changed how " + feature + " reads in " + showBytes(text);
      }
    }
  }
  return "";
}

// ---- Preferences -------------------------------------------------------------------------------

namespace {

bool sameValue(const host::Value& a, const host::Value& b);

bool sameDictionary(const host::Dictionary& a, const host::Dictionary& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [key, value] : a) {
    const host::Value* theirs = b.find(key);
    if (theirs == nullptr || !sameValue(value, *theirs)) return false;
  }
  return true;
}

// Equality to the bit: reals and dates by their bits (NaN payloads and the sign of zero
// included), whichever encoding the file was written in.
bool sameValue(const host::Value& a, const host::Value& b) {
  if (a.type() != b.type()) return false;
  if (const host::Date* x = a.asDate()) {
    return std::bit_cast<std::uint64_t>(x->sinceReferenceDate) ==
           std::bit_cast<std::uint64_t>(b.asDate()->sinceReferenceDate);
  }
  if (const double* x = a.asReal()) {
    return std::bit_cast<std::uint64_t>(*x) == std::bit_cast<std::uint64_t>(*b.asReal());
  }
  if (const host::Array* x = a.asArray()) {
    const host::Array& y = *b.asArray();
    if (x->size() != y.size()) return false;
    for (std::size_t i = 0; i < x->size(); ++i) {
      if (!sameValue((*x)[i], y[i])) return false;
    }
    return true;
  }
  if (const host::Dictionary* x = a.asDictionary()) {
    return sameDictionary(*x, *b.asDictionary());
  }
  return a == b;
}

}  // namespace

std::string checkPreferencesReading(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const host::Result<host::Dictionary> read = hostsim::readDictionaryBytes(bytes);
  if (!read.ok()) return "";
  const std::string written = hostsim::encodeDictionary(read.value());
  const host::Result<host::Dictionary> again = hostsim::readDictionaryBytes(written);
  if (!again.ok())
    return "a dictionary that was read cannot be read once written: " + showBytes(written);
  if (!sameDictionary(read.value(), again.value())) {
    return "written and read again, the dictionary changed";
  }
  return "";
}

// ---- Root-prefix paths -------------------------------------------------------------------------

namespace {

using PathFunction = char* (*)(const char*, char*);

std::string bounded(std::string s) {
  return s.size() > 1023 ? s.substr(0, 1023) : s;
}

std::string checkPathFunction(const char* name, PathFunction function, const std::string& path,
                              const std::string& expected) {
  // Exactly the bound, so that a byte written past it is caught.
  char* buffer = static_cast<char*>(std::malloc(libroot_dyn::kPathBound));
  std::memset(buffer, 0x5A, libroot_dyn::kPathBound);
  const char* result = function(path.c_str(), buffer);
  std::string failure;
  if (result != buffer) {
    failure = std::string(name) + " did not answer the caller's buffer";
  } else if (strnlen(buffer, libroot_dyn::kPathBound) == libroot_dyn::kPathBound) {
    failure = std::string(name) + " left the buffer unterminated";
  } else if (buffer != expected) {
    failure = std::string(name) + " of " + showBytes(path) + " gave " + showBytes(buffer);
  }
  std::free(buffer);
  if (!failure.empty()) return failure;

  char* allocated = function(path.c_str(), nullptr);
  if (allocated == nullptr || allocated != expected)
    failure = std::string(name) + " without a buffer";
  std::free(allocated);
  if (function(nullptr, nullptr) != nullptr) failure = std::string(name) + " of no path";
  return failure;
}

}  // namespace

std::string checkRootPrefixPaths(const std::uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const std::string path(bytes, strnlen(bytes, size));
  const bool absolute = !path.empty() && path[0] == '/';
  const std::string jbroot = libroot_dyn_get_jbroot_prefix();
  const std::string mapped = bounded(absolute ? jbroot + path : path);
  std::string unmapped = path;
  if (absolute && path.compare(0, jbroot.size(), jbroot) == 0)
    unmapped = path.substr(jbroot.size());
  unmapped = bounded(absolute ? unmapped : path);

  for (auto [name, function, expected] :
       {std::tuple{"libroot_dyn_jbrootpath", &libroot_dyn_jbrootpath, mapped},
        std::tuple{"libroot_jbrootpath_fallback", &libroot_jbrootpath_fallback, mapped},
        std::tuple{"libroot_dyn_rootfspath", &libroot_dyn_rootfspath, unmapped},
        std::tuple{"libroot_rootfspath_fallback", &libroot_rootfspath_fallback, unmapped}}) {
    const std::string failure = checkPathFunction(name, function, path, expected);
    if (!failure.empty()) return failure;
  }
  return "";
}

// ---- Scenarios
// -----------------------------------------------------------------------------------

std::string checkScenarioParsing(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const sim::Scenario scenario = sim::parseScenario("fuzz.scn", text);
    for (const sim::Command& c : scenario.commands) {
      if (c.words.empty() || c.line < 1) return "a command without words or line";
    }
  } catch (const sim::ScenarioError& e) {
    if (std::string_view(e.what()).substr(0, 9) != "fuzz.scn:") return "an error without its place";
  } catch (const std::exception& e) {
    return std::string("parseScenario failed with another error: ") + e.what();
  }
  try {
    sim::parseValue(text.substr(0, text.find('\n')));
  } catch (const std::invalid_argument&) {
  } catch (const std::exception& e) {
    return std::string("parseValue failed with another error: ") + e.what();
  }
  return "";
}

}  // namespace harbrite::fuzz
