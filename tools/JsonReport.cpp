#include "tools/JsonReport.h"

#include <nlohmann/json.hpp>

namespace harbrite::sim {

namespace {

using json = nlohmann::ordered_json;

// Times in seconds, exact to the nanosecond the clock counts.
double seconds(std::int64_t nanoseconds) {
  return static_cast<double>(nanoseconds) / 1e9;
}

const char* recordName(Record record) {
  switch (record) {
    case Record::On:
      return "on";
    case Record::Off:
      return "off";
    case Record::NoLine:
      return "none";
    case Record::Absent:
      break;
  }
  return "absent";
}

json detailValue(const hostsim::TimelineValue& value) {
  return std::visit([](const auto& v) { return json(v); }, value);
}

}  // namespace

std::string jsonReport(const RunRecord& record) {
  json events = json::array();
  for (const hostsim::TimelineEvent& e : record.events) {
    json event = {{"time", seconds(e.time)}, {"kind", e.kind}, {"text", e.text}};
    for (const auto& [name, value] : e.details) {
      if (!event.contains(name)) event[name] = detailValue(value);
    }
    events.push_back(std::move(event));
  }
  json states = json::array();
  for (const Moment& m : record.moments) {
    json state = {{"time", seconds(m.time)},
                  {"front", m.front.empty() ? json(nullptr) : json(m.front)},
                  {"enabled", m.enabled},
                  {"vpn", m.vpn},
                  {"record", recordName(m.record)}};
    states.push_back(std::move(state));
  }
  json windows = json::array();
  for (const ExposureWindow& w : record.exposure.windows) {
    windows.push_back({{"from", seconds(w.from)}, {"to", seconds(w.to)}, {"app", w.app}});
  }
  json report = {
      {"scenario", record.scenario},
      {"end", seconds(record.end)},
      {"events", std::move(events)},
      {"states", std::move(states)},
      {"summary",
       {{"checks", record.checks},
        {"failed", record.failed},
        {"exposure", {{"seconds", seconds(record.exposure.nanoseconds)}, {"windows", windows}}}}},
  };
  if (record.stopped) {
    report["summary"]["stopped"] = {{"file", record.stopped->file},
                                    {"line", record.stopped->line},
                                    {"reason", record.stopped->reason}};
  }
  // Text from scenarios and devices is untrusted: bytes that are not UTF-8 are replaced rather
  // than refused.
  return report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace harbrite::sim
