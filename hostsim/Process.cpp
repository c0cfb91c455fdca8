// The process-wide services: notification centres, the system log, the main bundle.
#include "hostsim/Process.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "host/Platform.h"
#include "hostsim/Objects.h"
#include "hostsim/Timeline.h"

namespace hostsim {

ProcessFacts& process() {
  static auto* facts = new ProcessFacts;
  return *facts;
}

std::vector<std::string>& darwinNotificationsPosted() {
  static auto* posted = new std::vector<std::string>;
  return *posted;
}

std::vector<std::string>& systemLogLines() {
  static auto* lines = new std::vector<std::string>;
  return *lines;
}

namespace {

struct Observation {
  id observer;  // not retained, as NSNotificationCenter does not retain observers
  SEL selector;
  std::string name;
  id object;
};

std::vector<Observation>& observations() {
  static auto* list = new std::vector<Observation>;
  return *list;
}

}  // namespace

void resetNotificationCenter() {
  observations().clear();
}
std::size_t observationCount() {
  return observations().size();
}

}  // namespace hostsim

namespace host {

void notificationCenterAddObserver(id observer, SEL selector, const char* name, id object) {
  if (observer == nullptr || selector == nullptr) return;
  hostsim::observations().push_back({observer, selector, name != nullptr ? name : "", object});
}

void notificationCenterPost(const char* name, id object) {
  const std::string wanted = name != nullptr ? name : "";
  hostsim::timeline("posted in-process notification \"" + wanted + "\"");
  // Observations added while delivering are not delivered this time.
  const std::size_t count = hostsim::observations().size();
  for (std::size_t i = 0; i < count; ++i) {
    hostsim::Observation o = hostsim::observations()[i];
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

void darwinNotifyPost(const char* name) {
  std::string n = name != nullptr ? name : "";
  hostsim::darwinNotificationsPosted().push_back(n);
  hostsim::timeline("posted Darwin notification \"" + n + "\"");
}

void NSLog(std::string_view format, std::initializer_list<std::string_view> arguments) {
  std::string message;
  auto next = arguments.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == '@') {
      if (next != arguments.end()) message += *next++;
      ++i;
    } else {
      message += format[i];
    }
  }
  // NSLog's own prefix: date and time with milliseconds, process name, [pid:thread].
  timeval tv{};
  gettimeofday(&tv, nullptr);
  std::tm local{};
  localtime_r(&tv.tv_sec, &local);
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  char prefix[160];
  std::snprintf(prefix, sizeof prefix, "%s.%03d %s[%d:%x] ", stamp,
                static_cast<int>(tv.tv_usec / 1000), hostsim::process().processName.c_str(),
                static_cast<int>(getpid()), static_cast<unsigned>(gettid()));
  std::string line = prefix + message;
  hostsim::systemLogLines().push_back(line);
  hostsim::timeline("log: " + message);
}

int NSGetExecutablePath(char* buffer, std::uint32_t* size) {
  const std::string& path = hostsim::process().executablePath;
  if (size == nullptr) return -1;
  if (buffer == nullptr || path.size() + 1 > *size) {
    *size = static_cast<std::uint32_t>(path.size() + 1);
    return -1;
  }
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return 0;
}

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
