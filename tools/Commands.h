// The scenario language's commands, as one table. Each entry says how the command is written,
// when it may come, how its words are checked before anything runs and what it does when
// played. The parser and the player read only this table, and docs/scenarios.md has one row for
// each entry (a test keeps the two in step): a new command is one entry here and one row there.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

namespace hostsim {
class Device;
class SettingsApp;
}  // namespace hostsim

namespace harbrite::sim {

struct Command;

// When a command may come.
enum class Phase {
  SetUp,    // describes the device: before boot
  AnyTime,  // acts on the device's files, before or after boot
  Event,    // something happens on the device
  Check,    // compares the device with what the scenario expects
};

// How the words after a command's name are read.
enum class Operands {
  Words,             // words and "quoted" strings
  KeyValue,          // a KEY, then a VALUE that is the rest of the line
  KeyValueOrAbsent,  // a KEY, then a VALUE or the bare word absent
  WordOrAbsent,      // one word or "string"; the bare word absent sets Command::absent
};

// What the parser knows of the scenario up to the line it reads.
struct ParseState {
  bool booted = false;
  bool anyFileCommand = false;
  std::set<std::string> apps;
  std::set<std::string> modules;
  bool modulesDeclared = false;
  std::int64_t waited = 0;  // the simulated time the waits so far add up to
  int restarts = 0;         // the respring and reboot commands so far
};

// What a command acts on while the scenario plays; the player provides it.
class Play {
 public:
  virtual hostsim::Device& device() = 0;
  // The Settings app, started (and the device laid out) on first use.
  virtual hostsim::SettingsApp& settings() = 0;
  // A check's outcome. `expected` and `actual` describe the subject as a user reads it.
  virtual void checked(const Command& command, bool passed, const std::string& expected,
                       const std::string& actual) = 0;
  // What a called function answered.
  virtual void answered(const Command& command, const std::string& answer) = 0;
  // SpringBoard restarts (`reboot` false) or the whole device does (`reboot` true): the
  // simulated processes end, and the commands that follow run in new ones.
  virtual void restart(const Command& command, bool reboot) = 0;

 protected:
  ~Play() = default;
};

struct CommandSpec {
  const char* name;      // the words that name it: "boot", "prefs set", "expect vpn"
  const char* operands;  // how the rest is written: "KEY VALUE", "on|off" ("" for nothing)
  Phase phase;
  bool needsBoot;  // events and checks whose subject exists only once the device has booted
  Operands form;
  std::size_t least, most;  // how many operand words (a VALUE counts as one)
  // Checks the operands further before anything runs and notes what later lines may rely on;
  // throws std::invalid_argument with the message. May be null.
  void (*validate)(Command& command, ParseState& state);
  void (*act)(const Command& command, Play& play);

  // As the docs and usage messages write it: name and operands.
  std::string syntax() const;
};

const std::vector<CommandSpec>& commandTable();

}  // namespace harbrite::sim
