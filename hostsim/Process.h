// Facts about the simulated process and the records its services keep: the executable's path,
// the main bundle, Darwin notifications posted, system-log lines.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace hostsim {

struct ProcessFacts {
  std::string executablePath = "/System/Library/CoreServices/SpringBoard.app/SpringBoard";
  std::string processName = "SpringBoard";
  bool hasMainBundle = true;
  std::optional<std::string> bundleIdentifier = "com.apple.springboard";
};
ProcessFacts& process();

std::vector<std::string>& darwinNotificationsPosted();
std::vector<std::string>& systemLogLines();

// Forgets the in-process notification centre's observations (a new boot).
void resetNotificationCenter();
std::size_t observationCount();

}  // namespace hostsim
