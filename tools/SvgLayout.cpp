// The page is 1200 units wide whatever the run's length: the time axis picks its step so that
// about ten ticks show, and every label is measured against the room it has and shortened or left
// out (a tooltip always carries the whole text).
#include "tools/SvgLayout.h"

#include <algorithm>
#include <initializer_list>
#include <map>
#include <utility>

namespace harbrite::sim::picture {

namespace {

constexpr double kWidth = 1200;
constexpr double kLeft = 132;  // lane names
constexpr double kRight = 28;
constexpr double kPlot = kWidth - kLeft - kRight;
constexpr double kFontSize = 12;
constexpr double kSmallFont = 10.5;
constexpr double kTitleFont = 15;
constexpr double kAdvance = 0.62;  // of the font size, per character

// The first of the candidates that fits the width, or "".
std::string fit(const std::vector<std::string>& candidates, double width, double size) {
  for (const std::string& c : candidates) {
    if (!c.empty() && textWidth(c, size) <= width) return c;
  }
  return "";
}

Label small(std::string text, double x, double y, Label::Anchor anchor = Label::Anchor::Start) {
  return {std::move(text), x, y, kSmallFont, anchor};
}

// The last component of a dotted name: "bank" for com.example.bank.
std::string shortName(const std::string& app) {
  const std::size_t dot = app.rfind('.');
  return dot != std::string::npos && dot + 1 < app.size() ? app.substr(dot + 1) : app;
}

// An application's identifier, then shorter ways of writing it: its last component, then that
// component cut short.
std::vector<std::string> appNames(const std::string& app) {
  std::vector<std::string> names{app};
  const std::string last = shortName(app);
  if (last != app) names.push_back(last);
  for (std::size_t keep = last.size(); keep-- > 3;) {
    names.push_back(last.substr(0, keep) + "\xE2\x80\xA6");
  }
  return names;
}

struct Scale {
  std::int64_t end;
  double x(std::int64_t t) const {
    return kLeft + kPlot * static_cast<double>(t) / static_cast<double>(end);
  }
};

// A stretch of one lane.
struct Stretch {
  std::int64_t from, to;
  const Moment* moment;
};

// The moments as stretches that differ in what `same` compares. The last runs to `end`.
template <class Same>
std::vector<Stretch> stretches(const RunRecord& record, std::int64_t end, Same same) {
  std::vector<Stretch> out;
  for (std::size_t i = 0; i < record.moments.size(); ++i) {
    const Moment& m = record.moments[i];
    const std::int64_t to = i + 1 < record.moments.size() ? record.moments[i + 1].time : end;
    if (!out.empty() && same(*out.back().moment, m)) {
      out.back().to = to;
    } else {
      out.push_back({m.time, to, &m});
    }
  }
  return out;
}

bool sameFront(const Moment& a, const Moment& b) {
  return a.front == b.front && a.enabled == b.enabled;
}
bool sameVPN(const Moment& a, const Moment& b) {
  return a.vpn == b.vpn;
}
bool sameRecord(const Moment& a, const Moment& b) {
  return a.record == b.record;
}

std::string span(std::int64_t from, std::int64_t to) {
  return formatNumber(from) + "\xE2\x80\x93" + formatNumber(to) + " s";
}

// A tick step of 1, 2 or 5 times a power of ten seconds, or whole minutes, giving about ten
// ticks over the run.
std::int64_t tickStep(std::int64_t end) {
  static constexpr std::array<std::int64_t, 30> kSteps = {
      1'000'000,           2'000'000,          5'000'000,          10'000'000,
      20'000'000,          50'000'000,         100'000'000,        200'000'000,
      500'000'000,         1'000'000'000,      2'000'000'000,      5'000'000'000,
      10'000'000'000,      15'000'000'000,     30'000'000'000,     60'000'000'000,
      120'000'000'000,     300'000'000'000,    600'000'000'000,    900'000'000'000,
      1'800'000'000'000,   3'600'000'000'000,  7'200'000'000'000,  10'800'000'000'000,
      21'600'000'000'000,  43'200'000'000'000, 86'400'000'000'000, 172'800'000'000'000,
      432'000'000'000'000, 864'000'000'000'000};
  for (std::int64_t step : kSteps) {
    if (end / step <= 10) return step;
  }
  return end / 10;
}

std::string tickLabel(std::int64_t t, std::int64_t step) {
  constexpr std::int64_t kMinute = 60'000'000'000;
  if (step >= kMinute) return std::to_string(t / kMinute) + " min";
  if (t >= kMinute && t % kMinute == 0) return std::to_string(t / kMinute) + " min";
  return formatSeconds(t);
}

Heading heading(const RunRecord& record) {
  Heading h;
  h.title = {fit({record.scenario, shortName(record.scenario)}, kPlot, kTitleFont), kLeft, 28,
             kTitleFont};
  const Exposure& exposure = record.exposure;
  std::string checks = std::to_string(record.checks) + (record.checks == 1 ? " check" : " checks");
  checks += record.failed == 0 ? ", all passed" : ", " + std::to_string(record.failed) + " failed";
  // A run stopped by an error is no success, whatever its checks said before.
  h.success = record.failed == 0 && !record.stopped;
  if (record.stopped) {
    const std::string line = std::to_string(record.stopped->line);
    const std::string why = escapeOutput(record.stopped->reason);
    checks = fit({"stopped at line " + line + ": " + why + " (" + checks + " before)",
                  "stopped at line " + line + ": " + why, "stopped at line " + line},
                 kPlot / 2, kFontSize);
    h.stopped = "the run stopped at " + escapeInput(record.stopped->file) + ":" + line +
                ": could not run: " + why;
  }
  h.outcome = {checks, kLeft, 50};
  std::string exposed = "exposure " + formatSeconds(exposure.nanoseconds);
  if (!exposure.windows.empty()) {
    exposed += " in " + std::to_string(exposure.windows.size()) +
               (exposure.windows.size() == 1 ? " window" : " windows");
  }
  h.exposed = exposure.nanoseconds > 0;
  h.exposure = {exposed, h.outcome.right() + 24, 50};
  const double x = h.exposure.right() + 10;
  h.explanation = {fit({"(an enabled application in front while the VPN is not connected)"},
                       kWidth - kRight - x, kFontSize),
                   x, 50};
  return h;
}

// The front display, the VPN and the state file's record: a segment for each stretch (the VPN's
// only where it is connected), and a bar at the right edge for a change at the last instant.
void layOutStates(const RunRecord& record, const Scale& scale, Picture& p) {
  const std::int64_t end = scale.end;
  // A tooltip gives the time the run had (the axis runs on to 1 s for a run without time).
  auto until = [&](const Stretch& s) { return span(s.from, std::min(s.to, record.end)); };
  auto changeAtEnd = [&](Lane& lane, auto same, auto describe) {
    const std::vector<Stretch> all = stretches(record, end, same);
    if (all.size() < 2 || all.back().from != end || record.end == 0) return;
    lane.changeAtEnd = "at the end (" + formatSeconds(end) + "): " + describe(*all.back().moment);
  };

  Lane& front = p.lanes[Lane::Front];
  const double middle = front.y + front.height / 2;
  for (const Stretch& s : stretches(record, end, sameFront)) {
    const double x = scale.x(s.from), width = scale.x(s.to) - x;
    const Moment& m = *s.moment;
    Segment segment{Segment::Kind::HomeScreen, s.from, s.to, x, width, "", {}};
    if (m.front.empty()) {
      segment.tooltip = "home screen, " + until(s);
      segment.label = small(fit({"home screen", "home"}, width - 8, kSmallFont), x + 5, middle - 5);
    } else {
      const std::string app = escapeOutput(m.front);
      segment.kind = m.enabled ? Segment::Kind::EnabledApp : Segment::Kind::OtherApp;
      segment.tooltip = app + (m.enabled ? " (enabled)" : " (not enabled)") + ", " + until(s);
      // Enabled applications carry a dot before their name.
      segment.dot = m.enabled && width > 12;
      const double inset = m.enabled ? 16 : 6;
      segment.label = {fit(appNames(app), width - inset - 4, kFontSize), x + inset, middle + 4.2};
    }
    front.segments.push_back(std::move(segment));
  }
  changeAtEnd(front, sameFront, [](const Moment& m) {
    return m.front.empty() ? std::string("home screen") : escapeOutput(m.front) + " in front";
  });

  Lane& vpn = p.lanes[Lane::VPN];
  for (const Stretch& s : stretches(record, end, sameVPN)) {
    if (!s.moment->vpn) continue;
    const double x = scale.x(s.from), width = scale.x(s.to) - x;
    vpn.segments.push_back({Segment::Kind::Connected, s.from, s.to, x, width,
                            "VPN connected, " + until(s),
                            small(fit({"connected", "on"}, width - 10, kSmallFont), x + 6,
                                  vpn.y + vpn.height / 2 + 3.8)});
  }
  changeAtEnd(vpn, sameVPN, [](const Moment& m) {
    return std::string(m.vpn ? "VPN connected" : "VPN disconnected");
  });

  Lane& lane = p.lanes[Lane::Record];
  for (const Stretch& s : stretches(record, end, sameRecord)) {
    const double x = scale.x(s.from), width = scale.x(s.to) - x;
    std::vector<std::string> labels;
    Segment::Kind kind = Segment::Kind::NoFile;
    switch (s.moment->record) {
      case Record::On:
        labels = {"records VPN on", "on"};
        kind = Segment::Kind::RecordsOn;
        break;
      case Record::Off:
        labels = {"records VPN off", "off"};
        kind = Segment::Kind::RecordsOff;
        break;
      case Record::NoLine:
        labels = {"no VPN line (reads as off)", "no VPN line", "none"};
        kind = Segment::Kind::NoVPNLine;
        break;
      case Record::Absent:
        labels = {"no file"};
        break;
    }
    lane.segments.push_back(
        {kind, s.from, s.to, x, width, "feature state file: " + labels.front() + ", " + until(s),
         small(fit(labels, width - 10, kSmallFont), x + 6, lane.y + lane.height / 2 + 3.8)});
  }
  changeAtEnd(lane, sameRecord, [](const Moment& m) {
    return std::string(m.record == Record::On       ? "records VPN on"
                       : m.record == Record::Off    ? "records VPN off"
                       : m.record == Record::NoLine ? "no VPN line"
                                                    : "no file");
  });
}

void layOutExposure(const RunRecord& record, const Scale& scale, Lane& lane) {
  for (const ExposureWindow& w : record.exposure.windows) {
    const double x = scale.x(w.from), width = scale.x(w.to) - x;
    lane.segments.push_back(
        {Segment::Kind::Exposed, w.from, w.to, x, width,
         "exposed: " + escapeOutput(w.app) + ", " + span(w.from, w.to) + " (" +
             formatSeconds(w.to - w.from) + ")",
         small(fit({formatSeconds(w.to - w.from)}, width - 6, kSmallFont), x + width / 2,
               lane.y + lane.height / 2 + 3.8, Label::Anchor::Middle)});
  }
}

// Harbrite's delays: from the moment the engine queued its work to the moment it ran, with what
// came of it; then the work still queued when the run ended.
void layOutDelays(const RunRecord& record, const Scale& scale, Lane& lane) {
  struct Delay {
    std::int64_t from;
    std::string cause, text;
  };
  std::map<std::int64_t, Delay> open;
  auto number = [](const hostsim::TimelineEvent& e) { return e.detailNumber("work", -1); };
  const double baseline = lane.y + lane.height / 2 + 3.8;
  for (const hostsim::TimelineEvent& e : record.events) {
    if (e.kind == "delay") {
      open[number(e)] = {e.time, e.detailText("cause"), e.text};
      continue;
    }
    if (e.kind != "decision") continue;
    auto found = open.find(number(e));
    if (found == open.end()) continue;
    const Delay d = found->second;
    open.erase(found);
    const bool on = e.detailFlag("vpn");
    const bool anything = e.detailFlag("changed");
    const bool switched = e.detailFlag("switched");
    const std::string outcome = switched   ? (on ? "VPN on" : "VPN off")
                                : anything ? "VPN stays " + std::string(on ? "on" : "off")
                                           : "no change";
    const std::string what = d.cause == "front"  ? "settling"
                             : d.cause == "exit" ? "after exit"
                                                 : "delay";
    const double x = scale.x(d.from), width = std::max(scale.x(e.time) - x, 2.0);
    lane.segments.push_back(
        {switched ? Segment::Kind::DelaySwitched : Segment::Kind::Delay, d.from, e.time, x, width,
         formatSeconds(d.from) + ": " + escapeOutput(d.text) + "\n" + formatSeconds(e.time) + ": " +
             escapeOutput(e.text),
         small(fit({what + " \xE2\x86\x92 " + outcome, "\xE2\x86\x92 " + outcome,
                    switched ? (on ? "on" : "off") : ""},
                   width - 10, kSmallFont),
               x + 6, baseline)});
  }
  for (const auto& [n, d] : open) {
    const double x = scale.x(d.from);
    lane.segments.push_back(
        {Segment::Kind::StillQueued,
         d.from,
         record.end,
         x,
         scale.x(record.end) - x,
         formatSeconds(d.from) + ": " + escapeOutput(d.text) + " (still queued at the end)",
         {}});
  }
}

// The events a mark is drawn for, each with its ways of being labelled (the longest first).
struct Event {
  std::int64_t time;
  Marker::Kind kind;
  std::vector<std::string> labels;
  std::string tooltip;
  int count;
};

std::vector<Event> markedEvents(const RunRecord& record) {
  std::vector<Event> marked;
  for (const hostsim::TimelineEvent& e : record.events) {
    auto mark = [&](Marker::Kind kind, std::vector<std::string> labels) {
      marked.push_back({e.time, kind, std::move(labels),
                        formatSeconds(e.time) + ": " + escapeOutput(e.text), 1});
    };
    const std::string app = shortName(escapeOutput(e.detailText("app")));
    if (e.kind == "exit") {
      mark(Marker::Kind::Exit, {app + " exits", app});
    } else if (e.kind == "terminated") {
      mark(Marker::Kind::Terminated, {app + " terminated", app});
    } else if (e.kind == "user") {
      const std::string state = e.detailFlag("vpn") ? "on" : "off";
      mark(Marker::Kind::User, {"user: VPN " + state, "VPN " + state, state});
    } else if (e.kind == "pane") {
      const std::string key = e.detailText("key");
      mark(Marker::Kind::Pane, {key.empty() ? "settings: reset" : "settings: " + key, "settings"});
    } else if (e.kind == "engine") {
      mark(Marker::Kind::Engine, {"Harbrite inert", "inert"});
    } else if (e.kind == "restart") {
      mark(Marker::Kind::Restart,
           {e.detailText("restart") == "reboot" ? "reboot" : "respring", "restart"});
    }
  }
  // Events at one instant share one mark, which counts them and lists them all.
  std::vector<Event> grouped;
  for (Event& m : marked) {
    if (grouped.empty() || grouped.back().time != m.time) {
      grouped.push_back(std::move(m));
      continue;
    }
    Event& g = grouped.back();
    g.tooltip += "\n" + m.tooltip;
    if (g.kind != m.kind) g.kind = Marker::Kind::Mixed;
    ++g.count;
  }
  for (Event& g : grouped) {
    if (g.count == 1) continue;
    const std::string n = std::to_string(g.count);
    const std::string what = g.kind == Marker::Kind::Exit         ? " exits"
                             : g.kind == Marker::Kind::Terminated ? " terminated"
                             : g.kind == Marker::Kind::Pane       ? " settings changes"
                             : g.kind == Marker::Kind::User       ? " switches by hand"
                                                                  : " events";
    g.labels = {n + what + ": " + g.labels.back() + " \xE2\x80\xA6", n + what, "\xC3\x97" + n};
  }
  return grouped;
}

// Two rows: each mark goes in the row where the mark before it is farther away; its label takes
// the room up to the next mark of its row, or is left out.
std::vector<Marker> layOutMarks(const std::vector<Event>& events, const Scale& scale,
                                const Lane& lane) {
  const std::array<double, 2> rowY{lane.y + lane.height * 0.3, lane.y + lane.height * 0.72};
  std::array<double, 2> lastX{-1e9, -1e9};
  std::vector<Marker> marks;
  for (const Event& e : events) {
    const double x = scale.x(e.time);
    const int row = x - lastX[0] >= x - lastX[1] ? 0 : 1;
    lastX[static_cast<std::size_t>(row)] = x;
    marks.push_back(
        {e.kind, e.time, e.count, row, x, rowY[static_cast<std::size_t>(row)], e.tooltip, {}});
  }
  for (std::size_t i = 0; i < marks.size(); ++i) {
    Marker& m = marks[i];
    double next = kWidth - 2;
    for (std::size_t j = i + 1; j < marks.size(); ++j) {
      if (marks[j].row == m.row) {
        next = marks[j].x - 8;
        break;
      }
    }
    double previous = kLeft - 60;
    for (std::size_t j = i; j-- > 0;) {
      if (marks[j].row == m.row) {
        previous = marks[j].x + 40;
        break;
      }
    }
    // The label after the mark, or before it when the mark is at the right edge.
    const std::vector<std::string>& labels = events[i].labels;
    if (std::string after = fit(labels, next - (m.x + 9), kSmallFont); !after.empty()) {
      m.label = small(std::move(after), m.x + 9, m.y + 3.8);
    } else if (std::string before = fit(labels, m.x - 9 - previous, kSmallFont); !before.empty()) {
      m.label = small(std::move(before), m.x - 9, m.y + 3.8, Label::Anchor::End);
    }
  }
  return marks;
}

// A check within 14 units of a cluster's first joins it.
std::vector<CheckCluster> layOutChecks(const RunRecord& record, const Scale& scale,
                                       const Lane& lane) {
  const double cy = lane.y + lane.height / 2;
  std::vector<CheckCluster> clusters;
  std::vector<std::vector<std::string>> lines;
  for (const hostsim::TimelineEvent& e : record.events) {
    if (e.kind != "check") continue;
    const bool failed = !e.detailFlag("passed");
    const double x = scale.x(e.time);
    if (clusters.empty() || x - clusters.back().x > 14) {
      clusters.push_back({e.time, 0, 0, x, cy, "", {}});
      lines.emplace_back();
    }
    CheckCluster& c = clusters.back();
    ++c.count;
    if (failed) ++c.failed;
    // A failure is always listed; passes only while there is room.
    if (failed || lines.back().size() < 8) {
      lines.back().push_back(formatSeconds(e.time) + "  " + escapeOutput(e.detailText("command")) +
                             ": " + (failed ? escapeOutput(e.text) : "passed"));
    }
  }
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    CheckCluster& c = clusters[i];
    for (const std::string& line : lines[i]) c.tooltip += line + "\n";
    const int listed = static_cast<int>(lines[i].size());
    if (c.count > listed) c.tooltip += "and " + std::to_string(c.count - listed) + " more";
    if (c.count == 1) continue;
    // The count after the mark, or before it when the mark is at the right edge; how many
    // failed, when any did and there is room.
    const std::string n = "\xC3\x97" + std::to_string(c.count);
    const std::vector<std::string> labels =
        c.failed > 0
            ? std::vector<std::string>{n + ", " + std::to_string(c.failed) + " failed",
                                       n + " (" + std::to_string(c.failed) + " \xE2\x9C\x97)"}
            : std::vector<std::string>{n};
    const double next = i + 1 < clusters.size() ? clusters[i + 1].x : kWidth - 2;
    const double previous = i > 0 ? clusters[i - 1].x : kLeft - 60;
    if (std::string after = fit(labels, next - c.x - 16, kSmallFont); !after.empty()) {
      c.label = small(std::move(after), c.x + 8.5, cy + 3.8);
    } else if (std::string before = fit(labels, c.x - previous - 16, kSmallFont); !before.empty()) {
      c.label = small(std::move(before), c.x - 8.5, cy + 3.8, Label::Anchor::End);
    }
  }
  return clusters;
}

std::vector<LegendKey> legend(double y) {
  using Swatch = LegendKey::Swatch;
  std::vector<LegendKey> keys;
  double x = kLeft;
  for (const auto& [swatch, text] : std::initializer_list<std::pair<Swatch, const char*>>{
           {Swatch::EnabledApp, "enabled app"},
           {Swatch::OtherApp, "other app"},
           {Swatch::Connected, "VPN connected"},
           {Swatch::Exposed, "exposed"},
           {Swatch::Exit, "exit"},
           {Swatch::User, "user switch"},
           {Swatch::Pane, "settings change"},
           {Swatch::CheckPassed, "check passed"},
           {Swatch::CheckFailed, "check failed"}}) {
    keys.push_back({swatch, x, y, small(text, x + 16, y + 4)});
    x += 16 + textWidth(text, kSmallFont) + 18;
  }
  return keys;
}

}  // namespace

