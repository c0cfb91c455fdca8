// The Darwin notify centre: each post is recorded, in order, and shown on the timeline.
#include <string>
#include <vector>

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

void darwinNotifyPost(const char* name) {
  std::string n = name != nullptr ? name : "";
  hostsim::darwinNotificationsPosted().push_back(n);
  hostsim::timeline("notification", "posted Darwin notification \"" + n + "\"",
                    {{"name", n}, {"darwin", true}});
}

}  // namespace host
