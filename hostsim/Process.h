// Facts about the simulated process (Process.cpp, MainBundle.cpp) and the records its services
// keep: Darwin notifications posted (DarwinNotify.cpp), system-log lines (SystemLog.cpp), the
// in-process notification centre's observations (NotificationCenter.cpp).
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