double textWidth(std::string_view text, double size) {
  std::size_t characters = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++characters;
  }
  return static_cast<double>(characters) * size * kAdvance;
}

double Label::left() const {
  const double w = textWidth(text, size);
  return anchor == Anchor::Start ? x : anchor == Anchor::Middle ? x - w / 2 : x - w;
}

double Label::right() const {
  return left() + textWidth(text, size);
}

Picture layOut(const RunRecord& record) {
  const std::int64_t end = record.end > 0 ? record.end : 1'000'000'000;
  const Scale scale{end};
  Picture p;
  p.width = kWidth;
  p.plotLeft = kLeft;
  p.plotWidth = kPlot;
  p.title = "harbrite-sim: " + record.scenario;
  p.heading = heading(record);

  constexpr double kTop = 74;
  struct Place {
    const char* name;
    const char* note;
    double y, height;
  };
  static constexpr std::array<Place, Lane::kCount> kLanes{{
      {"Front", "display", kTop, 34},
      {"VPN", "connection", kTop + 42, 26},
      {"Record", "state file", kTop + 76, 26},
      {"Exposure", "", kTop + 110, 20},
      {"Harbrite", "delays", kTop + 138, 26},
      {"Events", "", kTop + 172, 40},
      {"Checks", "", kTop + 220, 24},
  }};
  for (std::size_t i = 0; i < kLanes.size(); ++i) {
    const Place& place = kLanes[i];
    Lane& lane = p.lanes[i];
    lane.y = place.y;
    lane.height = place.height;
    const double middle = place.y + place.height / 2;
    if (*place.note != '\0') {
      lane.name = {place.name, kLeft - 12, middle - 1, kFontSize, Label::Anchor::End};
      lane.note = small(place.note, kLeft - 12, middle + 11, Label::Anchor::End);
    } else {
      lane.name = {place.name, kLeft - 12, middle + 4, kFontSize, Label::Anchor::End};
    }
  }
  const Lane& front = p.lanes[Lane::Front];
  const Lane& checks = p.lanes[Lane::Checks];

  // The time axis, with its grid across the lanes.
  Axis& axis = p.axis;
  axis.y = checks.y + checks.height + 10;
  axis.gridTop = front.y - 4;
  axis.gridBottom = checks.y + checks.height;
  const std::int64_t step = tickStep(end);
  for (std::int64_t t = 0; t <= end; t += step) {
    const double x = scale.x(t);
    const std::string label = tickLabel(t, step);
    const double w = textWidth(label, kSmallFont);
    axis.ticks.push_back({x, small(label, std::clamp(x, kLeft + w / 2, kWidth - 2 - w / 2),
                                   axis.y + 18, Label::Anchor::Middle)});
  }
  if (record.end == 0) {
    axis.note = small("no simulated time passed: the lanes show how the run ended",
                      kLeft + kPlot / 2, axis.y + 32, Label::Anchor::Middle);
  }

  // Before boot there is no device to show.
  const std::int64_t booted = record.moments.empty() ? end : record.moments.front().time;
  if (booted > 0) p.beforeBoot = Span{kLeft, scale.x(booted) - kLeft};

  layOutStates(record, scale, p);
  layOutExposure(record, scale, p.lanes[Lane::Exposure]);
  layOutDelays(record, scale, p.lanes[Lane::Delays]);

  const Lane& events = p.lanes[Lane::Events];
  p.events = layOutMarks(markedEvents(record), scale, events);
  if (p.events.empty()) {
    p.noEvents = small("no exits, switching by hand or changes in Settings", kLeft + 8,
                       events.y + events.height / 2 + 3.8);
  }
  p.checks = layOutChecks(record, scale, checks);

  const double legendY = axis.y + (record.end == 0 ? 56 : 40);
  p.legend = legend(legendY);
  p.height = legendY + 26;
  return p;
}

}  // namespace harbrite::sim::picture
