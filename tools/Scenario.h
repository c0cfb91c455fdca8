// Scenarios: what harbrite-sim plays on a simulated device. One command a line; "#" starts a
// comment; words are split on spaces; "double-quoted" strings take the C escapes
// \n \r \t \\ \" \xHH. A VALUE is the rest of the line: true, false, an integer, a real, a
// "string", or a list [v, v, ...] of such values. The commands are in tools/Commands.h; see
// docs/scenarios.md for what each does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/PropertyList.h"

namespace harbrite::sim {

struct CommandSpec;

struct Command {
  const CommandSpec* entry = nullptr;  // its entry in the command table
  std::size_t nameWords = 1;           // how many of the words name the command
  std::string file;
  int line = 0;
  std::string text;                // the line as written, without its comment
  std::vector<std::string> words;  // words and unquoted strings, in order
  host::Value value;               // the VALUE, for the commands that take one
  bool absent = false;             // a check's operand is the bare word absent, not a "string"
  std::int64_t nanoseconds = 0;    // the DURATION of wait

  // The operands: the words after the command's name.
  std::size_t operandCount() const { return words.size() - nameWords; }
  const std::string& operand(std::size_t i) const { return words.at(nameWords + i); }
};

struct Scenario {
  std::string file;
  std::vector<Command> commands;
};

// Input as an error message shows it: at most `limit` bytes of it, in quotes, with whatever is
// not printable (control characters, NUL, a byte-order mark, bytes that are not UTF-8) written as
// \xHH escapes, and "..." with the whole length when it was cut.
std::string quoteInput(std::string_view bytes, std::size_t limit = 60);
// The same escapes, without quotes: for a file name at the head of an error line.
std::string escapeInput(std::string_view bytes, std::size_t limit = 200);
// The same escapes, whole: for a line of output that may carry input (a command as written, an
// application's identifier, a check's text), so that nothing from input reaches the terminal
// with a control character in it.
std::string escapeOutput(std::string_view text);
// An error message that may carry input (a device path, a jbroot prefix) escaped, with every
// word of it (a run of bytes without a space) shown to at most 60 bytes, then "..." and its
// whole length, as quoteInput shows input.
std::string escapeMessage(std::string_view message);

// A scenario that cannot be played: names the file and line.
class ScenarioError : public std::runtime_error {
 public:
  ScenarioError(const std::string& file, int line, const std::string& message)
      : std::runtime_error(escapeInput(file) + ":" + std::to_string(line) + ": " + message) {}
};

// Parses and checks the whole scenario before anything runs, through the command table: unknown
// commands, malformed values, unknown functions to call, set-up after boot, and checks or events
// whose subject does not exist yet are errors.
Scenario parseScenario(const std::string& file, const std::string& text);

// The simulated clock's limits: one week for a wait, one year for the waits of a whole run, far
// from where nanoseconds overflow.
inline constexpr std::int64_t kLongestWait = std::int64_t{7} * 24 * 3600 * 1'000'000'000;
inline constexpr std::int64_t kLongestRun = std::int64_t{365} * 24 * 3600 * 1'000'000'000;
// The most restarts (`respring`, `reboot`) one scenario may hold: each is a new simulated
// process, so a scenario cannot keep a machine busy starting processes for ever.
inline constexpr int kMostRestarts = 1000;

// A DURATION: a number and a unit, 800ms or 1.5s, of at most a week.
std::int64_t parseDuration(const std::string& word);

// Parses a VALUE on its own (used by `harbrite-sim settings set`).
host::Value parseValue(const std::string& text);

// How a value is written in a scenario: true, 42, 1.5, "text", [a, b].
std::string formatValue(const host::Value& value);
// Bytes written as a scenario string, with \xHH escapes for what is not printable (the same
// rules as quoteInput), so that the string reads back as the same bytes.
std::string quoteBytes(const std::string& bytes);

}  // namespace harbrite::sim
