// The simulated process, and _NSGetExecutablePath, which answers from its facts.
#include "hostsim/Process.h"

#include <cstring>
#include <string>

#include "host/Platform.h"
#include "hostsim/Objects.h"
#include "hostsim/Timeline.h"

namespace hostsim {

namespace {

SimulatedProcess* running = nullptr;

SimulatedProcess& driversOwn() {
  // Lives until the program ends; the classes the driver defined before it stay known.
  static auto* own = new SimulatedProcess(SimulatedProcess::Classes::Kept);
  return *own;
}

}  // namespace

SimulatedProcess::SimulatedProcess(Classes classes) {
  if (classes == Classes::Fresh) resetRuntime();
}

SimulatedProcess::~SimulatedProcess() {
  if (running == this) running = nullptr;
  // The last part made goes first: a later part may hold objects of an earlier one's classes.
  while (!parts_.empty()) parts_.pop_back();
}

SimulatedProcess& currentProcess() {
  return running != nullptr ? *running : driversOwn();
}

void setCurrentProcess(SimulatedProcess* process) {
  running = process;
}

void processCrashed(const std::string& what) {
  const std::string report = process().processName + " crashed: " + what;
  timeline("crash", report, {{"process", process().processName}});
  std::optional<std::string>& crash = currentProcess().crash;
  if (!crash) crash = report;
}

std::optional<std::string> takeCrash() {
  std::optional<std::string> report;
  report.swap(currentProcess().crash);
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
