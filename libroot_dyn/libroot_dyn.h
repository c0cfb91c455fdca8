// Root-prefix path resolution for relocated jailbreak roots. libroot is asked when the device
// has it; each of its five functions that is missing is replaced by a built-in fallback.
// Paths are bounded to 1024 bytes including the terminating NUL, and always terminated.
#pragma once

#include "host/Export.h"

extern "C" {

// Fallbacks: fixed values. They never load libroot.
HARBRITE_EXPORT const char* libroot_get_root_prefix_fallback() noexcept;
HARBRITE_EXPORT const char* libroot_get_jbroot_prefix_fallback() noexcept;
HARBRITE_EXPORT const char* libroot_get_boot_uuid_fallback() noexcept;
// A null path gives null; a null buffer gives a new 1024-byte heap buffer the caller frees.
HARBRITE_EXPORT char* libroot_jbrootpath_fallback(const char* path, char* buffer) noexcept;
HARBRITE_EXPORT char* libroot_rootfspath_fallback(const char* path, char* buffer) noexcept;

// Opens libroot once per library per process and fills the resolution table.
HARBRITE_EXPORT void libroot_load() noexcept;

// Through the resolution table, after the load.
HARBRITE_EXPORT const char* libroot_dyn_get_root_prefix() noexcept;
HARBRITE_EXPORT const char* libroot_dyn_get_jbroot_prefix() noexcept;
HARBRITE_EXPORT const char* libroot_dyn_get_boot_uuid() noexcept;
HARBRITE_EXPORT char* libroot_dyn_jbrootpath(const char* path, char* buffer) noexcept;
HARBRITE_EXPORT char* libroot_dyn_rootfspath(const char* path, char* buffer) noexcept;
}

#include <string>

namespace libroot_dyn {

constexpr unsigned kPathBound = 1024;

// How every data-file access maps its constant absolute path: afresh, through a 1024-byte
// buffer of the caller's own, straight into a new string. Nothing caches a mapped path.
inline std::string jbrootPath(const char* absolutePath) {
  char buffer[kPathBound];
  const char* mapped = libroot_dyn_jbrootpath(absolutePath, buffer);
  return mapped != nullptr ? std::string(mapped) : std::string();
}

}  // namespace libroot_dyn
