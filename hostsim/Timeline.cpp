#include "hostsim/Timeline.h"

#include <atomic>
#include <utility>

#include "hostsim/MainQueue.h"

namespace hostsim {

namespace {
struct Stream {
  std::function<void(const TimelineEvent&)> sink;
  std::atomic<std::uint64_t> count = 0;  // the loader reports from any thread
};
Stream& stream() {
  static auto* s = new Stream;
  return *s;
}
}  // namespace

const TimelineValue* TimelineEvent::detail(std::string_view key) const {
  for (const auto& [name, value] : details) {
    if (name == key) return &value;
  }
  return nullptr;
}

std::string TimelineEvent::detailText(std::string_view key) const {
  const TimelineValue* value = detail(key);
  const std::string* text = value != nullptr ? std::get_if<std::string>(value) : nullptr;
  return text != nullptr ? *text : std::string();
}

bool TimelineEvent::detailFlag(std::string_view key) const {
  const TimelineValue* value = detail(key);
  const bool* flag = value != nullptr ? std::get_if<bool>(value) : nullptr;
  return flag != nullptr && *flag;
}

std::int64_t TimelineEvent::detailNumber(std::string_view key, std::int64_t otherwise) const {
  const TimelineValue* value = detail(key);
  const std::int64_t* number = value != nullptr ? std::get_if<std::int64_t>(value) : nullptr;
  return number != nullptr ? *number : otherwise;
}

void setTimelineSink(std::function<void(const TimelineEvent&)> sink) {
  stream().sink = std::move(sink);
}

bool timelineActive() {
  return static_cast<bool>(stream().sink);
}

std::uint64_t timelineCount() {
  return stream().count;
}

void timeline(std::string kind, std::string text, TimelineDetails details) {
  Stream& s = stream();
  ++s.count;
  if (!s.sink) return;
  TimelineEvent event;
  event.time = MainQueue::shared().now();
  event.kind = std::move(kind);
  event.text = std::move(text);
  event.details = std::move(details);
  s.sink(event);
}

}  // namespace hostsim
