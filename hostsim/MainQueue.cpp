#include "hostsim/MainQueue.h"

#include <chrono>
#include <map>
#include <thread>
#include <utility>

#include "host/Platform.h"
#include "hostsim/Process.h"

namespace hostsim {

MainQueue& MainQueue::shared() {
  return currentProcess().mainQueue;
}

void MainQueue::schedule(std::int64_t delayNanoseconds, std::function<void()> work) {
  if (delayNanoseconds < 0) delayNanoseconds = 0;
  // The clock never overflows: work due beyond its end is due at its end.
  if (delayNanoseconds > kEndOfTime - now_) delayNanoseconds = kEndOfTime - now_;
  if (watcher_) work = watcher_(delayNanoseconds, std::move(work));
  items_.emplace(std::make_pair(now_ + delayNanoseconds, sequence_++), std::move(work));
}

void MainQueue::advance(std::int64_t nanoseconds) {
  if (nanoseconds < 0) nanoseconds = 0;
  const std::int64_t end = nanoseconds > kEndOfTime - now_ ? kEndOfTime : now_ + nanoseconds;
  auto& queue = items_;
  while (!queue.empty() && queue.begin()->first.first <= end) {
    auto node = queue.extract(queue.begin());
    if (realTime_ && node.key().first > now_) {
      std::this_thread::sleep_for(std::chrono::nanoseconds(node.key().first - now_));
    }
    now_ = node.key().first;
    // Each piece of work runs in a pool of its own, as a run loop's turn does.
    host::AutoreleasePool pool;
    node.mapped()();
  }
  if (realTime_ && end > now_) std::this_thread::sleep_for(std::chrono::nanoseconds(end - now_));
  now_ = end;
}

}  // namespace hostsim

namespace host {

void dispatchAfterOnMainQueue(std::int64_t delayNanoseconds, std::function<void()> work) {
  hostsim::MainQueue::shared().schedule(delayNanoseconds, std::move(work));
}

}  // namespace host
