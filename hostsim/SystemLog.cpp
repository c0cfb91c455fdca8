// The system log: NSLog's lines, with the prefix NSLog gives them, kept in order.
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "host/Platform.h"
#include "hostsim/Process.h"
#include "hostsim/Timeline.h"

namespace hostsim {

std::vector<std::string>& systemLogLines() {
  static auto* lines = new std::vector<std::string>;
  return *lines;
}

}  // namespace hostsim

namespace host {

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
  hostsim::timeline("log", "log: " + message);
}

}  // namespace host
