#include "hostsim/DeviceSetUp.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "hostsim/DeviceRoot.h"
#include "hostsim/FileLayer.h"

namespace fs = std::filesystem;

namespace hostsim {

namespace {

// The mark's form: three lines, then the jbroot prefix's bytes to the end of the file (a prefix
// may hold any byte but NUL, a line break included).
constexpr std::string_view kFirstLine = "harbrite-sim device\n";

const char* librootWord(Libroot libroot) {
  switch (libroot) {
    case Libroot::Full:
      return "full";
    case Libroot::OnlyJbrootPrefix:
      return "only-jbroot-prefix";
    case Libroot::None:
      break;
  }
  return "none";
}

// Takes the next line of `text` from `at`, without its LF; false when there is none.
bool nextLine(const std::string& text, std::size_t& at, std::string& line) {
  const std::size_t end = text.find('\n', at);
  if (end == std::string::npos) return false;
  line = text.substr(at, end - at);
  at = end + 1;
  return true;
}

}  // namespace

void recordDeviceSetUp(const DeviceConfig& config) {
  std::string mark(kFirstLine);
  mark += std::string("libroot ") + librootWord(config.libroot) + "\n";
  mark += std::string("backboard ") + (config.backboard ? "present" : "absent") + "\n";
  mark += "prefix " + config.librootPrefix;
  putDeviceFile(deviceRoot() + kDeviceMarkFile, mark);
}

bool readDeviceSetUp(const std::string& root, DeviceConfig& config) {
  const std::string saved = deviceRoot();
  setDeviceRoot(root);
  std::string text;
  const bool read = readDeviceFile(root + kDeviceMarkFile, text);
  const int error = errno;
  setDeviceRoot(saved);
  if (!read) {
    if (error == ENOENT) return false;
    throw std::invalid_argument("the device's set-up (" + std::string(kDeviceMarkFile + 1) +
                                ") cannot be read (" + std::strerror(error) + ")");
  }
  auto bad = [] {
    return std::invalid_argument("the device's set-up (" + std::string(kDeviceMarkFile + 1) +
                                 ") is not one harbrite-sim writes");
  };
  if (text.compare(0, kFirstLine.size(), kFirstLine) != 0) throw bad();
  std::size_t at = kFirstLine.size();
  std::string libroot, backboard;
  if (!nextLine(text, at, libroot) || !nextLine(text, at, backboard)) throw bad();
  DeviceConfig result = config;
  if (libroot == "libroot none") {
    result.libroot = Libroot::None;
  } else if (libroot == "libroot full") {
    result.libroot = Libroot::Full;
  } else if (libroot == "libroot only-jbroot-prefix") {
    result.libroot = Libroot::OnlyJbrootPrefix;
  } else {
    throw bad();
  }
  if (backboard != "backboard present" && backboard != "backboard absent") throw bad();
  result.backboard = backboard == "backboard present";
  const std::string_view prefixWord = "prefix ";
  if (text.compare(at, prefixWord.size(), prefixWord) != 0) throw bad();
  result.librootPrefix = text.substr(at + prefixWord.size());
  if (!result.librootPrefix.empty() && !isValidJbrootPrefix(result.librootPrefix)) throw bad();
  config = result;
  return true;
}

void checkDeviceFolder(const std::string& root) {
  std::error_code error;
  const fs::path folder = fs::absolute(root, error);
  if (error || root.empty()) throw std::invalid_argument("no device folder named");
  if (fs::weakly_canonical(folder, error) == "/") {
    throw std::invalid_argument("/ cannot be a device folder");
  }
  struct stat info {};
  if (::stat(root.c_str(), &info) != 0) {
    if (errno == ENOENT) return;
    throw std::invalid_argument(std::string("the device folder cannot be used (") +
                                std::strerror(errno) + ")");
  }
  if (!S_ISDIR(info.st_mode)) throw std::invalid_argument("the device folder is not a folder");
  fs::directory_iterator entries(folder, error);
  if (error) {
    throw std::invalid_argument("the device folder cannot be read (" + error.message() + ")");
  }
  if (entries == fs::directory_iterator()) return;
  for (const char* sign : {kDeviceMarkFile, "/.harbrite-lock", "/var/jb"}) {
    struct stat found {};
    if (::lstat((root + sign).c_str(), &found) == 0) return;
  }
  throw std::invalid_argument(
      "the folder is not empty and holds no device (neither harbrite-sim's mark nor a device's "
      "layout): give a new or empty folder, or a device folder");
}

}  // namespace hostsim
