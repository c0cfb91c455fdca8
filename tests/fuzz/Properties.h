// What must hold for any input to the parts of the system that read outside data. Each check
// answers an empty string when the input passes, or what went wrong. The fuzzers run them on
// generated inputs; the normal test suite replays the committed corpora (seeds and every input
// that once failed) through them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace harbrite::fuzz {

// The feature state file's line rules: writing the VPN's line, then reading it back, gives the
// written value, every other line stays byte for byte in its place, and the other features read
// as before.
std::string checkLineRules(const std::uint8_t* data, std::size_t size);

// The preferences file's reading: any bytes give a dictionary or none, and a dictionary that was
// read is written back and read again unchanged.
std::string checkPreferencesReading(const std::uint8_t* data, std::size_t size);

// The root-prefix path functions: any path gives a NUL-terminated result within the caller's
// 1024-byte buffer, holding the prefix mapping cut to 1023 bytes.
std::string checkRootPrefixPaths(const std::uint8_t* data, std::size_t size);

// The pane's group walk (removeDisabledGroups:) over any rows and counts: it only removes rows
// that an off switch in the walked array owns (all of them when the full list is walked), keeps
// the order, and a second walk removes nothing more.
std::string checkGroupWalk(const std::uint8_t* data, std::size_t size);

// The scenario parser: any text is a scenario or a ScenarioError naming a line, never another
// failure.
std::string checkScenarioParsing(const std::uint8_t* data, std::size_t size);

// The device folder as a sandbox: for any jbroot prefix and path ("PREFIX\nPATH" after an
// operation byte), openat2 and the component walk resolve to the same object, inside the root,
// and opening, creating, making folders, renaming, removing, reading or replacing through the
// platform's file functions changes nothing outside the device folder.
std::string checkDeviceConfinement(const std::uint8_t* data, std::size_t size);

}  // namespace harbrite::fuzz
