#include "tools/Exposure.h"

#include <algorithm>

namespace harbrite::sim {

Exposure measureExposure(const std::vector<Moment>& moments, std::int64_t end) {
  Exposure exposure;
  for (std::size_t i = 0; i < moments.size(); ++i) {
    const Moment& m = moments[i];
    const std::int64_t from = m.time;
    const std::int64_t to = std::min(end, i + 1 < moments.size() ? moments[i + 1].time : end);
    if (m.front.empty() || !m.enabled || m.vpn || to <= from) continue;
    std::vector<ExposureWindow>& windows = exposure.windows;
    if (!windows.empty() && windows.back().to == from && windows.back().app == m.front) {
      windows.back().to = to;
    } else {
      windows.push_back({from, to, m.front});
    }
    exposure.nanoseconds += to - from;
  }
  return exposure;
}

}  // namespace harbrite::sim
