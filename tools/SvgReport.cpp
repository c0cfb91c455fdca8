// The picture is drawn for a page 1200 units wide whatever the run's length: the time axis picks
// its step so that about ten ticks show, and every label is measured against the room it has and
// shortened or left out (a tooltip always carries the whole text).
#include "tools/SvgReport.h"

#include <utf8.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <string_view>
#include <vector>

namespace harbrite::sim {

namespace {

constexpr double kWidth = 1200;
constexpr double kLeft = 132;  // lane names
constexpr double kRight = 28;
constexpr double kPlot = kWidth - kLeft - kRight;
constexpr double kFontSize = 12;
constexpr double kSmallFont = 10.5;
// A generous average advance of the sans-serif faces browsers pick, as a share of the size.
constexpr double kAdvance = 0.62;
constexpr const char* kFont = "DejaVu Sans, Verdana, Helvetica, Arial, sans-serif";

constexpr const char* kEnabledFill = "#2f6fde";
constexpr const char* kOtherAppFill = "#b8c0cc";
constexpr const char* kVPNFill = "#1f9d55";
constexpr const char* kRecordOnFill = "#9ad9b0";
constexpr const char* kRecordOffFill = "#dfe3e8";
constexpr const char* kExposureFill = "#e5484d";
constexpr const char* kPassFill = "#1f9d55";
constexpr const char* kFailFill = "#d92d20";
constexpr const char* kInk = "#1f2933";
constexpr const char* kMuted = "#6b7280";
constexpr const char* kLaneBack = "#f5f6f8";

std::string num(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  std::string s = text;
  if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);
  return s == "-0" ? "0" : s;
}

// Text made safe for XML: valid UTF-8, no control characters, the five special characters
// escaped. Text from input has had its own control characters written out (escapeOutput)
// before; the line breaks left are the picture's own, kept in tooltips (`lineBreaks`).
std::string escape(std::string_view raw, bool lineBreaks = false) {
  std::string valid = utf8::replace_invalid(std::string(raw), '?');
  std::string out;
  out.reserve(valid.size());
  for (char c : valid) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        if (c == '\n' && lineBreaks) {
          out += "&#10;";
        } else if (static_cast<unsigned char>(c) < 0x20) {
          out += ' ';
        } else {
          out += c;
        }
    }
  }
  return out;
}

double textWidth(std::string_view text, double size) {
  std::size_t characters = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++characters;
  }
  return static_cast<double>(characters) * size * kAdvance;
}

// The first of the candidates that fits the width, or "".
std::string fit(const std::vector<std::string>& candidates, double width, double size) {
  for (const std::string& c : candidates) {
    if (!c.empty() && textWidth(c, size) <= width) return c;
  }
  return "";
}

// An application's identifier, then shorter ways of writing it: its last component, then that
// component cut short.
std::vector<std::string> appNames(const std::string& app) {
  std::vector<std::string> names{app};
  const std::size_t dot = app.rfind('.');
  const std::string last =
      dot != std::string::npos && dot + 1 < app.size() ? app.substr(dot + 1) : app;
  if (last != app) names.push_back(last);
  for (std::size_t keep = last.size(); keep-- > 3;) {
    names.push_back(last.substr(0, keep) + "\xE2\x80\xA6");
  }
  return names;
}

std::string shortName(const std::string& app) {
  const std::size_t dot = app.rfind('.');
  return dot != std::string::npos && dot + 1 < app.size() ? app.substr(dot + 1) : app;
}

