// A run as a picture: a self-contained SVG with a time axis, a lane each for the front display,
// the VPN connection and what the feature state file records, the exposure shaded, and marks for
// checks and for events (exits, the user's switching, changes in the settings pane).
#pragma once

#include <string>

#include "tools/RunRecord.h"
#include "tools/SvgLayout.h"

namespace harbrite::sim {

// The picture as laid out (picture::layOut), written as SVG.
std::string svgReport(const picture::Picture& picture);
std::string svgReport(const RunRecord& record);

}  // namespace harbrite::sim
