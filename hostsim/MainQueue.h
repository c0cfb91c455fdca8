// The simulated main queue and its clock. The driver owns the clock: virtual by default, so
// delays are exact and tests never sleep; wall-clock on request for a live demo.
#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <utility>

namespace hostsim {

class MainQueue {
 public:
  static MainQueue& shared();

  // The clock stops here rather than overflow (some 292 years of nanoseconds).
  static constexpr std::int64_t kEndOfTime = INT64_MAX;

  std::int64_t now() const { return now_; }
  void schedule(std::int64_t delayNanoseconds, std::function<void()> work);
  // Lets `nanoseconds` pass: runs, in order of due time (then of scheduling), every piece of
  // work due at or before the end, including work scheduled meanwhile.
  void advance(std::int64_t nanoseconds);
  std::size_t pending() const;
  // Drops all pending work and sets the clock back to zero (a new boot).
  void reset();
  void setRealTime(bool realTime) { realTime_ = realTime; }

  // Lets the device watch the work queued with a delay: the watcher sees each piece as it is
  // queued and hands back what runs in its place (the work itself, wrapped as it likes). Null:
  // work runs as queued.
  using Watcher = std::function<std::function<void()>(std::int64_t delayNanoseconds,
                                                      std::function<void()> work)>;
  void setWatcher(Watcher watcher) { watcher_ = std::move(watcher); }

 private:
  struct Item;
  std::int64_t now_ = 0;
  std::uint64_t sequence_ = 0;
  bool realTime_ = false;
  Watcher watcher_;
};

}  // namespace hostsim
