// Drawing the laid-out picture (tools/SvgLayout.h) as SVG text: each kind of segment, mark and
// label gets its colours and shape here; what is shown, and where, is the layout's.
#include "tools/SvgReport.h"

#include <utf8.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace harbrite::sim {

namespace {

using picture::Label;
using picture::Lane;
using picture::LegendKey;
using picture::Marker;
using picture::Picture;
using picture::Segment;

constexpr double kFontSize = 12;
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
  // A label, anchored as laid out, at its own size, in `style`; nothing when it is empty.
  void text(const Label& label, const std::string& style) {
    if (label.text.empty()) return;
    std::string attributes = label.anchor == Label::Anchor::Middle ? " text-anchor=\"middle\""
                             : label.anchor == Label::Anchor::End  ? " text-anchor=\"end\""
                                                                   : "";
    if (label.size != kFontSize) attributes += " font-size=\"" + num(label.size) + "\"";
    text(label.x, label.y, label.text, attributes + style);
  }
  void open(const std::string& tooltip) {
    out_ += "<g><title>" + escape(tooltip, true) + "</title>\n";
  }
  void close() { out_ += "</g>\n"; }
  const std::string& str() const { return out_; }

 private:
  std::string out_;
};

void glyph(Svg& svg, Marker::Kind kind, double x, double cy) {
  if (kind == Marker::Kind::Exit || kind == Marker::Kind::Terminated) {
    // An application leaves: a triangle pointing down.
    svg.raw("<path d=\"M" + num(x - 5) + " " + num(cy - 4) + " L" + num(x + 5) + " " + num(cy - 4) +
            " L" + num(x) + " " + num(cy + 5) + " Z\" fill=\"" +
            (kind == Marker::Kind::Exit ? "#52606d" : "#9a3412") + "\"/>\n");
  } else if (kind == Marker::Kind::User) {
    // The user's hand: a diamond.
    svg.raw("<path d=\"M" + num(x) + " " + num(cy - 6) + " L" + num(x + 6) + " " + num(cy) + " L" +
            num(x) + " " + num(cy + 6) + " L" + num(x - 6) + " " + num(cy) +
            " Z\" fill=\"#8b5cf6\"/>\n");
  } else if (kind == Marker::Kind::Pane) {
    svg.rect(x - 4.5, cy - 4.5, 9, 9, "#f59e0b", " rx=\"1.5\"");
  } else if (kind == Marker::Kind::Restart) {
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

void drawHeading(Svg& svg, const picture::Heading& h) {
  svg.text(h.title, " font-weight=\"bold\" fill=\"" + std::string(kInk) + "\"");
  if (!h.stopped.empty()) svg.open(h.stopped);
  svg.text(h.outcome, " fill=\"" + std::string(h.success ? kPassFill : kFailFill) + "\"");
  if (!h.stopped.empty()) svg.close();
  svg.text(h.exposure, " font-weight=\"bold\" fill=\"" +
                           std::string(h.exposed ? kExposureFill : kPassFill) + "\"");
  svg.text(h.explanation, " fill=\"" + std::string(kMuted) + "\"");
}

void drawAxis(Svg& svg, const Picture& p) {
  const picture::Axis& axis = p.axis;
  for (const picture::Tick& tick : axis.ticks) {
    svg.line(tick.x, axis.gridTop, tick.x, axis.gridBottom, "#e3e6ea");
    svg.line(tick.x, axis.y, tick.x, axis.y + 5, kMuted);
    svg.text(tick.label, " fill=\"" + std::string(kMuted) + "\"");
  }
  svg.line(p.plotLeft, axis.y, p.plotLeft + p.plotWidth, axis.y, kMuted);
  svg.text(axis.note, " fill=\"" + std::string(kMuted) + "\"");
}

// The exposure windows: shaded across the device's lanes, and solid in their own.
void drawExposure(Svg& svg, const Picture& p) {
  const Lane& lane = p.lane(Lane::Exposure);
  const double top = p.lane(Lane::Front).y - 2;
  const Lane& record = p.lane(Lane::Record);
  for (const Segment& s : lane.segments) {
    svg.rect(s.x, top, s.width, record.y + record.height + 2 - top, kExposureFill,
             " fill-opacity=\"0.13\"");
    svg.open(s.tooltip);
    svg.rect(s.x, lane.y + 3, std::max(s.width, 1.5), lane.height - 6, kExposureFill, " rx=\"2\"");
    svg.text(s.label, " fill=\"#ffffff\" font-weight=\"bold\"");
    svg.close();
  }
}

// The front display, the VPN and the record: a bar in the lane for each stretch, with its label.
void drawStates(Svg& svg, const Lane& lane) {
  const double middle = lane.y + lane.height / 2;
  for (const Segment& s : lane.segments) {
    svg.open(s.tooltip);
    auto bar = [&](const char* fill) {
      svg.rect(s.x + 0.5, lane.y + 3, std::max(s.width - 1, 1.0), lane.height - 6, fill,
               " rx=\"3\"");
    };
    switch (s.kind) {
      case Segment::Kind::HomeScreen:
        svg.line(s.x, middle, s.x + s.width, middle, "#c3c9d1", " stroke-width=\"2\"");
        svg.text(s.label, " fill=\"" + std::string(kMuted) + "\"");
        break;
      case Segment::Kind::EnabledApp:
        bar(kEnabledFill);
        if (s.dot) {
          svg.raw("<circle cx=\"" + num(s.x + 8) + "\" cy=\"" + num(middle) +
                  "\" r=\"3\" fill=\"#ffffff\"/>\n");
        }
        svg.text(s.label, " fill=\"#ffffff\" font-weight=\"bold\"");
        break;
      case Segment::Kind::OtherApp:
        bar(kOtherAppFill);
        svg.text(s.label, " fill=\"" + std::string(kInk) + "\"");
        break;
      case Segment::Kind::Connected:
        bar(kVPNFill);
        svg.text(s.label, " fill=\"#ffffff\" font-weight=\"bold\"");
        break;
      case Segment::Kind::RecordsOn:
      case Segment::Kind::RecordsOff:
        bar(s.kind == Segment::Kind::RecordsOn ? kRecordOnFill : kRecordOffFill);
        svg.text(s.label, " fill=\"" + std::string(kInk) + "\"");
        break;
      default:  // no VPN line, no file: only words
        svg.text(s.label, " fill=\"" + std::string(kMuted) + "\"");
        break;
    }
    svg.close();
  }
}

void drawChangeAtEnd(Svg& svg, const Picture& p, const Lane& lane) {
  if (!lane.changeAtEnd) return;
  svg.open(*lane.changeAtEnd);
  svg.rect(p.plotLeft + p.plotWidth - 3, lane.y + 1, 4, lane.height - 2, kInk, " rx=\"1\"");
  svg.close();
}

void drawDelays(Svg& svg, const Lane& lane) {
  for (const Segment& s : lane.segments) {
    svg.open(s.tooltip);
    if (s.kind == Segment::Kind::StillQueued) {
      svg.rect(s.x + 0.5, lane.y + 4, std::max(s.width - 1, 1.0), lane.height - 8, "#fef3c7",
               " rx=\"3\" stroke=\"#d97706\" stroke-width=\"0.8\" stroke-dasharray=\"3 2\"");
    } else {
      svg.rect(s.x + 0.5, lane.y + 4, s.width - 1, lane.height - 8,
               s.kind == Segment::Kind::DelaySwitched ? "#fde68a" : "#fef3c7",
               " rx=\"3\" stroke=\"#d97706\" stroke-width=\"0.8\"");
      svg.text(s.label, " fill=\"#92400e\"");
    }
    svg.close();
  }
}

void drawLegend(Svg& svg, const std::vector<LegendKey>& legend) {
  using Swatch = LegendKey::Swatch;
  for (const LegendKey& key : legend) {
    const double x = key.x, y = key.y;
    auto square = [&](const char* fill) { svg.rect(x, y - 5, 11, 10, fill, " rx=\"2\""); };
    switch (key.swatch) {
      case Swatch::EnabledApp:
        square(kEnabledFill);
        break;
      case Swatch::OtherApp:
        square(kOtherAppFill);
        break;
      case Swatch::Connected:
        square(kVPNFill);
        break;
      case Swatch::Exposed:
        square(kExposureFill);
        break;
      case Swatch::Exit:
        glyph(svg, Marker::Kind::Exit, x + 5, y);
        break;
      case Swatch::User:
        glyph(svg, Marker::Kind::User, x + 5, y);
        break;
      case Swatch::Pane:
        glyph(svg, Marker::Kind::Pane, x + 5, y);
        break;
      case Swatch::CheckPassed:
      case Swatch::CheckFailed:
        checkGlyph(svg, key.swatch == Swatch::CheckFailed, x + 5, y);
        break;
    }
    svg.text(key.label, " fill=\"" + std::string(kMuted) + "\"");
  }
}

}  // namespace

std::string svgReport(const Picture& p) {
  Svg svg;
  svg.raw("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(p.width) + "\" height=\"" +
          num(p.height) + "\" viewBox=\"0 0 " + num(p.width) + " " + num(p.height) +
          "\" font-family=\"" + kFont + "\" font-size=\"" + num(kFontSize) + "\">\n");
  svg.raw("<title>" + escape(p.title) + "</title>\n");
  svg.raw(
      "<defs><pattern id=\"unbooted\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
      "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#eef0f3\"/>"
      "<line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"#d5d9df\" stroke-width=\"2\"/>"
      "</pattern></defs>\n");
  svg.rect(0, 0, p.width, p.height, "#ffffff");
  drawHeading(svg, p.heading);

  for (const Lane& lane : p.lanes) {
    svg.rect(p.plotLeft, lane.y, p.plotWidth, lane.height, kLaneBack, " rx=\"3\"");
    svg.text(lane.name, " font-weight=\"bold\" fill=\"" + std::string(kInk) + "\"");
    svg.text(lane.note, " fill=\"" + std::string(kMuted) + "\"");
  }
  // The grid goes behind everything else.
  drawAxis(svg, p);

  const Lane& front = p.lane(Lane::Front);
  const Lane& record = p.lane(Lane::Record);
  if (p.beforeBoot) {
    svg.open("before boot");
    svg.rect(p.beforeBoot->x, front.y, p.beforeBoot->width, record.y + record.height - front.y,
             "url(#unbooted)");
    svg.close();
  }
  drawExposure(svg, p);
  for (Lane::Id id : {Lane::Front, Lane::VPN, Lane::Record}) drawStates(svg, p.lane(id));
  for (Lane::Id id : {Lane::Front, Lane::VPN, Lane::Record}) drawChangeAtEnd(svg, p, p.lane(id));
  drawDelays(svg, p.lane(Lane::Delays));

  svg.text(p.noEvents, " fill=\"#9aa3ae\"");
  for (const Marker& m : p.events) {
    svg.open(m.tooltip);
    glyph(svg, m.kind, m.x, m.y);
    svg.text(m.label, " fill=\"" + std::string(kInk) + "\"");
    svg.close();
  }
  for (const picture::CheckCluster& c : p.checks) {
    svg.open(c.tooltip);
    checkGlyph(svg, c.failed > 0, c.x, c.y);
    svg.text(c.label, " fill=\"" + std::string(c.failed > 0 ? kFailFill : kMuted) + "\"");
    svg.close();
  }
  drawLegend(svg, p.legend);

  svg.raw("</svg>\n");
  return svg.str();
}

std::string svgReport(const RunRecord& record) {
  return svgReport(picture::layOut(record));
}

}  // namespace harbrite::sim
