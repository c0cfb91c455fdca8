// Exposure: the time during which an enabled application is in front while the device's VPN is
// not connected. It is the figure by which a user judges per-app VPN ("was my bank ever in
// front without the VPN?"), and the one that compares the two modes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace harbrite::sim {

// What the feature state file records for the VPN: no file, a file without the VPN's line (read
// as off), a line that reads as off, one that reads as on.
enum class Record { Absent, NoLine, Off, On };

// What the device shows from `time` on, until the next moment (or the end of the run).
struct Moment {
  std::int64_t time = 0;  // nanoseconds
  std::string front;      // the application in front; "" for the home screen
  bool enabled = false;   // the preferences file, read at that moment, enables `front`
  bool vpn = false;       // the device's VPN is connected
  Record record = Record::Absent;

  bool operator==(const Moment&) const = default;
};

struct ExposureWindow {
  std::int64_t from = 0;
  std::int64_t to = 0;
  std::string app;

  bool operator==(const ExposureWindow&) const = default;
};

struct Exposure {
  std::int64_t nanoseconds = 0;
  std::vector<ExposureWindow> windows;  // in time order; one application each
};

// The exposure over `moments` (in time order) up to `end`: each maximal stretch of one enabled
// application in front without the VPN is a window.
Exposure measureExposure(const std::vector<Moment>& moments, std::int64_t end);

}  // namespace harbrite::sim