class Svg {
 public:
  void raw(const std::string& s) { out_ += s; }
  void rect(double x, double y, double w, double h, const std::string& fill,
            const std::string& extra = "") {
    out_ += "<rect x=\"" + num(x) + "\" y=\"" + num(y) + "\" width=\"" + num(std::max(w, 0.0)) +
            "\" height=\"" + num(h) + "\" fill=\"" + fill + "\"" + extra + "/>\n";
  }
  void line(double x1, double y1, double x2, double y2, const std::string& stroke,
            const std::string& extra = "") {
    out_ += "<line x1=\"" + num(x1) + "\" y1=\"" + num(y1) + "\" x2=\"" + num(x2) + "\" y2=\"" +
            num(y2) + "\" stroke=\"" + stroke + "\"" + extra + "/>\n";
  }
  void text(double x, double y, const std::string& content, const std::string& extra = "") {
    out_ += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\"" + extra + ">" + escape(content) +
            "</text>\n";
  }
  void open(const std::string& tooltip) {
    out_ += "<g><title>" + escape(tooltip, true) + "</title>\n";
  }
  void close() { out_ += "</g>\n"; }
  const std::string& str() const { return out_; }

 private:
  std::string out_;
};

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

// The moments as stretches that differ in what `same` compares.
// The last runs to `end`.
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

struct Lane {
  const char* name;
  const char* note;
  double y, h;
};

struct Mark {
  std::int64_t time;
  std::string kind;
  std::vector<std::string> labels;  // the longest first; the first that fits is shown
  std::string tooltip;
};

void glyph(Svg& svg, const std::string& kind, double x, double cy) {
  if (kind == "exit" || kind == "terminated") {
    // An application leaves: a triangle pointing down.
    svg.raw("<path d=\"M" + num(x - 5) + " " + num(cy - 4) + " L" + num(x + 5) + " " + num(cy - 4) +
            " L" + num(x) + " " + num(cy + 5) + " Z\" fill=\"" +
            (kind == "exit" ? "#52606d" : "#9a3412") + "\"/>\n");
  } else if (kind == "user") {
    // The user's hand: a diamond.
    svg.raw("<path d=\"M" + num(x) + " " + num(cy - 6) + " L" + num(x + 6) + " " + num(cy) + " L" +
            num(x) + " " + num(cy + 6) + " L" + num(x - 6) + " " + num(cy) +
            " Z\" fill=\"#8b5cf6\"/>\n");
  } else if (kind == "pane") {
    svg.rect(x - 4.5, cy - 4.5, 9, 9, "#f59e0b", " rx=\"1.5\"");
  } else if (kind == "restart") {
    // SpringBoard starts again: a bar across the mark's row.
    svg.rect(x - 1.5, cy - 7, 3, 14, "#0f172a", "");
  } else {
    svg.raw("<circle cx=\"" + num(x) + "\" cy=\"" + num(cy) + "\" r=\"4.5\" fill=\"" + kMuted +
            "\"/>\n");
  }
}

void checkGlyph(Svg& svg, bool failed, double x, double cy) {
  svg.raw("<circle cx=\"" + num(x) + "\" cy=\"" + num(cy) + "\" r=\"" + (failed ? "7" : "5.5") +
          "\" fill=\"" + (failed ? kFailFill : kPassFill) + "\"/>\n");
  if (failed) {
    svg.raw("<path d=\"M" + num(x - 3) + " " + num(cy - 3) + " L" + num(x + 3) + " " + num(cy + 3) +
            " M" + num(x + 3) + " " + num(cy - 3) + " L" + num(x - 3) + " " + num(cy + 3) +
            "\" stroke=\"#fff\" stroke-width=\"1.8\" stroke-linecap=\"round\"/>\n");
  } else {
    svg.raw("<path d=\"M" + num(x - 2.6) + " " + num(cy + 0.2) + " L" + num(x - 0.6) + " " +
            num(cy + 2.2) + " L" + num(x + 2.8) + " " + num(cy - 2) +
            "\" stroke=\"#fff\" stroke-width=\"1.5\" fill=\"none\" stroke-linecap=\"round\" "
            "stroke-linejoin=\"round\"/>\n");
  }
}

