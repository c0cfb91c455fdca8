// A libroot that exports only libroot_get_jbroot_prefix: the engine's fallbacks serve the rest.
#include "hostsim/standins/LibrootPrefix.h"

extern "C" __attribute__((visibility("default"))) const char* libroot_get_jbroot_prefix() {
  return hostsim::standinJbrootPrefix();
}
