// The process's main bundle, as CFBundleGetMainBundle and CFBundleGetIdentifier answer: there
// is one when the process facts say so, and its identifier is theirs.
#include "host/Foundation.h"
#include "host/Platform.h"
#include "hostsim/Process.h"

#include <string>

namespace host {

struct Bundle {
  int unused = 0;
};

const Bundle* CFBundleGetMainBundle() {
  static Bundle mainBundle;
  return hostsim::process().hasMainBundle ? &mainBundle : nullptr;
}

// The identifier object lives as long as the process facts keep the same identifier.
id CFBundleGetIdentifier(const Bundle* bundle) {
  if (bundle == nullptr) return nullptr;
  const auto& identifier = hostsim::process().bundleIdentifier;
  if (!identifier) return nullptr;
  thread_local std::string madeFrom;
  thread_local StrongRef made;
  if (!made || madeFrom != *identifier) {
    made = stringWithUTF8String(*identifier);
    madeFrom = *identifier;
  }
  return made.get();
}

}  // namespace host