std::vector<Mark> eventMarks(const RunRecord& record) {
  std::vector<Mark> marks;
  for (const hostsim::TimelineEvent& e : record.events) {
    const std::string app = shortName(escapeOutput(e.detailText("app")));
    const std::string tooltip = formatSeconds(e.time) + ": " + escapeOutput(e.text);
    if (e.kind == "exit") {
      marks.push_back({e.time, e.kind, {app + " exits", app}, tooltip});
    } else if (e.kind == "terminated") {
      marks.push_back({e.time, e.kind, {app + " terminated", app}, tooltip});
    } else if (e.kind == "user") {
      const std::string state = e.detailFlag("vpn") ? "on" : "off";
      marks.push_back({e.time, e.kind, {"user: VPN " + state, "VPN " + state, state}, tooltip});
    } else if (e.kind == "pane") {
      const std::string key = e.detailText("key");
      marks.push_back({e.time,
                       e.kind,
                       {key.empty() ? "settings: reset" : "settings: " + key, "settings"},
                       tooltip});
    } else if (e.kind == "engine") {
      marks.push_back({e.time, e.kind, {"Harbrite inert", "inert"}, tooltip});
    } else if (e.kind == "restart") {
      const std::string how = e.detailText("restart");
      marks.push_back(
          {e.time, e.kind, {how == "reboot" ? "reboot" : "respring", "restart"}, tooltip});
    }
  }
  // Events at one instant share one mark, which counts them and lists them all.
  std::vector<Mark> grouped;
  std::vector<int> counts;
  for (Mark& m : marks) {
    if (grouped.empty() || grouped.back().time != m.time) {
      grouped.push_back(std::move(m));
      counts.push_back(1);
      continue;
    }
    Mark& g = grouped.back();
    g.tooltip += "\n" + m.tooltip;
    if (g.kind != m.kind) g.kind = "events";
    ++counts.back();
  }
  for (std::size_t i = 0; i < grouped.size(); ++i) {
    if (counts[i] == 1) continue;
    Mark& g = grouped[i];
    const std::string n = std::to_string(counts[i]);
    const std::string what = g.kind == "exit"         ? " exits"
                             : g.kind == "terminated" ? " terminated"
                             : g.kind == "pane"       ? " settings changes"
                             : g.kind == "user"       ? " switches by hand"
                                                      : " events";
    g.labels = {n + what + ": " + g.labels.back() + " \xE2\x80\xA6", n + what, "\xC3\x97" + n};
  }
  return grouped;
}

void drawMarks(Svg& svg, const std::vector<Mark>& marks, const Scale& scale, const Lane& lane) {
  // Two rows: each mark goes in the row where the mark before it is farther away; its label
  // takes the room up to the next mark of its row, or is left out.
  const std::array<double, 2> rowY{lane.y + lane.h * 0.3, lane.y + lane.h * 0.72};
  std::array<double, 2> lastX{-1e9, -1e9};
  std::vector<int> rows;
  for (const Mark& m : marks) {
    const double x = scale.x(m.time);
    const int row = x - lastX[0] >= x - lastX[1] ? 0 : 1;
    rows.push_back(row);
    lastX[row] = x;
  }
  for (std::size_t i = 0; i < marks.size(); ++i) {
    const Mark& m = marks[i];
    const double x = scale.x(m.time);
    double next = kWidth - 2;
    for (std::size_t j = i + 1; j < marks.size(); ++j) {
      if (rows[j] == rows[i]) {
        next = scale.x(marks[j].time) - 8;
        break;
      }
    }
    double previous = kLeft - 60;
    for (std::size_t j = i; j-- > 0;) {
      if (rows[j] == rows[i]) {
        previous = scale.x(marks[j].time) + 40;
        break;
      }
    }
    const double y = rowY[static_cast<std::size_t>(rows[i])];
    svg.open(m.tooltip);
    glyph(svg, m.kind, x, y);
    // The label after the mark, or before it when the mark is at the right edge.
    const std::string after = fit(m.labels, next - (x + 9), kSmallFont);
    const std::string before = fit(m.labels, x - 9 - previous, kSmallFont);
    const std::string font = " font-size=\"" + num(kSmallFont) + "\" fill=\"" + kInk + "\"";
    if (!after.empty()) {
      svg.text(x + 9, y + 3.8, after, font);
    } else if (!before.empty()) {
      svg.text(x - 9, y + 3.8, before, " text-anchor=\"end\"" + font);
    }
    svg.close();
  }
}

