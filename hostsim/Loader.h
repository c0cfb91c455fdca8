#pragma once

#include <string>
#include <vector>

namespace hostsim {

// The ELF run-paths of the library that holds `anchor`, in their order; `libraryFile` receives
// that library's file.
std::vector<std::string> runPathsOf(const void* anchor, std::string* libraryFile = nullptr);

}  // namespace hostsim
