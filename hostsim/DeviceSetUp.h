// A device folder keeps its own set-up: what decides where the system's files lie (libroot and
// its jbroot prefix) and what is installed (BackBoardServices), in a mark file at its root,
// written each time the device is laid out. Every later command on the folder (`settings`, a
// run) reads and writes where the device's pane and engine do. The mark also tells a device
// folder from any other folder.
#pragma once

#include <optional>
#include <string>

#include "hostsim/Device.h"

namespace hostsim {

// The mark's device path, at the device's root.
inline constexpr const char* kDeviceMarkFile = "/.harbrite-device";

// Writes the set-up of `config` into the mark of the device whose root is set (setDeviceRoot).
// Throws std::runtime_error when it cannot be written.
void recordDeviceSetUp(const DeviceConfig& config);

// The set-up the mark of the folder `root` records, applied to `config` (its other fields are
// left alone); false when the folder has no mark. A mark that is not one harbrite-sim writes is
// bad input (std::invalid_argument).
bool readDeviceSetUp(const std::string& root, DeviceConfig& config);

// Whether `root` may be used as a device folder: not "/", and either missing (it is made), empty,
// or holding a device's layout or mark. Throws std::invalid_argument saying why not.
void checkDeviceFolder(const std::string& root);

}  // namespace hostsim
