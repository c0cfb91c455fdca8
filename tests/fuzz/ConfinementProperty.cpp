// The device folder as a sandbox, on any path and jbroot prefix: whatever an input names, each
// file operation of the simulated platform acts inside the device root and nothing outside it
// changes; and the component-by-component walk (used where the kernel lacks openat2) resolves
// every path to the very object openat2 resolves it to.
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>

#include "hostsim/DeviceRoot.h"
#include "hostsim/FileLayer.h"
#include "tests/fuzz/Properties.h"

namespace harbrite::fuzz {

namespace {

namespace fs = std::filesystem;

// A device folder with every way out a folder can offer, beside a folder that must not change:
//   <top>/outside/           canary, folder/inner
//   <top>/box/root/          the device: a/b/, file, fifo, and symlinks
struct Sandbox {
  std::string top;
  std::string root;
  std::string outside;

  Sandbox() {
    char pattern[] = "/tmp/harbrite-confine-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return;
    top = pattern;
    outside = top + "/outside";
    root = top + "/box/root";
    fs::create_directories(outside + "/folder");
    fs::create_directories(root + "/a/b");
    put(outside + "/canary", "outside");
    put(outside + "/folder/inner", "outside too");
    put(root + "/file", "inside");
    ::mkfifo((root + "/fifo").c_str(), 0644);
    const std::map<std::string, std::string> links = {
        {"up", "../.."},       {"abs", "/"},
        {"out", outside},      {"outfile", outside + "/canary"},
        {"rel", "../outside"}, {"a/back", "../../../outside/canary"},
        {"a/b/top", "/a"},     {"a/b/deep", "../../../../../../.."},
        {"loop", "loop"},      {"dangling", "/nowhere/x"},
        {"a/toroot", "../.."},
    };
    for (const auto& [name, target] : links) ::symlink(target.c_str(), (root + "/" + name).c_str());
  }
  ~Sandbox() {
    std::error_code ignored;
    if (!top.empty()) fs::remove_all(top, ignored);
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  static void put(const std::string& file, const std::string& bytes) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (::write(fd, bytes.data(), bytes.size()) < 0) {
    }
    ::close(fd);
  }

  // Everything outside the device: the names at the top and in box/, and the outside folder's
  // entries with their bytes.
  std::string snapshot() const {
    std::string text;
    std::error_code ignored;
    for (const std::string& folder : {top, top + "/box"}) {
      for (const auto& e : fs::directory_iterator(folder, ignored)) {
        text += e.path().string() + "\n";
      }
    }
    for (auto it = fs::recursive_directory_iterator(outside, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
      text += it->path().string();
      if (it->is_regular_file(ignored)) {
        std::ifstream in(it->path(), std::ios::binary);
        text += "=" + std::string(std::istreambuf_iterator<char>(in), {});
      }
      text += "\n";
    }
    return text;
  }

  // Whether an open descriptor's object lies in the device.
  bool holdsInside(int fd) const {
    char name[PATH_MAX];
    const ssize_t n =
        ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), name, sizeof name - 1);
    if (n <= 0) return false;
    const std::string_view real(name, static_cast<std::size_t>(n));
    return real == root || real.substr(0, root.size() + 1) == root + "/";
  }
};

std::string shown(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes.substr(0, 120)) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return "\"" + out + "\"";
}

// Opens the path (O_PATH) with the given resolution: the object's device and inode, or none.
std::pair<bool, std::pair<dev_t, ino_t>> objectOf(int rootFd, std::string_view path, int flags,
                                                  hostsim::Resolution how) {
  hostsim::setResolution(how);
  const int fd = hostsim::openInRoot(rootFd, path, O_PATH | flags);
  hostsim::setResolution(hostsim::Resolution::Automatic);
  if (fd < 0) return {false, {}};
  struct stat info {};
  ::fstat(fd, &info);
  ::close(fd);
  return {true, {info.st_dev, info.st_ino}};
}

}  // namespace

std::string checkDeviceConfinement(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return "";
  const unsigned operation = data[0] % 7;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  // "PREFIX\nPATH": the device path is the jbroot prefix followed by the path.
  const std::size_t newline = rest.find('\n');
  const std::string prefix(newline == std::string_view::npos ? "" : rest.substr(0, newline));
  const std::string path(newline == std::string_view::npos ? rest : rest.substr(newline + 1));
  const std::string devicePath = prefix + path;

  const std::string savedRoot = hostsim::deviceRoot();
  Sandbox box;
  if (box.top.empty()) return "";
  const std::string before = box.snapshot();
  const int rootFd = ::open(box.root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) return "";
  std::string failure;

  // Both resolutions reach the same object, following a last symlink or not.
  for (int flags : {0, O_NOFOLLOW}) {
    const auto kernel = objectOf(rootFd, devicePath, flags, hostsim::Resolution::Automatic);
    const auto walk = objectOf(rootFd, devicePath, flags, hostsim::Resolution::Walk);
    if (kernel != walk) {
      failure = "openat2 and the walk disagree on " + shown(devicePath) +
                (kernel.first ? "" : " (openat2 found nothing)") +
                (walk.first ? "" : " (the walk found nothing)");
    }
  }
  {
    const int fd = hostsim::openInRoot(rootFd, devicePath, O_PATH);
    if (fd >= 0 && !box.holdsInside(fd)) failure = shown(devicePath) + " opened outside the device";
    if (fd >= 0) ::close(fd);
  }

  // One operation that changes the device, through the host-path functions the platform uses.
  hostsim::setDeviceRoot(box.root);
  const std::string hostFile = hostsim::hostPath(devicePath);
  hostsim::setResolution(data[0] & 0x80 ? hostsim::Resolution::Walk
                                        : hostsim::Resolution::Automatic);
  std::string bytes;
  switch (operation) {
    case 0: {
      // Never waits for a reader of the FIFO (the platform's own writers create their files
      // afresh, O_EXCL, and never open one).
      const int fd =
          hostsim::openDeviceFile(hostFile, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0644);
      if (fd >= 0) {
        if (!box.holdsInside(fd)) failure = shown(devicePath) + " created outside the device";
        if (::write(fd, "changed", 7) < 0) {
        }
        ::close(fd);
      }
      break;
    }
    case 1:
      hostsim::makeDeviceDirectories(hostFile);
      break;
    case 2:
      hostsim::unlinkDeviceFile(hostFile);
      break;
    case 3:
      hostsim::renameDeviceFile(hostFile, box.root + "/moved");
      hostsim::renameDeviceFile(box.root + "/file", hostFile);
      break;
    case 4:
      hostsim::removeDeviceTree(hostFile);
      break;
    case 5:
      // Never waits on the FIFO; never reads what lies outside.
      if (hostsim::readWholeFile(hostFile, bytes) && bytes.find("outside") != std::string::npos) {
        failure = shown(devicePath) + " read a file outside the device";
      }
      break;
    default:
      if (hostsim::replaceFileAtomically(hostFile, "changed")) {
        std::string back;
        if (!hostsim::readWholeFile(hostFile, back) || back != "changed") {
          failure = shown(devicePath) + " was replaced but does not read back";
        }
      }
      break;
  }
  hostsim::setResolution(hostsim::Resolution::Automatic);
  ::close(rootFd);
  if (box.snapshot() != before) {
    failure = "operation " + std::to_string(operation) + " on " + shown(devicePath) +
              " changed something outside the device";
  }
  hostsim::setDeviceRoot(savedRoot);
  return failure;
}

}  // namespace harbrite::fuzz
