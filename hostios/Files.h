// Whole-file reads and atomic replacement on the device's file system, shared by the text and
// property-list files.
#pragma once

#include <string>
#include <string_view>

namespace hostios {

// Reads the regular file at `path` whole into `bytes`. On failure answers false with errno set
// (EISDIR for a folder).
bool readWholeFile(const std::string& path, std::string& bytes);

// Writes `bytes` to a new file beside `path`, has the drive write it to the medium
// (F_FULLFSYNC), then renames it over `path`: a reader sees the old file or the new one. On
// failure the old file is untouched, the new one removed, and errno says why.
bool replaceFileAtomically(const std::string& path, std::string_view bytes);

// The last component of a path, for the system's messages.
std::string fileNameOf(const std::string& path);

}  // namespace hostios
