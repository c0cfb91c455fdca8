#include "dunmereprefs/Shared/FeatureStateLines.h"

namespace harbrite::featurestate {

namespace {

// The length of the line terminator at `at`, or 0 when none starts there.
std::size_t terminatorAt(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const std::size_t left = text.size() - at;
  if (byte(at) == '\n') return 1;
  if (byte(at) == '\r') return left >= 2 && byte(at + 1) == '\n' ? 2 : 1;
  if (left >= 2 && byte(at) == 0xC2 && byte(at + 1) == 0x85) return 2;  // NEL
  if (left >= 3 && byte(at) == 0xE2 && byte(at + 1) == 0x80 &&
      (byte(at + 2) == 0xA8 || byte(at + 2) == 0xA9)) {
    return 3;  // LINE SEPARATOR, PARAGRAPH SEPARATOR
  }
  return 0;
}

// Whether a terminator can start with this byte: LF, CR, or the first byte of NEL (C2) or of
// U+2028 and U+2029 (E2). Any other byte is passed over without looking further.
bool mayStartTerminator(unsigned char byte) {
  return byte == '\n' || byte == '\r' || byte == 0xC2 || byte == 0xE2;
}

// One past the terminator of the line that starts at `begin` (the text's end without one).
std::size_t lineEnd(std::string_view text, std::size_t begin) {
  for (std::size_t i = begin; i < text.size(); ++i) {
    if (!mayStartTerminator(static_cast<unsigned char>(text[i]))) continue;
    if (std::size_t n = terminatorAt(text, i)) return i + n;
  }
  return text.size();
}

std::string keyFor(std::string_view feature) {
  std::string key(feature);
  key += "State=";
  return key;
}

}  // namespace

std::optional<Line> findFeatureLine(std::string_view text, std::string_view feature) {
  const std::string key = keyFor(feature);
  for (std::size_t begin = 0; begin < text.size();) {
    const std::size_t end = lineEnd(text, begin);
    if (text.compare(begin, key.size(), key) == 0) return Line{begin, end};
    begin = end;
  }
  return std::nullopt;
}

bool readFeature(std::string_view text, std::string_view feature) {
  const std::optional<Line> line = findFeatureLine(text, feature);
  if (!line) return false;
  return text.substr(line->begin, line->end - line->begin).find("YES") != std::string_view::npos;
}

std::optional<std::string> withFeatureLineReset(std::string_view text, std::string_view feature) {
  const std::optional<Line> line = findFeatureLine(text, feature);
  if (!line) return std::nullopt;
  std::string result(text.substr(0, line->begin));
  const std::string_view old = text.substr(line->begin, line->end - line->begin);
  for (std::size_t at = 0; at < old.size();) {
    const std::size_t yes = old.find("YES", at);
    if (yes == std::string_view::npos) {
      result.append(old.substr(at));
      break;
    }
    result.append(old.substr(at, yes - at));
    result.append("NO");
    at = yes + 3;
  }
  result.append(text.substr(line->end));
  return result;
}

bool endsWithTerminator(std::string_view text) {
  if (text.empty()) return true;
  for (std::size_t n = 1; n <= 3 && n <= text.size(); ++n) {
    if (terminatorAt(text, text.size() - n) == n) return true;
  }
  return false;
}

std::string withFeature(std::string_view text, std::string_view feature, bool on) {
  const std::string record = keyFor(feature) + (on ? "YES" : "NO") + "\n";
  std::string result;
  if (const std::optional<Line> line = findFeatureLine(text, feature)) {
    result.reserve(text.size() + record.size());
    result.append(text.substr(0, line->begin));
    result.append(record);
    result.append(text.substr(line->end));
    return result;
  }
  result.reserve(text.size() + record.size() + 1);
  result.append(text);
  if (!endsWithTerminator(text)) result.push_back('\n');
  result.append(record);
  return result;
}

}  // namespace harbrite::featurestate
