#include "tools/RunRecord.h"

#include <utility>

namespace harbrite::sim {

namespace {

std::string clock(std::int64_t nanoseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%8.3fs", static_cast<double>(nanoseconds) / 1e9);
  return text;
}

hostsim::TimelineDetails where(const Command& c) {
  return {{"file", c.file}, {"line", std::int64_t{c.line}}};
}

}  // namespace

std::string formatNumber(std::int64_t nanoseconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(nanoseconds) / 1e9);
  std::string s = text;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

std::string formatSeconds(std::int64_t nanoseconds) {
  constexpr std::int64_t kMinute = 60'000'000'000;
  if (nanoseconds < kMinute) return formatNumber(nanoseconds) + " s";
  const std::int64_t minutes = nanoseconds / kMinute;
  const std::int64_t rest = nanoseconds - minutes * kMinute;
  return std::to_string(minutes) + " min" + (rest == 0 ? "" : " " + formatNumber(rest) + " s");
}

RunRecorder::RunRecorder(std::string scenario, std::FILE* text, bool quiet, Probe probe,
                         std::int64_t start)
    : text_(text), quiet_(quiet), probe_(std::move(probe)), lastNow_(start), offset_(-start) {
  record_.scenario = std::move(scenario);
}

std::int64_t RunRecorder::timeOf(std::int64_t now) {
  if (now < lastNow_) offset_ += lastNow_ - now;  // the clock started again at boot
  lastNow_ = now;
  return offset_ + now;
}

void RunRecorder::add(hostsim::TimelineEvent e) {
  if (text_ != nullptr) {
    if (e.kind == "check" && !e.detailFlag("passed")) {
      std::fprintf(text_, "%s:%lld: %s\n", escapeInput(e.detailText("file")).c_str(),
                   static_cast<long long>(e.detailNumber("line", 0)), escapeOutput(e.text).c_str());
    } else if (quiet_ || e.kind == "error") {
      // Errors go to the player's error stream.
    } else if (e.kind == "command") {
      std::fprintf(text_, "%s   > %s\n", clock(e.time).c_str(), escapeOutput(e.text).c_str());
    } else {
      std::fprintf(text_, "%s     %s\n", clock(e.time).c_str(), escapeOutput(e.text).c_str());
    }
  }
  record_.events.push_back(std::move(e));
}

void RunRecorder::sample(std::int64_t time) {
  std::optional<Moment> now = probe_ ? probe_() : std::nullopt;
  if (!now) return;
  now->time = time;
  auto& moments = record_.moments;
  if (!moments.empty()) {
    Moment last = moments.back();
    last.time = time;
    if (last == *now) return;
    // Several changes at one instant: only the last state lasts.
    if (moments.back().time == time) {
      moments.back() = *now;
      if (moments.size() > 1) {
        Moment before = moments[moments.size() - 2];
        before.time = time;
        if (before == *now) moments.pop_back();
      }
      return;
    }
  }
  moments.push_back(*now);
}

void RunRecorder::command(const Command& c, std::int64_t now) {
  const std::int64_t time = timeOf(now);
  add({time, "command", c.text, where(c)});
  sample(time);
}

void RunRecorder::event(const hostsim::TimelineEvent& e) {
  hostsim::TimelineEvent copy = e;
  copy.time = timeOf(e.time);
  const std::int64_t time = copy.time;
  add(std::move(copy));
  sample(time);
}

void RunRecorder::check(const Command& c, std::int64_t now, bool passed,
                        const std::string& expected, const std::string& actual) {
  ++record_.checks;
  if (!passed) ++record_.failed;
  hostsim::TimelineDetails details = where(c);
  details.emplace_back("command", c.text);
  details.emplace_back("passed", passed);
  details.emplace_back("expected", expected);
  details.emplace_back("actual", actual);
  // A passed check as written, without its "expect": what was found is what it says.
  add({timeOf(now), "check",
       passed ? "ok: " + c.text.substr(c.text.find(' ') + 1)
              : "check failed: expected " + expected + ", got " + actual,
       std::move(details)});
  if (text_ != nullptr && !passed) std::fflush(text_);
}

void RunRecorder::answered(const Command& c, std::int64_t now, const std::string& text) {
  add({timeOf(now), "answer", text, where(c)});
}

void RunRecorder::stopped(const Command& c, std::int64_t now, const std::string& why) {
  add({timeOf(now), "error", "could not run: " + why, where(c)});
  record_.stopped = RunRecord::Stop{c.file, c.line, why};
  if (text_ != nullptr) std::fflush(text_);
}

void RunRecorder::finish(std::int64_t now) {
  const std::int64_t time = timeOf(now);
  sample(time);
  record_.end = time;
  // The exposure counts from boot: the moments begin there.
  record_.exposure = measureExposure(record_.moments, time);
  if (text_ != nullptr) {
    std::fprintf(text_, "%s", summaryText(record_).c_str());
    std::fflush(text_);
  }
}

std::string countOf(int n, const char* one, const char* many) {
  return (n == 0 ? std::string("no") : std::to_string(n)) + " " + (n == 1 ? one : many);
}

std::string summaryText(const RunRecord& record) {
  std::string out;
  if (record.stopped) {
    out += "run stopped at " + escapeInput(record.stopped->file) + ":" +
           std::to_string(record.stopped->line) +
           ": could not run: " + escapeOutput(record.stopped->reason) + "\n";
  }
  const std::string checks = countOf(record.checks, "check", "checks");
  const std::string before = record.stopped ? " before it stopped" : "";
  if (record.failed > 0) {
    out += countOf(record.failed, "check", "checks") + " of " + std::to_string(record.checks) +
           " failed" + before + "\n";
  } else if (record.checks == 0) {
    out += checks + " run" + before + "\n";
  } else {
    out += (record.checks == 1 ? "the check passed" : "all " + checks + " passed") + before + "\n";
  }
  const Exposure& e = record.exposure;
  out += "exposure: " + formatSeconds(e.nanoseconds);
  if (!e.windows.empty()) {
    out += " in " + std::to_string(e.windows.size()) +
           (e.windows.size() == 1 ? " window:" : " windows:");
    constexpr std::size_t kShown = 5;
    for (std::size_t i = 0; i < e.windows.size() && i < kShown; ++i) {
      const ExposureWindow& w = e.windows[i];
      out += (i == 0 ? " " : ", ") + escapeOutput(w.app) + " " + formatNumber(w.from) + "-" +
             formatNumber(w.to) + " s";
    }
    if (e.windows.size() > kShown) {
      out += ", and " + std::to_string(e.windows.size() - kShown) + " more";
    }
  }
  out += "\n";
  return out;
}

}  // namespace harbrite::sim
