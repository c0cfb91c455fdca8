// The kernel floors: the raw file work an event cannot avoid, written directly against POSIX, with
// the same sync policy as the file layer's atomic replace.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "hostsim/Device.h"
#include "hostsim/FileLayer.h"

namespace harbrite::bench {

// A device in memory where the machine has a memory file system, so that hundreds of boots (each
// copies the engine and its companions) do not queue disk write-back behind the measurements.
inline std::unique_ptr<hostsim::Device> inMemoryDevice() {
  static const std::string base = std::filesystem::is_directory("/dev/shm")
                                      ? "/dev/shm"
                                      : std::filesystem::temp_directory_path().string();
  std::string pattern = base + "/harbrite-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return std::make_unique<hostsim::Device>();
  return std::make_unique<hostsim::Device>(pattern);
}

// A device in memory (inMemoryDevice) for one benchmark, its folder removed with it. The
// benchmarks measure the engine's and the platform's work, system calls and all, and not how
// long the machine's disk takes to flush: a device folder on disk makes every case that syncs a
// file wait on the disk, a wait that varies by half from one run to the next and is the same
// for a case and its floors.
struct MemoryDevice {
  MemoryDevice() : owned(inMemoryDevice()) {}
  ~MemoryDevice() { hostsim::removeTree(owned->root()); }
  MemoryDevice(const MemoryDevice&) = delete;
  MemoryDevice& operator=(const MemoryDevice&) = delete;
  hostsim::Device& operator*() const { return *owned; }
  hostsim::Device* operator->() const { return owned.get(); }
  // Where a device path lies on the host.
  std::string host(const std::string& devicePath) const { return owned->root() + devicePath; }
  std::unique_ptr<hostsim::Device> owned;
};

// Open, read whole, close.
inline std::string rawRead(const std::string& file) {
  std::string contents;
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return contents;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
    contents.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return contents;
}

// Temporary file, write, fsync, rename, fsync of the directory: what an atomic replace must do.
inline void rawAtomicReplace(const std::string& file, const std::string& contents) {
  const std::string temporary = file + ".floor";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (::write(fd, contents.data(), contents.size()) < 0) {
    ::close(fd);
    return;
  }
  ::fsync(fd);
  ::close(fd);
  ::rename(temporary.c_str(), file.c_str());
  const std::string directory = hostsim::directoryOf(file);
  int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

// Open, read whole into a buffer made for `size` bytes (known beforehand), close: how a large
// file is read at its cheapest.
inline std::string rawReadSized(const std::string& file, std::size_t size) {
  std::string contents(size + 1, '\0');
  std::size_t used = 0;
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  ssize_t n;
  while (used < contents.size() &&
         (n = ::read(fd, contents.data() + used, contents.size() - used)) > 0) {
    used += static_cast<std::size_t>(n);
  }
  ::close(fd);
  contents.resize(used);
  return contents;
}

// Open, write whole, close: a new file, or one truncated.
inline void rawWrite(const std::string& file, const std::string& contents) {
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  for (std::size_t done = 0; done < contents.size();) {
    const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

// A temporary file written and renamed over the target, unsynced: how a device is laid out.
inline void rawPut(const std::string& file, const std::string& contents) {
  const std::string temporary = file + ".floor";
  rawWrite(temporary, contents);
  ::rename(temporary.c_str(), file.c_str());
}

// The prefix and the path copied into a 1024-byte buffer, bounded and terminated.
inline char* boundedCopy(char* buffer, const char* prefix, const char* path) {
  std::size_t a = strnlen(prefix, 1023);
  std::memcpy(buffer, prefix, a);
  std::size_t b = strnlen(path, 1023 - a);
  std::memcpy(buffer + a, path, b);
  buffer[a + b] = '\0';
  return buffer;
}

}  // namespace harbrite::bench
