// The in-process notification centre: observers added by selector, and posts delivered to each
// matching observer in the order they were added.
#include <cstring>
#include <string>
#include <vector>

#include "host/Foundation.h"
#include "host/Platform.h"
#include "hostsim/Objects.h"
#include "hostsim/Process.h"
#include "hostsim/Timeline.h"

namespace hostsim {

namespace {

std::vector<SimulatedProcess::Observation>& observations() {
  return currentProcess().observations;
}

}  // namespace

std::size_t observationCount() {
  return observations().size();
}

}  // namespace hostsim

namespace host {

void notificationCenterAddObserver(id observer, SEL selector, id name, id object) {
  if (observer == nullptr || selector == nullptr) return;
  hostsim::observations().push_back({observer, selector, UTF8String(name).value_or(""), object});
}

void notificationCenterPost(id name, id object) {
  const std::string wanted = UTF8String(name).value_or("");
  hostsim::timeline("notification", "posted in-process notification \"" + wanted + "\"",
                    {{"name", wanted}, {"darwin", false}});
  // Observations added while delivering are not delivered this time.
  const std::size_t count = hostsim::observations().size();
  for (std::size_t i = 0; i < count; ++i) {
    hostsim::SimulatedProcess::Observation o = hostsim::observations()[i];
    if (!o.name.empty() && o.name != wanted) continue;
    if (o.object != nullptr && o.object != object) continue;
    Class cls = object_getClass(o.observer);
    IMP imp = class_getMethodImplementation(cls, o.selector);
    const char* types = class_getMethodTypes(cls, o.selector);
    if (imp == nullptr) continue;
    if (types != nullptr && std::strcmp(types, "v@:") == 0) {
      callIMP<void>(imp, o.observer, o.selector);
    } else {
      callIMP<void, id>(imp, o.observer, o.selector, nullptr);
    }
  }
}

}  // namespace host