void drawDelays(Svg& svg, const RunRecord& record, const Scale& scale, const Lane& lane) {
  struct Delay {
    std::int64_t from;
    std::string cause, text;
  };
  std::map<std::int64_t, Delay> open;
  auto number = [](const hostsim::TimelineEvent& e) { return e.detailNumber("work", -1); };
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
    svg.open(formatSeconds(d.from) + ": " + escapeOutput(d.text) + "\n" + formatSeconds(e.time) +
             ": " + escapeOutput(e.text));
    svg.rect(x + 0.5, lane.y + 4, width - 1, lane.h - 8, switched ? "#fde68a" : "#fef3c7",
             " rx=\"3\" stroke=\"#d97706\" stroke-width=\"0.8\"");
    const std::string label = fit({what + " \xE2\x86\x92 " + outcome, "\xE2\x86\x92 " + outcome,
                                   switched ? (on ? "on" : "off") : ""},
                                  width - 10, kSmallFont);
    if (!label.empty()) {
      svg.text(x + 6, lane.y + lane.h / 2 + 3.8, label,
               " font-size=\"" + num(kSmallFont) + "\" fill=\"#92400e\"");
    }
    svg.close();
  }
  // Work still queued when the run ended.
  for (const auto& [n, d] : open) {
    const double x = scale.x(d.from);
    svg.open(formatSeconds(d.from) + ": " + escapeOutput(d.text) + " (still queued at the end)");
    svg.rect(x + 0.5, lane.y + 4, std::max(scale.x(record.end) - x - 1, 1.0), lane.h - 8, "#fef3c7",
             " rx=\"3\" stroke=\"#d97706\" stroke-width=\"0.8\" stroke-dasharray=\"3 2\"");
    svg.close();
  }
}

void drawChecks(Svg& svg, const RunRecord& record, const Scale& scale, const Lane& lane) {
  struct Cluster {
    double x;
    int count = 0;
    int failed = 0;
    std::vector<std::string> lines;
  };
  std::vector<Cluster> clusters;
  for (const hostsim::TimelineEvent& e : record.events) {
    if (e.kind != "check") continue;
    const bool failed = !e.detailFlag("passed");
    const double x = scale.x(e.time);
    if (clusters.empty() || x - clusters.back().x > 14) clusters.push_back({x, 0, 0, {}});
    Cluster& c = clusters.back();
    ++c.count;
    if (failed) ++c.failed;
    const std::string line = formatSeconds(e.time) + "  " + escapeOutput(e.detailText("command")) +
                             ": " + (failed ? escapeOutput(e.text) : "passed");
    // A failure is always listed; passes only while there is room.
    if (failed || c.lines.size() < 8) c.lines.push_back(line);
  }
  const double cy = lane.y + lane.h / 2;
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    const Cluster& c = clusters[i];
    std::string tooltip;
    for (const std::string& line : c.lines) tooltip += line + "\n";
    if (c.count > static_cast<int>(c.lines.size())) {
      tooltip += "and " + std::to_string(c.count - static_cast<int>(c.lines.size())) + " more";
    }
    svg.open(tooltip);
    checkGlyph(svg, c.failed > 0, c.x, cy);
    if (c.count > 1) {
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
      const std::string after = fit(labels, next - c.x - 16, kSmallFont);
      const std::string before = fit(labels, c.x - previous - 16, kSmallFont);
      const std::string fill = " font-size=\"" + num(kSmallFont) + "\" fill=\"" +
                               (c.failed > 0 ? kFailFill : kMuted) + "\"";
      if (!after.empty()) {
        svg.text(c.x + 8.5, cy + 3.8, after, fill);
      } else if (!before.empty()) {
        svg.text(c.x - 8.5, cy + 3.8, before, " text-anchor=\"end\"" + fill);
      }
    }
    svg.close();
  }
}

}  // namespace

