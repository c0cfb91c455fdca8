// A libroot that exports only libroot_get_jbroot_prefix: the engine's fallbacks serve the rest.
#include "host/Export.h"
#include "hostsim/standins/LibrootPrefix.h"

extern "C" HARBRITE_EXPORT const char* libroot_get_jbroot_prefix() {
  return hostsim::standinJbrootPrefix();
}
