#include "hostsim/FileLayer.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace hostsim {

int FileLayer::open(const char* path, int flags, mode_t mode) {
  return ::open(path, flags, mode);
}
ssize_t FileLayer::read(int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, size); }
ssize_t FileLayer::write(int fd, const void* buffer, std::size_t size) {
  return ::write(fd, buffer, size);
}
int FileLayer::fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }
int FileLayer::fsync(int fd) { return ::fsync(fd); }
int FileLayer::close(int fd) { return ::close(fd); }
int FileLayer::rename(const char* from, const char* to) { return ::rename(from, to); }
int FileLayer::unlink(const char* path) { return ::unlink(path); }
int FileLayer::stat(const char* path, struct stat* info) { return ::stat(path, info); }

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

void setFileLayer(FileLayer* layer) { currentLayer.store(layer, std::memory_order_release); }

void setDeviceRoot(const std::string& root) { rootStorage() = root; }
const std::string& deviceRoot() { return rootStorage(); }

std::string hostPath(const std::string& devicePath) {
  const std::string& root = deviceRoot();
  if (root.empty()) return devicePath;
  if (!devicePath.empty() && devicePath[0] == '/') return root + devicePath;
  return root + "/" + devicePath;
}

bool readWholeFile(const std::string& hostFile, std::string& contents) {
  FileLayer& layer = fileLayer();
  int fd = layer.open(hostFile.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  contents.clear();
  char buffer[4096];
  for (;;) {
    ssize_t n = layer.read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int saved = errno;
      layer.close(fd);
      errno = saved;
      return false;
    }
    if (n == 0) break;
    contents.append(buffer, static_cast<std::size_t>(n));
  }
  layer.close(fd);
  return true;
}

namespace {

std::string directoryOf(const std::string& file) {
  auto slash = file.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return file.substr(0, slash);
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

bool isTemporaryFileName(const std::string& name) {
  return name.find(".hbtmp.") != std::string::npos;
}

bool replaceFileAtomically(const std::string& hostFile, const std::string& contents) {
  static std::atomic<unsigned> counter{0};
  FileLayer& layer = fileLayer();

  mode_t mode = 0644;
  struct stat old {};
  if (layer.stat(hostFile.c_str(), &old) == 0) mode = old.st_mode & 07777;

  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = hostFile + ".hbtmp." + std::to_string(getpid()) + "." +
                std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
    fd = layer.open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;

  auto fail = [&](bool closeFirst) {
    int saved = errno;
    if (closeFirst) layer.close(fd);
    layer.unlink(temporary.c_str());
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
  std::string directory = directoryOf(hostFile);
  int dirFd = layer.open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (dirFd >= 0) {
    layer.fsync(dirFd);
    layer.close(dirFd);
  }
  return true;
}

}  // namespace hostsim
