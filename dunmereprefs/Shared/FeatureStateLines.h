// The feature state file: one record line per feature ("VPNState=YES" and LF), shared with the
// sibling product Bellweir, whose lines are kept byte for byte. These are its line rules, used
// by every reader and writer of the file in both libraries.
//
// - A feature's key ("<feature>State=") counts only where it begins a line: at the start of the
//   text or right after a line terminator. Only its first such occurrence counts.
// - A line runs up to and including its terminator: LF, CR, CR LF (one terminator), NEL
//   (U+0085), LINE SEPARATOR (U+2028) or PARAGRAPH SEPARATOR (U+2029). The last line may have
//   none.
// - A line reads as on when it contains "YES" anywhere.
// Texts are UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace harbrite::featurestate {

inline constexpr const char* kPath =
    "/var/mobile/Library/Preferences/com.quorvik.Bellweir.featureStates.txt";
inline constexpr const char* kVPN = "VPN";

struct Line {
  std::size_t begin = 0;  // first byte of the line
  std::size_t end = 0;    // one past its terminator
};

// The line of the feature's key, or none.
std::optional<Line> findFeatureLine(std::string_view text, std::string_view feature);
// The feature's recorded state: on when its line contains "YES"; off without a line.
bool readFeature(std::string_view text, std::string_view feature);
// The text with the feature's line replaced by its record line ("<feature>State=YES|NO" and
// LF), or with that line appended when there is none. An appended line never joins a last line
// that has no terminator: LF is put between them.
std::string withFeature(std::string_view text, std::string_view feature, bool on);
// The text with every "YES" in the feature's line turned into "NO" (scanned from the line's
// start, occurrences not overlapping); everything else, that line's terminator included, stays
// byte for byte. None when the feature has no line.
std::optional<std::string> withFeatureLineReset(std::string_view text, std::string_view feature);
// Whether the text's last line ends with a terminator (true for the empty text).
bool endsWithTerminator(std::string_view text);

}  // namespace harbrite::featurestate
