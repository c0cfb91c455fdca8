// A libroot that the device can carry: all five functions, with the device's chosen jbroot
// prefix. Installed as /var/jb/usr/lib/libroot.dylib.
#include <cstring>

#include "host/Export.h"
#include "hostsim/standins/LibrootPrefix.h"

namespace {
char* bounded(const char* first, const char* second, char* buffer) {
  buffer[0] = '\0';
  std::strncat(buffer, first, 1023);
  std::strncat(buffer, second, 1023 - std::strlen(buffer));
  return buffer;
}
}  // namespace

extern "C" HARBRITE_EXPORT const char* libroot_get_jbroot_prefix() {
  return hostsim::standinJbrootPrefix();
}
extern "C" HARBRITE_EXPORT const char* libroot_get_root_prefix() {
  return "";
}
extern "C" HARBRITE_EXPORT const char* libroot_get_boot_uuid() {
  return "5A3E1C2B-8D4F-4E6A-9B7C-0D1E2F3A4B5C";
}

extern "C" HARBRITE_EXPORT char* libroot_jbrootpath(const char* path, char* buffer) {
  if (path == nullptr) return nullptr;
  return bounded(path[0] == '/' ? libroot_get_jbroot_prefix() : "", path, buffer);
}

extern "C" HARBRITE_EXPORT char* libroot_rootfspath(const char* path, char* buffer) {
  if (path == nullptr) return nullptr;
  const char* prefix = libroot_get_jbroot_prefix();
  std::size_t n = std::strlen(prefix);
  if (std::strncmp(path, prefix, n) == 0) return bounded("", path + n, buffer);
  return bounded("", path, buffer);
}
