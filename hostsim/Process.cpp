// The simulated process's own facts, and _NSGetExecutablePath, which answers from them.
#include "hostsim/Process.h"

#include <cstring>
#include <string>

#include "host/Platform.h"
#include "hostsim/Timeline.h"

namespace hostsim {

ProcessFacts& process() {
  static auto* facts = new ProcessFacts;
  return *facts;
}

namespace {
std::optional<std::string>& crash() {
  static auto* report = new std::optional<std::string>;
  return *report;
}
}  // namespace

void processCrashed(const std::string& what) {
  const std::string report = process().processName + " crashed: " + what;
  timeline("crash", report, {{"process", process().processName}});
  if (!crash()) crash() = report;
}

std::optional<std::string> takeCrash() {
  std::optional<std::string> report;
  report.swap(crash());
  return report;
}

}  // namespace hostsim

namespace host {

int NSGetExecutablePath(char* buffer, std::uint32_t* size) {
  const std::string& path = hostsim::process().executablePath;
  if (size == nullptr) return -1;
  if (buffer == nullptr || path.size() + 1 > *size) {
    *size = static_cast<std::uint32_t>(path.size() + 1);
    return -1;
  }
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return 0;
}

}  // namespace host
