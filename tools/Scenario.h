// Scenarios: what harbrite-sim plays on a simulated device. One command a line; "#" starts a
// comment; words are split on spaces; "double-quoted" strings take the C escapes
// \n \r \t \\ \" \xHH. A VALUE is the rest of the line: true, false, an integer, a real, a
// "string", or a list [v, v, ...] of such values. See docs/scenarios.md for every command.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/PropertyList.h"

namespace harbrite::sim {

struct Command {
  std::string file;
  int line = 0;
  std::string text;                // the line as written, without its comment
  std::vector<std::string> words;  // words and unquoted strings, in order
  host::Value value;               // the VALUE, for the commands that take one
  bool absent = false;             // a check's operand is the bare word absent, not a "string"
  std::int64_t nanoseconds = 0;    // the DURATION of wait
};

struct Scenario {
  std::string file;
  std::vector<Command> commands;
};

// A scenario that cannot be played: names the file and line.
class ScenarioError : public std::runtime_error {
 public:
  ScenarioError(const std::string& file, int line, const std::string& message)
      : std::runtime_error(file + ":" + std::to_string(line) + ": " + message) {}
};

// Parses and checks the whole scenario before anything runs: unknown commands, malformed values,
// set-up after boot, and checks or events whose subject does not exist yet are errors.
Scenario parseScenario(const std::string& file, const std::string& text);

// Parses a VALUE on its own (used by `harbrite-sim settings set`).
host::Value parseValue(const std::string& text);

// How a value is written in a scenario: true, 42, 1.5, "text", [a, b].
std::string formatValue(const host::Value& value);
// Bytes written as a scenario string, with escapes for what is not printable.
std::string quoteBytes(const std::string& bytes);

}  // namespace harbrite::sim
