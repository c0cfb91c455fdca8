// The simulated main queue and its clock. The driver owns the clock: virtual by default, so
// delays are exact and tests never sleep; wall-clock on request for a live demo.
#pragma once

#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>

namespace hostsim {

// Each simulated process has one (hostsim/Process.h); its clock starts at zero when the process
// starts.
class MainQueue {
 public:
  // The running process's main queue.
  static MainQueue& shared();

  // The clock stops here rather than overflow (some 292 years of nanoseconds).
  static constexpr std::int64_t kEndOfTime = INT64_MAX;

  std::int64_t now() const { return now_; }
  void schedule(std::int64_t delayNanoseconds, std::function<void()> work);
  // Lets `nanoseconds` pass: runs, in order of due time (then of scheduling), every piece of
  // work due at or before the end, including work scheduled meanwhile.
  void advance(std::int64_t nanoseconds);
  std::size_t pending() const { return items_.size(); }
  // Every process's clock follows the wall clock from now on (a live demo), or not.
  static void setRealTime(bool realTime) { realTime_.store(realTime); }

  // Lets the device watch the work queued with a delay: the watcher sees each piece as it is
  // queued and hands back what runs in its place (the work itself, wrapped as it likes). Null:
  // work runs as queued.
  using Watcher = std::function<std::function<void()>(std::int64_t delayNanoseconds,
                                                      std::function<void()> work)>;
  void setWatcher(Watcher watcher) { watcher_ = std::move(watcher); }

 private:
  std::int64_t now_ = 0;
  std::uint64_t sequence_ = 0;
  // Keyed by (due time, order of scheduling).
  std::map<std::pair<std::int64_t, std::uint64_t>, std::function<void()>> items_;
  Watcher watcher_;
  static inline std::atomic<bool> realTime_{false};
};

}  // namespace hostsim
