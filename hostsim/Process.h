// The simulated process: everything one process owns while it runs (its facts, its main queue,
// its in-process notification centre, the crash that ended it, and each host's own state in it),
// in one object. A boot creates SpringBoard's and the device's end or the next device's boot
// destroys it whole, so nothing of one process is left for the next to clear. Before any boot,
// and once the booted device has gone, a process with nothing in it runs (the driver's own).
//
// Records the device keeps across its processes live elsewhere: Darwin notifications posted
// (DarwinNotify.cpp) and system-log lines (SystemLog.cpp).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/Runtime.h"
#include "hostsim/MainQueue.h"

namespace hostsim {

struct ProcessFacts {
  std::string executablePath = "/System/Library/CoreServices/SpringBoard.app/SpringBoard";
  std::string processName = "SpringBoard";
  bool hasMainBundle = true;
  std::optional<std::string> bundleIdentifier = "com.apple.springboard";
};

// A host's own state in a process (SpringBoard's objects, the device's watch over the queue):
// made on first use, destroyed with the process, the last made first.
struct ProcessPart {
  virtual ~ProcessPart() = default;
};

class SimulatedProcess {
 public:
  // Fresh: the classes this process defines are its own, and a name an earlier process in this
  // program used is taken afresh (a boot). Kept: the names known stay (the driver's own process).
  enum class Classes { Fresh, Kept };
  explicit SimulatedProcess(Classes classes = Classes::Fresh);
  ~SimulatedProcess();
  SimulatedProcess(const SimulatedProcess&) = delete;
  SimulatedProcess& operator=(const SimulatedProcess&) = delete;

  ProcessFacts facts;
  MainQueue mainQueue;
  // An observation of the in-process notification centre. The observer is not retained, as
  // NSNotificationCenter does not retain observers.
  struct Observation {
    host::id observer;
    host::SEL selector;
    std::string name;
    host::id object;
  };
  std::vector<Observation> observations;
  // What ended the process, until the driver takes it.
  std::optional<std::string> crash;

  // The part of type P, made on first use. Main thread only.
  template <class P>
  P& part() {
    static const char key = 0;
    for (auto& [k, p] : parts_) {
      if (k == &key) return static_cast<P&>(*p);
    }
    parts_.emplace_back(&key, std::make_unique<P>());
    return static_cast<P&>(*parts_.back().second);
  }

 private:
  std::vector<std::pair<const char*, std::unique_ptr<ProcessPart>>> parts_;
};

// The process running now: the booted device's, or the driver's own before any boot.
SimulatedProcess& currentProcess();
// Makes `process` the running one; null: the driver's own again.
void setCurrentProcess(SimulatedProcess* process);

// The running process's facts.
inline ProcessFacts& process() {
  return currentProcess().facts;
}

std::vector<std::string>& darwinNotificationsPosted();
std::vector<std::string>& systemLogLines();

// A message the receiver does not answer ends the simulated process that sent it, as an
// unrecognised selector ends a process on a device: the timeline says which message, and the
// driver (harbrite-sim, a test) takes the report and stops. `what` describes the message.
void processCrashed(const std::string& what);
// The report of the crash since the last call, if any.
std::optional<std::string> takeCrash();

std::size_t observationCount();

}  // namespace hostsim
