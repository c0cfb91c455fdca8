// The Darwin notify centre: each post is recorded, in order, and shown on the timeline.
#include <string>
#include <vector>

#include "host/Foundation.h"
#include "host/Platform.h"
#include "hostsim/Process.h"
#include "hostsim/Timeline.h"

namespace hostsim {

std::vector<std::string>& darwinNotificationsPosted() {
  static auto* posted = new std::vector<std::string>;
  return *posted;
}

}  // namespace hostsim

namespace host {

void darwinNotifyPost(id name) {
  std::string n = UTF8String(name).value_or("");
  hostsim::darwinNotificationsPosted().push_back(n);
  hostsim::timeline("notification", "posted Darwin notification \"" + n + "\"",
                    {{"name", n}, {"darwin", true}});
}

}  // namespace host
