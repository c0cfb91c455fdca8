// The process's main bundle, as CFBundleGetMainBundle and CFBundleGetIdentifier answer: there
// is one when the process facts say so, and its identifier is theirs.
#include "host/Platform.h"
#include "hostsim/Process.h"

namespace host {

struct Bundle {
  int unused = 0;
};

const Bundle* CFBundleGetMainBundle() {
  static Bundle mainBundle;
  return hostsim::process().hasMainBundle ? &mainBundle : nullptr;
}

const char* CFBundleGetIdentifier(const Bundle* bundle) {
  if (bundle == nullptr) return nullptr;
  const auto& identifier = hostsim::process().bundleIdentifier;
  return identifier ? identifier->c_str() : nullptr;
}

}  // namespace host