std::string svgReport(const RunRecord& record) {
  const std::int64_t end = record.end > 0 ? record.end : 1'000'000'000;
  const Scale scale{end};

  const double top = 74;
  const std::array<Lane, 7> lanes{{
      {"Front", "display", top, 34},
      {"VPN", "connection", top + 42, 26},
      {"Record", "state file", top + 76, 26},
      {"Exposure", "", top + 110, 20},
      {"Harbrite", "delays", top + 138, 26},
      {"Events", "", top + 172, 40},
      {"Checks", "", top + 220, 24},
  }};
  const Lane& front = lanes[0];
  const Lane& vpn = lanes[1];
  const Lane& recordLane = lanes[2];
  const Lane& exposureLane = lanes[3];
  const Lane& delaysLane = lanes[4];
  const Lane& eventsLane = lanes[5];
  const Lane& checksLane = lanes[6];
  const double axisY = checksLane.y + checksLane.h + 10;
  const double legendY = axisY + (record.end == 0 ? 56 : 40);
  const double height = legendY + 26;

  Svg svg;
  svg.raw("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(kWidth) + "\" height=\"" +
          num(height) + "\" viewBox=\"0 0 " + num(kWidth) + " " + num(height) +
          "\" font-family=\"" + kFont + "\" font-size=\"" + num(kFontSize) + "\">\n");
  svg.raw("<title>" + escape("harbrite-sim: " + record.scenario) + "</title>\n");
  svg.raw(
      "<defs><pattern id=\"unbooted\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
      "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#eef0f3\"/>"
      "<line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"#d5d9df\" stroke-width=\"2\"/>"
      "</pattern></defs>\n");
  svg.rect(0, 0, kWidth, height, "#ffffff");

  // Heading: what ran, and what came of it.
  svg.text(kLeft, 28, fit({record.scenario, shortName(record.scenario)}, kPlot, 15),
           " font-size=\"15\" font-weight=\"bold\" fill=\"" + std::string(kInk) + "\"");
  const Exposure& exposure = record.exposure;
  std::string checks = std::to_string(record.checks) + (record.checks == 1 ? " check" : " checks");
  checks += record.failed == 0 ? ", all passed" : ", " + std::to_string(record.failed) + " failed";
  const bool good = record.failed == 0 && !record.stopped;
  if (record.stopped) {
    // A run stopped by an error is no success, whatever its checks said before.
    const std::string line = std::to_string(record.stopped->line);
    const std::string why = escapeOutput(record.stopped->reason);
    checks = fit({"stopped at line " + line + ": " + why + " (" + checks + " before)",
                  "stopped at line " + line + ": " + why, "stopped at line " + line},
                 kPlot / 2, kFontSize);
    svg.open("the run stopped at " + escapeInput(record.stopped->file) + ":" + line +
             ": could not run: " + why);
  }
  svg.text(kLeft, 50, checks, " fill=\"" + std::string(good ? kPassFill : kFailFill) + "\"");
  if (record.stopped) svg.close();
  std::string exposed = "exposure " + formatSeconds(exposure.nanoseconds);
  if (!exposure.windows.empty()) {
    exposed += " in " + std::to_string(exposure.windows.size()) +
               (exposure.windows.size() == 1 ? " window" : " windows");
  }
  const double exposedX = kLeft + textWidth(checks, kFontSize) + 24;
  svg.text(exposedX, 50, exposed,
           " font-weight=\"bold\" fill=\"" +
               std::string(exposure.nanoseconds > 0 ? kExposureFill : kPassFill) + "\"");
  svg.text(exposedX + textWidth(exposed, kFontSize) + 10, 50,
           fit({"(an enabled application in front while the VPN is not connected)"},
               kWidth - kRight - (exposedX + textWidth(exposed, kFontSize) + 10), kFontSize),
           " fill=\"" + std::string(kMuted) + "\"");

  // Lane backgrounds and names.
  for (const Lane& lane : lanes) {
    svg.rect(kLeft, lane.y, kPlot, lane.h, kLaneBack, " rx=\"3\"");
    const double middle = lane.y + lane.h / 2;
    if (*lane.note != '\0') {
      svg.text(kLeft - 12, middle - 1, lane.name,
               " text-anchor=\"end\" font-weight=\"bold\" fill=\"" + std::string(kInk) + "\"");
      svg.text(
          kLeft - 12, middle + 11, lane.note,
          " text-anchor=\"end\" font-size=\"" + num(kSmallFont) + "\" fill=\"" + kMuted + "\"");
    } else {
      svg.text(kLeft - 12, middle + 4, lane.name,
               " text-anchor=\"end\" font-weight=\"bold\" fill=\"" + std::string(kInk) + "\"");
    }
  }

  // Ticks and their grid, behind everything else.
  const std::int64_t step = tickStep(end);
  for (std::int64_t t = 0; t <= end; t += step) {
    const double x = scale.x(t);
    svg.line(x, front.y - 4, x, checksLane.y + checksLane.h, "#e3e6ea");
    svg.line(x, axisY, x, axisY + 5, kMuted);
    const std::string label = tickLabel(t, step);
    const double w = textWidth(label, kSmallFont);
    const double lx = std::clamp(x, kLeft + w / 2, kWidth - 2 - w / 2);
    svg.text(
        lx, axisY + 18, label,
        " text-anchor=\"middle\" font-size=\"" + num(kSmallFont) + "\" fill=\"" + kMuted + "\"");
  }
  svg.line(kLeft, axisY, kLeft + kPlot, axisY, kMuted);
  if (record.end == 0) {
    svg.text(
        kLeft + kPlot / 2, axisY + 32, "no simulated time passed: the lanes show how the run ended",
        " text-anchor=\"middle\" font-size=\"" + num(kSmallFont) + "\" fill=\"" + kMuted + "\"");
  }

  // Before boot there is no device to show.
  const std::int64_t booted = record.moments.empty() ? end : record.moments.front().time;
  if (booted > 0) {
    svg.open("before boot");
    svg.rect(kLeft, front.y, scale.x(booted) - kLeft, recordLane.y + recordLane.h - front.y,
             "url(#unbooted)");
    svg.close();
  }

  // Exposure: shaded across the state lanes, and solid in its own.
  for (const ExposureWindow& w : exposure.windows) {
    const double x = scale.x(w.from), width = scale.x(w.to) - x;
    svg.rect(x, front.y - 2, width, recordLane.y + recordLane.h + 2 - (front.y - 2), kExposureFill,
             " fill-opacity=\"0.13\"");
    svg.open("exposed: " + escapeOutput(w.app) + ", " + span(w.from, w.to) + " (" +
             formatSeconds(w.to - w.from) + ")");
    svg.rect(x, exposureLane.y + 3, std::max(width, 1.5), exposureLane.h - 6, kExposureFill,
             " rx=\"2\"");
    const std::string label = fit({formatSeconds(w.to - w.from)}, width - 6, kSmallFont);
    if (!label.empty()) {
      svg.text(x + width / 2, exposureLane.y + exposureLane.h / 2 + 3.8, label,
               " text-anchor=\"middle\" font-size=\"" + num(kSmallFont) +
                   "\" fill=\"#ffffff\" font-weight=\"bold\"");
    }
    svg.close();
  }

  // Front display: a segment for each application, enabled ones in colour.
  auto sameFront = [](const Moment& a, const Moment& b) {
    return a.front == b.front && a.enabled == b.enabled;
  };
  for (const Stretch& s : stretches(record, end, sameFront)) {
    const double x = scale.x(s.from), width = scale.x(s.to) - x;
    const Moment& m = *s.moment;
    const double middle = front.y + front.h / 2;
    if (m.front.empty()) {
      svg.open("home screen, " + span(s.from, std::min(s.to, record.end)));
      svg.line(x, middle, x + width, middle, "#c3c9d1", " stroke-width=\"2\"");
      const std::string label = fit({"home screen", "home"}, width - 8, kSmallFont);
      if (!label.empty()) {
        svg.text(x + 5, middle - 5, label,
                 " font-size=\"" + num(kSmallFont) + "\" fill=\"" + kMuted + "\"");
      }
      svg.close();
      continue;
    }
    const std::string app = escapeOutput(m.front);
    svg.open(app + (m.enabled ? " (enabled)" : " (not enabled)") + ", " +
             span(s.from, std::min(s.to, record.end)));
    svg.rect(x + 0.5, front.y + 3, std::max(width - 1, 1.0), front.h - 6,
             m.enabled ? kEnabledFill : kOtherAppFill, " rx=\"3\"");
    // Enabled applications carry a dot before their name.
    const double inset = m.enabled ? 16 : 6;
    const std::string label = fit(appNames(app), width - inset - 4, kFontSize);
    if (m.enabled && width > 12) {
      svg.raw("<circle cx=\"" + num(x + 8) + "\" cy=\"" + num(middle) +
              "\" r=\"3\" fill=\"#ffffff\"/>\n");
    }
    if (!label.empty()) {
      svg.text(x + inset, middle + 4.2, label,
               " fill=\"" + std::string(m.enabled ? "#ffffff" : kInk) + "\"" +
                   (m.enabled ? " font-weight=\"bold\"" : ""));
    }
    svg.close();
  }

  // VPN connection.
  auto sameVPN = [](const Moment& a, const Moment& b) { return a.vpn == b.vpn; };
  for (const Stretch& s : stretches(record, end, sameVPN)) {
    if (!s.moment->vpn) continue;
    const double x = scale.x(s.from), width = scale.x(s.to) - x;
    svg.open("VPN connected, " + span(s.from, std::min(s.to, record.end)));
    svg.rect(x + 0.5, vpn.y + 3, std::max(width - 1, 1.0), vpn.h - 6, kVPNFill, " rx=\"3\"");
    const std::string label = fit({"connected", "on"}, width - 10, kSmallFont);
    if (!label.empty()) {
      svg.text(x + 6, vpn.y + vpn.h / 2 + 3.8, label,
               " font-size=\"" + num(kSmallFont) + "\" fill=\"#ffffff\" font-weight=\"bold\"");
    }
    svg.close();
  }

  // What the feature state file records for the VPN.
  auto sameRecord = [](const Moment& a, const Moment& b) { return a.record == b.record; };
  for (const Stretch& s : stretches(record, end, sameRecord)) {
    const double x = scale.x(s.from), width = scale.x(s.to) - x;
    const Record r = s.moment->record;
    std::vector<std::string> labels;
    const char* fill = nullptr;
    switch (r) {
      case Record::On:
        labels = {"records VPN on", "on"};
        fill = kRecordOnFill;
        break;
      case Record::Off:
        labels = {"records VPN off", "off"};
        fill = kRecordOffFill;
        break;
      case Record::NoLine:
        labels = {"no VPN line (reads as off)", "no VPN line", "none"};
        break;
      case Record::Absent:
        labels = {"no file"};
        break;
    }
    svg.open("feature state file: " + labels.front() + ", " +
             span(s.from, std::min(s.to, record.end)));
    if (fill != nullptr) {
      svg.rect(x + 0.5, recordLane.y + 3, std::max(width - 1, 1.0), recordLane.h - 6, fill,
               " rx=\"3\"");
    }
    const std::string label = fit(labels, width - 10, kSmallFont);
    if (!label.empty()) {
      svg.text(x + 6, recordLane.y + recordLane.h / 2 + 3.8, label,
               " font-size=\"" + num(kSmallFont) + "\" fill=\"" +
                   (fill == nullptr ? kMuted : kInk) + "\"");
    }
    svg.close();
  }

  // A change at the run's last instant has no width to show: a bar at the right edge says what
  // the lane changed to.
  auto changeAtEnd = [&](const Lane& lane, auto same, auto describe) {
    const std::vector<Stretch> all = stretches(record, end, same);
    if (all.size() < 2 || all.back().from != end || record.end == 0) return;
    const double x = scale.x(end);
    svg.open("at the end (" + formatSeconds(end) + "): " + describe(*all.back().moment));
    svg.rect(x - 3, lane.y + 1, 4, lane.h - 2, kInk, " rx=\"1\"");
    svg.close();
  };
  changeAtEnd(front, sameFront, [](const Moment& m) {
    return m.front.empty() ? std::string("home screen") : escapeOutput(m.front) + " in front";
  });
  changeAtEnd(vpn, sameVPN, [](const Moment& m) {
    return std::string(m.vpn ? "VPN connected" : "VPN disconnected");
  });
  changeAtEnd(recordLane, sameRecord, [](const Moment& m) {
    return std::string(m.record == Record::On       ? "records VPN on"
                       : m.record == Record::Off    ? "records VPN off"
                       : m.record == Record::NoLine ? "no VPN line"
                                                    : "no file");
  });

  drawDelays(svg, record, scale, delaysLane);
  const std::vector<Mark> marks = eventMarks(record);
  if (marks.empty()) {
    svg.text(kLeft + 8, eventsLane.y + eventsLane.h / 2 + 3.8,
             "no exits, switching by hand or changes in Settings",
             " font-size=\"" + num(kSmallFont) + "\" fill=\"#9aa3ae\"");
  }
  drawMarks(svg, marks, scale, eventsLane);
  drawChecks(svg, record, scale, checksLane);

  // Legend.
  double lx = kLeft;
  const double ly = legendY;
  auto key = [&](const std::string& label, auto draw) {
    draw(lx, ly);
    svg.text(lx + 16, ly + 4, label,
             " font-size=\"" + num(kSmallFont) + "\" fill=\"" + kMuted + "\"");
    lx += 16 + textWidth(label, kSmallFont) + 18;
  };
  key("enabled app",
      [&](double x, double y) { svg.rect(x, y - 5, 11, 10, kEnabledFill, " rx=\"2\""); });
  key("other app",
      [&](double x, double y) { svg.rect(x, y - 5, 11, 10, kOtherAppFill, " rx=\"2\""); });
  key("VPN connected",
      [&](double x, double y) { svg.rect(x, y - 5, 11, 10, kVPNFill, " rx=\"2\""); });
  key("exposed",
      [&](double x, double y) { svg.rect(x, y - 5, 11, 10, kExposureFill, " rx=\"2\""); });
  key("exit", [&](double x, double y) { glyph(svg, "exit", x + 5, y); });
  key("user switch", [&](double x, double y) { glyph(svg, "user", x + 5, y); });
  key("settings change", [&](double x, double y) { glyph(svg, "pane", x + 5, y); });
  key("check passed", [&](double x, double y) { checkGlyph(svg, false, x + 5, y); });
  key("check failed", [&](double x, double y) { checkGlyph(svg, true, x + 5, y); });

  svg.raw("</svg>\n");
  return svg.str();
}

}  // namespace harbrite::sim
