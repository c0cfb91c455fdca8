// The file layer under the simulated Foundation: every file the system reads or writes goes
// through it. Tests replace the layer to make any single step fail (the fault seam); the
// default layer calls POSIX, resolving every path inside the device root (hostsim/DeviceRoot.h).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace hostsim {

class FileLayer {
 public:
  virtual ~FileLayer() = default;
  // Each mirrors its POSIX call: -1 and errno on failure.
  virtual int open(const char* path, int flags, mode_t mode);
  virtual ssize_t read(int fd, void* buffer, std::size_t size);
  virtual ssize_t write(int fd, const void* buffer, std::size_t size);
  virtual int fchmod(int fd, mode_t mode);
  virtual int fsync(int fd);
  virtual int close(int fd);
  virtual int rename(const char* from, const char* to);
  virtual int unlink(const char* path);
  virtual int stat(const char* path, struct stat* info);
};

// Forwards every call to another layer, so that a test overrides just the step it fails.
class FileLayerWrapper : public FileLayer {
 public:
  explicit FileLayerWrapper(FileLayer& target) : target_(target) {}
  int open(const char* path, int flags, mode_t mode) override {
    return target_.open(path, flags, mode);
  }
  ssize_t read(int fd, void* b, std::size_t n) override { return target_.read(fd, b, n); }
  ssize_t write(int fd, const void* b, std::size_t n) override { return target_.write(fd, b, n); }
  int fchmod(int fd, mode_t mode) override { return target_.fchmod(fd, mode); }
  int fsync(int fd) override { return target_.fsync(fd); }
  int close(int fd) override { return target_.close(fd); }
  int rename(const char* from, const char* to) override { return target_.rename(from, to); }
  int unlink(const char* path) override { return target_.unlink(path); }
  int stat(const char* path, struct stat* info) override { return target_.stat(path, info); }

 private:
  FileLayer& target_;
};

// The layer in use; `set` with nullptr restores the POSIX layer.
FileLayer& fileLayer();
FileLayer& posixFileLayer();
void setFileLayer(FileLayer* layer);

// The simulated device's root directory on the host. Every absolute path the system uses lies
// inside it, and the file layer reaches nothing outside it; an empty root leaves paths as they
// are. It is set while no file operation runs: for a new device, at a boot.
void setDeviceRoot(const std::string& root);
const std::string& deviceRoot();
// Where a device path lies on the host file system.
std::string hostPath(const std::string& devicePath);

// The folder a path names a file in ("/a/b" gives "/a", "/b" gives "/", "b" gives "."), and the
// file's own name ("/a/b" gives "b").
std::string directoryOf(const std::string& file);
std::string fileNameOf(const std::string& file);

// The largest file the simulated platform reads: a larger one reads as unreadable (EFBIG), so
// that a huge file in a device folder cannot fill memory. Far above any preferences or state
// file the system writes.
inline constexpr std::size_t kMaxReadableFileSize = 16 * 1024 * 1024;

// Reads a whole file through the layer, retrying interrupted reads. Only a regular file reads:
// a folder fails with EISDIR, a FIFO, socket or device node with ENXIO, at once and without
// waiting for a writer; a file above kMaxReadableFileSize fails with EFBIG. On failure answers
// false with errno set.
bool readWholeFile(const std::string& hostFile, std::string& contents);

// Replaces a file atomically through the layer: the directory opened once, and every step
// below done in it (hostsim/DeviceRoot.h's FolderInUse); a temporary file in it (unique name,
// O_EXCL), complete write, fsync, the old file's mode kept, rename over the target, fsync of the
// directory. A directory that cannot be opened is not a failure: each step then resolves it on
// its own, and the rename is not synced. On any failure before the rename the temporary file is
// removed, the old file stays byte for byte, errno is set and the answer is false; an old file
// that exists but cannot be examined (stat fails other than with ENOENT or ENOTDIR) is such a
// failure. Once the rename has succeeded the answer is true: the new content is in place, even
// when the directory cannot be synced. Before writing, temporaries of the same target left by
// writers that no longer exist (killed mid-write) are removed. Contents above
// kMaxReadableFileSize are never written (EFBIG): no reader would read the file.
bool replaceFileAtomically(const std::string& hostFile, const std::string& contents);

// Temporary files are named "<target>.hbtmp.<pid>.<n>": readers never take them for data.
bool isTemporaryFileName(const std::string& name);
// Removes the temporaries of `hostFile` ("<file>.hbtmp.<pid>.<n>") whose writers no longer
// exist, as every replacement does first; the device's layout calls it for the files it installs.
void removeStaleTemporaries(const std::string& hostFile);

}  // namespace hostsim
