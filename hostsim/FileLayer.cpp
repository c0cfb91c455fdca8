#include "hostsim/FileLayer.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hostsim/DeviceRoot.h"

namespace hostsim {

// The operations that name a file resolve it inside the device root (hostsim/DeviceRoot.h).
int FileLayer::open(const char* path, int flags, mode_t mode) {
  return openDeviceFile(path, flags, mode);
}
ssize_t FileLayer::read(int fd, void* buffer, std::size_t size) {
  return ::read(fd, buffer, size);
}
ssize_t FileLayer::write(int fd, const void* buffer, std::size_t size) {
  return ::write(fd, buffer, size);
}
int FileLayer::fchmod(int fd, mode_t mode) {
  return ::fchmod(fd, mode);
}
int FileLayer::fsync(int fd) {
  return ::fsync(fd);
}
int FileLayer::close(int fd) {
  return ::close(fd);
}
int FileLayer::rename(const char* from, const char* to) {
  return renameDeviceFile(from, to);
}
int FileLayer::unlink(const char* path) {
  return unlinkDeviceFile(path);
}
int FileLayer::stat(const char* path, struct stat* info) {
  return statDeviceFile(path, info);
}

namespace {
std::atomic<FileLayer*> currentLayer{nullptr};
std::string& rootStorage() {
  static std::string* root = new std::string;
  return *root;
}
}  // namespace

FileLayer& posixFileLayer() {
  static FileLayer* layer = new FileLayer;
  return *layer;
}

FileLayer& fileLayer() {
  FileLayer* layer = currentLayer.load(std::memory_order_acquire);
  return layer != nullptr ? *layer : posixFileLayer();
}

void setFileLayer(FileLayer* layer) {
  currentLayer.store(layer, std::memory_order_release);
}

void setDeviceRoot(const std::string& root) {
  rootStorage() = root;
  forgetDeviceRootFolder();
}
const std::string& deviceRoot() {
  return rootStorage();
}

std::string hostPath(const std::string& devicePath) {
  const std::string& root = deviceRoot();
  if (root.empty()) return devicePath;
  if (!devicePath.empty() && devicePath[0] == '/') return root + devicePath;
  return root + "/" + devicePath;
}

bool readWholeFile(const std::string& hostFile, std::string& contents) {
  FileLayer& layer = fileLayer();
  // O_NONBLOCK: opening a FIFO that nobody writes to, or a device node, must not wait. Only a
  // regular file is read; anything else is answered at once.
  int fd = layer.open(hostFile.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0);
  if (fd < 0) return false;
  contents.clear();
  auto fail = [&](int error) {
    layer.close(fd);
    contents.clear();
    errno = error;
    return false;
  };
  if (checkReadableFile(fd) != 0) return fail(errno);
  char buffer[4096];
  for (;;) {
    ssize_t n = layer.read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(errno);
    if (n == 0) break;
    // The file may grow while it is read.
    if (contents.size() + static_cast<std::size_t>(n) > kMaxReadableFileSize) return fail(EFBIG);
    contents.append(buffer, static_cast<std::size_t>(n));
  }
  layer.close(fd);
  return true;
}

std::string directoryOf(const std::string& file) {
  auto slash = file.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return file.substr(0, slash);
}

std::string fileNameOf(const std::string& file) {
  auto slash = file.rfind('/');
  return slash == std::string::npos ? file : file.substr(slash + 1);
}

namespace {

// The writer's process id in a temporary's name "<target>.hbtmp.<pid>.<n>" whose "<target>." part
// has already been matched; 0 when the rest is not "<pid>.<n>".
pid_t writerOf(std::string_view rest) {
  std::size_t dot = rest.find('.');
  if (dot == 0 || dot == std::string_view::npos || dot > 10 || dot + 1 == rest.size()) return 0;
  long long pid = 0;
  for (std::size_t i = 0; i < dot; ++i) {
    if (rest[i] < '0' || rest[i] > '9') return 0;
    pid = pid * 10 + (rest[i] - '0');
  }
  for (std::size_t i = dot + 1; i < rest.size(); ++i) {
    if (rest[i] < '0' || rest[i] > '9') return 0;
  }
  return pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
}

// Whether `name` is a temporary of the target whose name makes `prefix` ("<target>.hbtmp.") left
// by a writer that no longer exists: not this process, nor any process alive.
bool isStaleTemporary(std::string_view name, const std::string& prefix) {
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
  const pid_t writer = writerOf(name.substr(prefix.size()));
  if (writer == 0 || writer == getpid()) return false;
  return ::kill(writer, 0) != 0 && errno == ESRCH;
}

// Adds to `stale` the stale temporaries (by host path) among the entries of `folder`, a folder
// just opened for reading whose host path is `directory`: read from its start, straight from
// the descriptor, without a second descriptor or a stream.
void collectStaleTemporaries(int folder, const std::string& directory, const std::string& prefix,
                             std::vector<std::string>& stale) {
  alignas(dirent64) char buffer[4096];
  for (;;) {
    const ssize_t n = ::getdents64(folder, buffer, sizeof buffer);
    if (n <= 0) return;
    for (ssize_t at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
      at += entry->d_reclen;
      if (isStaleTemporary(entry->d_name, prefix)) {
        stale.push_back(directory + "/" + entry->d_name);
      }
    }
  }
}

// A writer that dies in the middle of a replacement (killed, or crashed) leaves its temporary
// file behind. Before each write, the temporaries of the same target whose writers no longer
// exist are removed, so that they cannot pile up; a live writer's temporary is left alone, and
// so is anything whose name does not have the temporaries' exact form. Nothing here can fail
// the write. `folder` is the target's folder, just opened for reading, or -1 to open it here.
void removeStaleTemporaries(FileLayer& layer, const std::string& hostFile, int folder) {
  const int saved = errno;
  const std::string directory = directoryOf(hostFile);
  const std::string prefix = fileNameOf(hostFile) + ".hbtmp.";
  std::vector<std::string> stale;
  if (folder >= 0) {
    collectStaleTemporaries(folder, directory, prefix, stale);
  } else if (const int own = openDeviceFile(directory, O_RDONLY | O_DIRECTORY); own >= 0) {
    collectStaleTemporaries(own, directory, prefix, stale);
    ::close(own);
  }
  for (const std::string& file : stale) layer.unlink(file.c_str());
  errno = saved;
}

bool writeAll(FileLayer& layer, int fd, const std::string& contents) {
  std::size_t done = 0;
  while (done < contents.size()) {
    ssize_t n = layer.write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

void removeStaleTemporaries(const std::string& hostFile) {
  removeStaleTemporaries(posixFileLayer(), hostFile, -1);
}

bool isTemporaryFileName(const std::string& name) {
  return name.find(".hbtmp.") != std::string::npos;
}

bool replaceFileAtomically(const std::string& hostFile, const std::string& contents) {
  static std::atomic<unsigned> counter{0};
  FileLayer& layer = fileLayer();

  // A writer never makes a file that its own readers refuse: the old file stays as it is.
  if (contents.size() > kMaxReadableFileSize) {
    errno = EFBIG;
    return false;
  }

  // The folder is opened first and every step below works in it: it is resolved inside the
  // device root once, not once per step. It is synced last, to make the rename durable. A
  // folder that cannot be opened here costs only that: each step resolves it on its own, and
  // the rename is not synced.
  const std::string directory = directoryOf(hostFile);
  int dirFd = layer.open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  std::optional<FolderInUse> inUse;
  if (dirFd >= 0) inUse.emplace(directory, dirFd);
  auto closeDirectory = [&] {
    if (dirFd < 0) return;
    const int saved = errno;
    inUse.reset();
    layer.close(dirFd);
    dirFd = -1;
    errno = saved;
  };

  // The new file keeps the old one's mode. When the old file exists but cannot be examined, its
  // mode cannot be kept, so nothing is written.
  mode_t mode = 0644;
  struct stat old {};
  if (layer.stat(hostFile.c_str(), &old) == 0) {
    mode = old.st_mode & 07777;
  } else if (errno != ENOENT && errno != ENOTDIR) {
    closeDirectory();
    return false;
  }

  removeStaleTemporaries(layer, hostFile, dirFd);

  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = hostFile + ".hbtmp." + std::to_string(getpid()) + "." +
                std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
    fd = layer.open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) {
      closeDirectory();
      return false;
    }
  }
  if (fd < 0) {
    closeDirectory();
    return false;
  }

  auto fail = [&](bool closeFirst) {
    int saved = errno;
    if (closeFirst) layer.close(fd);
    layer.unlink(temporary.c_str());
    closeDirectory();
    errno = saved;
    return false;
  };
  if (!writeAll(layer, fd, contents)) return fail(true);
  if (layer.fchmod(fd, mode) != 0) return fail(true);
  if (layer.fsync(fd) != 0) return fail(true);
  if (layer.close(fd) != 0) return fail(false);
  if (layer.rename(temporary.c_str(), hostFile.c_str()) != 0) return fail(false);

  // Make the rename itself durable. The new file is in place whatever happens here, so a
  // failure to sync the directory does not undo the write.
  if (dirFd >= 0) {
    inUse.reset();
    layer.fsync(dirFd);
    layer.close(dirFd);
  }
  return true;
}

}  // namespace hostsim
