// The picture of a run, laid out: every lane, segment, mark and label with its place on a page
// 1200 units wide, each label already chosen among its ways of being written (or left out) for the
// room it has, and each tooltip's whole text. The layout decides everything the picture says and
// where; drawing it (tools/SvgReport.cpp) only writes it as SVG, with the colours and shapes of
// each kind. Tests read the layout rather than the SVG text.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/RunRecord.h"

namespace harbrite::sim::picture {

// A piece of text and where it goes: `x` is where it starts, is centred or ends (its anchor),
// `y` its baseline, `size` the font size it was fitted at. Empty text: no way of writing it had
// room, and nothing is drawn.
struct Label {
  enum class Anchor { Start, Middle, End };
  std::string text;
  double x = 0, y = 0;
  double size = 12;
  Anchor anchor = Anchor::Start;

  // Its extent on the page, as the layout measures text.
  double left() const;
  double right() const;
};

// How wide the layout takes a text to be: a generous average advance of the sans-serif faces
// browsers pick, per character.
double textWidth(std::string_view text, double size);

// A stretch of a lane: what it showed from one time to another. `to` is where the stretch ends
// on the time axis (the axis's end for the last one); the tooltip gives the time as the run
// had it.
struct Segment {
  enum class Kind {
    EnabledApp,     // the front display: an enabled application
    OtherApp,       // an application that is not enabled
    HomeScreen,     // no application in front
    Connected,      // the VPN (a lane with nothing where it is not connected)
    RecordsOn,      // the feature state file records the VPN on,
    RecordsOff,     // off,
    NoVPNLine,      // holds no VPN line (read as off),
    NoFile,         // or is not there
    Exposed,        // an exposure window
    Delay,          // Harbrite's queued work, from queueing to running, that left the VPN as it was
    DelaySwitched,  // ... that switched the VPN
    StillQueued,    // ... not yet run when the run ended
  };
  Kind kind;
  std::int64_t from = 0, to = 0;  // simulated nanoseconds
  double x = 0, width = 0;
  std::string tooltip;
  Label label;
  bool dot = false;  // an enabled application's white dot before its name, where there is room
};

struct Lane {
  enum Id { Front, VPN, Record, Exposure, Delays, Events, Checks, kCount };
  Label name, note;  // beside the lane; the note is empty for most
  double y = 0, height = 0;
  std::vector<Segment> segments;  // in time order (delays: as they ran, then those still queued)
  // A change at the run's very last instant has no width to show: a bar at the right edge, whose
  // tooltip says what the lane changed to.
  std::optional<std::string> changeAtEnd;
};

// One mark on the events' lane: an event, or several at one instant.
struct Marker {
  enum class Kind { Exit, Terminated, User, Pane, Engine, Restart, Mixed };
  Kind kind;  // Mixed: events of several kinds at one instant
  std::int64_t time = 0;
  int count = 1;  // the events at this instant
  int row = 0;    // the lane has two rows, so that marks close together keep apart
  double x = 0, y = 0;
  std::string tooltip;  // every event, one a line
  Label label;
};

// Checks close together on the page share one mark.
struct CheckCluster {
  std::int64_t time = 0;  // the first check's
  int count = 0;
  int failed = 0;
  double x = 0, y = 0;
  std::string tooltip;  // the failures and the first passes, one a line
  Label label;          // the count, and how many failed; empty for a single check
};

struct Heading {
  Label title;          // the scenario's name
  Label outcome;        // the checks, or where and why the run stopped
  bool success = true;  // every check passed and the run went to the end
  std::string stopped;  // the whole reason the run stopped, as the outcome's tooltip; or empty
  Label exposure;
  bool exposed = false;  // any exposure at all
  Label explanation;     // what exposure is, when there is room
};

struct Tick {
  double x = 0;
  Label label;
};

struct Axis {
  double y = 0;
  double gridTop = 0, gridBottom = 0;
  std::vector<Tick> ticks;
  Label note;  // said when no simulated time passed; else empty
};

struct LegendKey {
  enum class Swatch {
    EnabledApp,
    OtherApp,
    Connected,
    Exposed,
    Exit,
    User,
    Pane,
    CheckPassed,
    CheckFailed
  };
  Swatch swatch;
  double x = 0, y = 0;  // the swatch's left and middle
  Label label;
};

struct Span {
  double x = 0, width = 0;
};

struct Picture {
  double width = 0, height = 0;
  double plotLeft = 0, plotWidth = 0;  // the time axis's extent on the page
  std::string title;                   // the picture's own title
  Heading heading;
  std::array<Lane, Lane::kCount> lanes;
  std::optional<Span> beforeBoot;  // hatched across the device's lanes: no device to show yet
  std::vector<Marker> events;
  Label noEvents;  // said on the events' lane when it has no marks
  std::vector<CheckCluster> checks;
  Axis axis;
  std::vector<LegendKey> legend;

  const Lane& lane(Lane::Id id) const { return lanes[id]; }
};

Picture layOut(const RunRecord& record);

}  // namespace harbrite::sim::picture
