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

// A message the receiver does not answer ends the simulated process that sent it, as an
// unrecognised selector ends a process on a device: the timeline says which message, and the
// driver (harbrite-sim, a test) takes the report and stops. `what` describes the message.
void processCrashed(const std::string& what);
// The report of the crash since the last call, if any.
std::optional<std::string> takeCrash();

// Forgets the in-process notification centre's observations (a new boot).
void resetNotificationCenter();
std::size_t observationCount();

}  // namespace hostsim
