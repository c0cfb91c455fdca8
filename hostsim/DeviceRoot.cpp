#include "hostsim/DeviceRoot.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "hostsim/FileLayer.h"

namespace hostsim {

namespace {

// As many symlinks as Linux follows in one resolution.
constexpr int kMaxSymlinks = 40;
// Folders nested deeper than this inside a tree being removed are left in place.
constexpr int kMaxRemovalDepth = 256;

std::atomic<Resolution> resolution{Resolution::Automatic};
std::atomic<bool> kernelLacksOpenat2{false};

int failWith(int error) {
  errno = error;
  return -1;
}

// Closes a descriptor while keeping errno.
void closeKeepingErrno(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
}

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) closeKeepingErrno(fd_);
  }
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) closeKeepingErrno(fd_);
      fd_ = other.release();
    }
    return *this;
  }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Reads what is left of an open file into `contents`, straight into the string's own buffer,
// sized at first for `expected` bytes (the file's size when it was examined: it may still change
// while it is read). False when it cannot be read, or holds more than `limit` bytes (EFBIG).
bool readRest(int fd, std::string& contents, std::size_t limit, std::size_t expected) {
  std::size_t used = 0;
  // One byte beyond what is expected: the read that finds the end has room to find more.
  contents.resize(std::min(expected, limit) + 1);
  for (;;) {
    if (used == contents.size()) {
      if (used > limit) {
        errno = EFBIG;
        return false;
      }
      contents.resize(std::min(std::max<std::size_t>(used * 2, 4096), limit + 1));
    }
    const ssize_t n = ::read(fd, contents.data() + used, contents.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  if (used > limit) {
    errno = EFBIG;
    return false;
  }
  contents.resize(used);
  return true;
}

std::vector<std::string> components(std::string_view path) {
  std::vector<std::string> names;
  std::size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/') ++i;
    std::size_t end = path.find('/', i);
    if (end == std::string_view::npos) end = path.size();
    if (end > i) names.emplace_back(path.substr(i, end - i));
    i = end;
  }
  // A trailing slash asks for a folder: "a/b/" is "a/b/.".
  if (!names.empty() && path.back() == '/') names.emplace_back(".");
  return names;
}

int openWithOpenat2(int rootFd, const char* path, int flags, mode_t mode) {
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
  how.mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? mode : 0;
  how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
  for (int attempt = 0; attempt < 16; ++attempt) {
    const long fd = ::syscall(SYS_openat2, rootFd, path, &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    // EAGAIN: something was renamed inside the root while the path was resolved; the kernel
    // could not be sure the result stayed inside, so it asks for another try.
    if (errno != EAGAIN && errno != EINTR) return -1;
  }
  return -1;
}

// The walk: each name is looked up in the folder reached so far, through descriptors, with
// symlinks read and spliced into the remaining names by hand. The stack holds the folders below
// the root that the walk went through, so that ".." goes back to the folder it came from and
// stops at the root.
int openByWalking(int rootFd, std::string_view path, int flags, mode_t mode) {
  std::deque<std::string> pending;
  for (std::string& name : components(path)) pending.push_back(std::move(name));
  std::vector<Descriptor> stack;
  stack.reserve(16);
  auto current = [&] { return stack.empty() ? rootFd : stack.back().get(); };
  int links = 0;
  const bool followLast =
      (flags & O_NOFOLLOW) == 0 && (flags & (O_CREAT | O_EXCL)) != (O_CREAT | O_EXCL);
  while (!pending.empty()) {
    const std::string name = std::move(pending.front());
    pending.pop_front();
    if (name == ".") {
      if (pending.empty()) return ::openat(current(), ".", flags | O_CLOEXEC, mode);
      continue;
    }
    if (name == "..") {
      if (!stack.empty()) stack.pop_back();
      if (pending.empty()) return ::openat(current(), ".", flags | O_CLOEXEC, mode);
      continue;
    }
    const bool last = pending.empty();
    if (!last || followLast) {
      char target[PATH_MAX];
      const ssize_t n = ::readlinkat(current(), name.c_str(), target, sizeof target);
      if (n >= 0) {
        if (static_cast<std::size_t>(n) == sizeof target) return failWith(ENAMETOOLONG);
        if (n == 0) return failWith(ENOENT);
        if (++links > kMaxSymlinks) return failWith(ELOOP);
        const std::string_view text(target, static_cast<std::size_t>(n));
        // An absolute target starts again from the device's root.
        if (text.front() == '/') stack.clear();
        const std::vector<std::string> spliced = components(text);
        pending.insert(pending.begin(), spliced.begin(), spliced.end());
        if (spliced.empty() && pending.empty()) {
          return ::openat(current(), ".", flags | O_CLOEXEC, mode);
        }
        continue;
      }
      if (errno != EINVAL && errno != ENOENT) return -1;
      if (errno == ENOENT && !last) return -1;
    }
    if (last) return ::openat(current(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    // Not a symlink (or no longer one: O_NOFOLLOW makes a swapped-in link fail here).
    const int next =
        ::openat(current(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return -1;
    stack.emplace_back(next);
  }
  // Only the root itself is left ("" or "/").
  return ::openat(current(), ".", flags | O_CLOEXEC, mode);
}

// What of a host path lies under the device root, or nothing (false). The host path is
// NUL-terminated, and so is what lies under the root, which points into it.
bool insideRoot(std::string_view hostFile, const char*& rest) {
  const std::string& root = deviceRoot();
  if (hostFile.compare(0, root.size(), root) != 0) return false;
  if (hostFile.size() == root.size()) {
    rest = "/";
    return true;
  }
  if (hostFile[root.size()] != '/' && root.back() != '/') return false;
  rest = hostFile.data() + root.size();
  return true;
}

// The device root's folder, opened once and kept while the root stays the same: every operation
// resolves from this descriptor instead of opening the root by its path, and closing it, each
// time. Operations on any thread share it (host/ reads and replaces files from any thread); each
// holds it while it resolves, so that a change of root never closes it under another thread's
// feet: the last holder closes it.
struct OpenRoot {
  explicit OpenRoot(int f) : fd(f) {}
  ~OpenRoot() { closeKeepingErrno(fd); }
  OpenRoot(const OpenRoot&) = delete;
  OpenRoot& operator=(const OpenRoot&) = delete;
  const int fd;
};

struct KeptRoot {
  std::mutex mutex;
  std::shared_ptr<const OpenRoot> open;
};
KeptRoot& keptRoot() {
  static auto* kept = new KeptRoot;  // lives until the process ends, as its users may
  return *kept;
}

// The kept root, opened first when there is none; null with errno set when the root cannot be
// opened, and then nothing is kept.
std::shared_ptr<const OpenRoot> deviceRootFolder() {
  KeptRoot& kept = keptRoot();
  std::lock_guard hold(kept.mutex);
  if (kept.open == nullptr) {
    const int fd = openDeviceRoot();
    if (fd < 0) return nullptr;
    kept.open = std::make_shared<const OpenRoot>(fd);
  }
  return kept.open;
}

// What the device path resolves through: the root's folder and the path inside it. With no
// device root there is no sandbox: the working directory and the path as it is.
struct Resolved {
  std::shared_ptr<const OpenRoot> root;
  const char* path = nullptr;  // NUL-terminated; lies in the host path resolved, or is "/"
  bool sandboxed() const { return root != nullptr; }
  int rootFd() const { return root->fd; }

  // A root folder removed (and made again at the same path) while the root was not set again
  // leaves the kept descriptor on a folder that has no name any more, in which every lookup fails
  // with ENOENT. After such a failure, when the kept folder has been removed, the root is opened
  // again by its path and the answer says whether to try once more; errno is kept otherwise.
  bool reopenedAfter(int result) {
    if (result >= 0 || errno != ENOENT || root == nullptr) return false;
    struct stat info {};
    if (::fstat(root->fd, &info) != 0 || info.st_nlink != 0) {
      errno = ENOENT;
      return false;
    }
    {
      KeptRoot& kept = keptRoot();
      std::lock_guard hold(kept.mutex);
      if (kept.open == root) kept.open = nullptr;
    }
    root = deviceRootFolder();
    return root != nullptr;
  }
};

// `hostFile` is NUL-terminated (a string's text, or a C string): `r.path` points into it.
bool resolveBase(std::string_view hostFile, Resolved& r) {
  if (hostFile.find('\0') != std::string_view::npos) {
    errno = EINVAL;
    return false;
  }
  if (deviceRoot().empty()) {
    r.path = hostFile.data();
    return true;
  }
  if (!insideRoot(hostFile, r.path)) {
    errno = EACCES;
    return false;
  }
  r.root = deviceRootFolder();
  return r.sandboxed();
}

// Opens a NUL-terminated path inside the root, as openInRoot does, without copying it first.
int openTerminatedInRoot(int rootFd, const char* path, int flags, mode_t mode);

// Splits a path into its folder (up to and with its last slash; empty when it has none) and
// its last name, trailing slashes ignored; false when the last name is no real name (empty, "."
// or ".."), which names no entry that can be created, renamed or removed.
bool takeLastName(std::string_view& path, std::string& name) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  name = std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
  path = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
  return !name.empty() && name != "." && name != "..";
}

// The parent of a host path, opened inside the root, and its last name.
int openParent(const std::string& hostFile, std::string& name) {
  Resolved r;
  if (!resolveBase(hostFile, r)) return -1;
  if (!r.sandboxed()) {
    std::string_view path = r.path;
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    name = std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
    if (name.empty() || name == "." || name == "..") return failWith(EINVAL);
    const std::string parent = slash == std::string_view::npos ? "."
                               : slash == 0                    ? "/"
                                                               : std::string(path.substr(0, slash));
    return ::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  int fd = openParentInRoot(r.rootFd(), r.path, name);
  if (r.reopenedAfter(fd)) fd = openParentInRoot(r.rootFd(), r.path, name);
  return fd;
}

int removeEntry(int parentFd, const std::string& name, int depth) {
  if (::unlinkat(parentFd, name.c_str(), 0) == 0 || errno == ENOENT) return 0;
  if (errno != EISDIR && errno != EPERM) return -1;
  if (depth >= kMaxRemovalDepth) return failWith(ENAMETOOLONG);
  const int dirFd =
      ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dirFd < 0) return -1;
  DIR* dir = ::fdopendir(dirFd);
  if (dir == nullptr) {
    closeKeepingErrno(dirFd);
    return -1;
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view n = entry->d_name;
    if (n != "." && n != "..") names.emplace_back(n);
  }
  int result = 0;
  for (const std::string& n : names) {
    if (removeEntry(::dirfd(dir), n, depth + 1) != 0) result = -1;
  }
  const int saved = errno;
  ::closedir(dir);
  errno = saved;
  if (result != 0) return -1;
  if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) return 0;
  return -1;
}

}  // namespace

bool isValidJbrootPrefix(std::string_view prefix) {
  return !prefix.empty() && prefix.front() == '/' && prefix.find('\0') == std::string_view::npos;
}

void setResolution(Resolution r) {
  resolution.store(r);
}

namespace {

int openTerminatedInRoot(int rootFd, const char* path, int flags, mode_t mode) {
  const std::string_view view(path);
  if (view.size() >= PATH_MAX) return failWith(ENAMETOOLONG);
  if (view.empty()) return failWith(ENOENT);
  if (resolution.load(std::memory_order_relaxed) == Resolution::Automatic &&
      !kernelLacksOpenat2.load(std::memory_order_relaxed)) {
    const int fd = openWithOpenat2(rootFd, path, flags, mode);
    if (fd >= 0 || errno != ENOSYS) return fd;
    kernelLacksOpenat2.store(true);
  }
  return openByWalking(rootFd, view, flags, mode);
}

}  // namespace

int openInRoot(int rootFd, std::string_view path, int flags, mode_t mode) {
  if (path.find('\0') != std::string_view::npos) return failWith(EINVAL);
  if (path.size() >= PATH_MAX) return failWith(ENAMETOOLONG);
  const std::string terminated(path);
  return openTerminatedInRoot(rootFd, terminated.c_str(), flags, mode);
}

int openParentInRoot(int rootFd, std::string_view path, std::string& name) {
  if (path.find('\0') != std::string_view::npos) return failWith(EINVAL);
  if (!takeLastName(path, name)) return failWith(EINVAL);
  const std::string_view parent = path.empty() ? "/" : path;
  return openInRoot(rootFd, parent, O_PATH | O_DIRECTORY);
}

void forgetDeviceRootFolder() {
  std::shared_ptr<const OpenRoot> forgotten;  // closed outside the lock, when nobody holds it
  KeptRoot& kept = keptRoot();
  std::lock_guard hold(kept.mutex);
  forgotten.swap(kept.open);
}

int openDeviceRoot() {
  const std::string& root = deviceRoot();
  if (root.empty()) return failWith(ENOENT);
  return ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

namespace {

thread_local const FolderInUse* folderInUse = nullptr;
// How many folders are in use on all threads: while none is, every operation answers at once,
// without reaching this thread's pointer (thread-local storage in a shared library costs a call).
std::atomic<int> foldersInUse{0};

}  // namespace

FolderInUse::FolderInUse(const std::string& hostFolder, int fd)
    : folder_(hostFolder), fd_(fd), outer_(folderInUse) {
  folderInUse = this;
  foldersInUse.fetch_add(1, std::memory_order_relaxed);
}

FolderInUse::~FolderInUse() {
  foldersInUse.fetch_sub(1, std::memory_order_relaxed);
  folderInUse = outer_;
}

bool FolderInUse::holds(std::string_view hostFile, int& fd, const char*& name) {
  // A folder in use on this thread was counted by this thread: with none counted, none is.
  if (foldersInUse.load(std::memory_order_relaxed) == 0) return false;
  const FolderInUse* in = folderInUse;
  if (in == nullptr || in->fd_ < 0 || deviceRoot().empty()) return false;
  const std::string& folder = in->folder_;
  if (hostFile.size() <= folder.size() + 1 || hostFile.compare(0, folder.size(), folder) != 0 ||
      hostFile[folder.size()] != '/') {
    return false;
  }
  const std::string_view rest = hostFile.substr(folder.size() + 1);
  if (rest.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos || rest == "." ||
      rest == "..") {
    return false;
  }
  fd = in->fd_;
  name = rest.data();
  return true;
}

namespace {

// An entry of the folder in use opened through its descriptor, never following a symlink: -1
// with errno, or -2 when the entry must be resolved from the root instead (it is a symlink, or
// the open asks for O_PATH, which would open a symlink itself).
int openInFolderInUse(std::string_view hostFile, int flags, mode_t mode) {
  int folder = -1;
  const char* name = nullptr;
  if ((flags & O_PATH) != 0 || !FolderInUse::holds(hostFile, folder, name)) return -2;
  const int fd = ::openat(folder, name, flags | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0 && errno == ELOOP && (flags & O_NOFOLLOW) == 0) return -2;
  return fd;
}

int openDeviceFileAt(std::string_view hostFile, int flags, mode_t mode) {
  if (const int fd = openInFolderInUse(hostFile, flags, mode); fd != -2) return fd;
  Resolved r;
  if (!resolveBase(hostFile, r)) return -1;
  if (!r.sandboxed()) return ::open(r.path, flags | O_CLOEXEC, mode);
  int fd = openTerminatedInRoot(r.rootFd(), r.path, flags, mode);
  if (r.reopenedAfter(fd)) fd = openTerminatedInRoot(r.rootFd(), r.path, flags, mode);
  return fd;
}

}  // namespace

int openDeviceFile(const std::string& hostFile, int flags, mode_t mode) {
  return openDeviceFileAt(hostFile, flags, mode);
}

int openDeviceFile(const char* hostFile, int flags, mode_t mode) {
  return openDeviceFileAt(hostFile, flags, mode);
}

namespace {

int statDeviceFileAt(std::string_view hostFile, struct stat* info) {
  int folder = -1;
  const char* name = nullptr;
  if (FolderInUse::holds(hostFile, folder, name)) {
    const int result = ::fstatat(folder, name, info, AT_SYMLINK_NOFOLLOW);
    // A symlink is examined where the device follows it to.
    if (result != 0 || !S_ISLNK(info->st_mode)) return result;
  }
  const int fd = openDeviceFileAt(hostFile, O_PATH, 0);
  if (fd < 0) return -1;
  const int result = ::fstat(fd, info);
  closeKeepingErrno(fd);
  return result;
}

}  // namespace

int statDeviceFile(const std::string& hostFile, struct stat* info) {
  return statDeviceFileAt(hostFile, info);
}

int statDeviceFile(const char* hostFile, struct stat* info) {
  return statDeviceFileAt(hostFile, info);
}

namespace {

// A path that ends in a slash names a folder, and the kernel holds rename and unlink to that:
// the last name is looked up through its symlink, and what is not a folder refuses. The
// operations below act on the last name relative to its parent, which would drop the slash and
// act on a symlink itself ("link/" renamed over would replace the link), so they ask first.
bool namesFolder(const std::string& hostPath) {
  return !hostPath.empty() && hostPath.back() == '/';
}
bool isDeviceFolder(const std::string& hostPath) {
  Descriptor folder(openDeviceFile(hostPath, O_PATH | O_DIRECTORY));
  return folder.get() >= 0;
}

}  // namespace

int renameDeviceFile(const std::string& from, const std::string& to) {
  int fromFd = -1;
  int toFd = -1;
  const char* fromEntry = nullptr;
  const char* toEntry = nullptr;
  if (FolderInUse::holds(from, fromFd, fromEntry) && FolderInUse::holds(to, toFd, toEntry)) {
    return ::renameat(fromFd, fromEntry, toFd, toEntry);
  }
  if ((namesFolder(from) || namesFolder(to)) && !isDeviceFolder(from)) return failWith(ENOTDIR);
  std::string fromName;
  std::string toName;
  Descriptor fromDir(openParent(from, fromName));
  if (fromDir.get() < 0) return -1;
  // A rename within one folder (an atomic replace's) resolves that folder once.
  std::string_view fromFolder = from;
  std::string_view toFolder = to;
  if (to.find('\0') == std::string::npos && takeLastName(fromFolder, fromName) &&
      takeLastName(toFolder, toName) && !fromFolder.empty() && fromFolder == toFolder) {
    return ::renameat(fromDir.get(), fromName.c_str(), fromDir.get(), toName.c_str());
  }
  Descriptor toDir(openParent(to, toName));
  if (toDir.get() < 0) return -1;
  return ::renameat(fromDir.get(), fromName.c_str(), toDir.get(), toName.c_str());
}

int unlinkDeviceFile(const std::string& hostFile) {
  int folder = -1;
  const char* entry = nullptr;
  if (FolderInUse::holds(hostFile, folder, entry)) return ::unlinkat(folder, entry, 0);
  if (namesFolder(hostFile)) return failWith(isDeviceFolder(hostFile) ? EISDIR : ENOTDIR);
  std::string name;
  Descriptor dir(openParent(hostFile, name));
  if (dir.get() < 0) return -1;
  return ::unlinkat(dir.get(), name.c_str(), 0);
}

int makeDeviceDirectories(const std::string& hostFolder, mode_t mode) {
  // A folder that is already there, as a folder all the way, has nothing to make: one resolution.
  {
    Descriptor folder(openDeviceFile(hostFolder, O_PATH | O_DIRECTORY));
    if (folder.get() >= 0) return 0;
  }
  // Each folder of the path in turn, from the top: each mkdir lands in its parent as resolved
  // inside the root, so a symlink on the way is followed as on the device and never out.
  std::string prefix;
  std::size_t i = 0;
  const std::string& root = deviceRoot();
  if (!root.empty() && hostFolder.compare(0, root.size(), root) == 0) {
    prefix = root;
    i = root.size();
  }
  while (i < hostFolder.size()) {
    std::size_t end = hostFolder.find('/', i + 1);
    if (end == std::string::npos) end = hostFolder.size();
    prefix.append(hostFolder, i, end - i);
    i = end;
    const std::string_view last = std::string_view(prefix).substr(prefix.rfind('/') + 1);
    if (last.empty() || last == "." || last == "..") continue;
    std::string name;
    Descriptor parent(openParent(prefix, name));
    if (parent.get() < 0) return -1;
    if (::mkdirat(parent.get(), name.c_str(), mode) != 0 && errno != EEXIST) return -1;
  }
  Descriptor folder(openDeviceFile(hostFolder, O_PATH | O_DIRECTORY));
  return folder.get() < 0 ? -1 : 0;
}

int removeDeviceTree(const std::string& hostPath) {
  std::string name;
  Descriptor parent(openParent(hostPath, name));
  if (parent.get() < 0) return errno == ENOENT ? 0 : -1;
  return removeEntry(parent.get(), name, 0);
}

int checkReadableFile(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return -1;
  if (S_ISDIR(info.st_mode)) return failWith(EISDIR);
  if (!S_ISREG(info.st_mode)) return failWith(ENXIO);
  if (info.st_size > static_cast<off_t>(kMaxReadableFileSize)) return failWith(EFBIG);
  return 0;
}

bool readDeviceFile(const std::string& hostFile, std::string& contents) {
  contents.clear();
  Descriptor fd(openDeviceFile(hostFile, O_RDONLY | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0 || checkReadableFile(fd.get()) != 0) return false;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || contents.size() + static_cast<std::size_t>(std::max<ssize_t>(n, 0)) >
                     kMaxReadableFileSize) {
      if (n >= 0) errno = EFBIG;
      contents.clear();
      return false;
    }
    if (n == 0) return true;
    contents.append(buffer, static_cast<std::size_t>(n));
  }
}

void putDeviceFile(const std::string& hostFile, const std::string& contents, mode_t mode) {
  auto fail = [&](const std::string& what) {
    throw std::runtime_error("cannot write " + hostFile + ": " + what + " (" +
                             std::strerror(errno) + ")");
  };
  const std::size_t slash = hostFile.rfind('/');
  if (slash != std::string::npos && slash > 0 &&
      makeDeviceDirectories(hostFile.substr(0, slash)) != 0) {
    fail("cannot make its folder");
  }
  // A writer killed in the middle left its temporary: swept, as every replacement sweeps them.
  removeStaleTemporaries(hostFile);
  static std::atomic<unsigned> counter{0};
  std::string temporary;
  Descriptor out;
  for (int attempt = 0; attempt < 100 && out.get() < 0; ++attempt) {
    temporary = hostFile + ".hbtmp." + std::to_string(::getpid()) + "." +
                std::to_string(counter.fetch_add(1));
    out = Descriptor(openDeviceFile(temporary, O_WRONLY | O_CREAT | O_EXCL, mode));
    if (out.get() < 0 && errno != EEXIST) fail("cannot create a temporary file");
  }
  if (out.get() < 0) fail("cannot create a temporary file");
  std::size_t done = 0;
  while (done < contents.size()) {
    const ssize_t n = ::write(out.get(), contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      const int saved = errno;
      unlinkDeviceFile(temporary);
      errno = saved;
      fail("cannot write");
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(out.release()) != 0 || renameDeviceFile(temporary, hostFile) != 0) {
    const int saved = errno;
    unlinkDeviceFile(temporary);
    errno = saved;
    fail("cannot put it in place");
  }
}

void installDeviceFile(const std::string& from, const std::string& hostFile) {
  registerBuiltLibrary(from);
  std::string contents;
  {
    // The payload comes from the build, outside the device: read as it is.
    Descriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    const std::size_t expected =
        in.get() >= 0 && ::fstat(in.get(), &info) == 0 && S_ISREG(info.st_mode)
            ? static_cast<std::size_t>(info.st_size)
            : 0;
    if (in.get() < 0 || !readRest(in.get(), contents, contents.max_size() - 1, expected)) {
      throw std::runtime_error("cannot read " + from + " (" + std::strerror(errno) + ")");
    }
  }
  putDeviceFile(hostFile, contents, 0755);
}

namespace {

// The build's libraries that a device may run, and, for each copy loaded, the device file it was
// loaded as (the loader resolves "$ORIGIN" and libroot finds its prefix file from there).
struct BuiltLibraries {
  std::mutex mutex;
  std::vector<std::string> files;
  std::vector<std::pair<std::string, std::string>> loadedAs;  // private copy, device file
};
BuiltLibraries& builtLibraries() {
  static auto* libraries = new BuiltLibraries;
  return *libraries;
}

// No library of the build comes near this size; a larger device file is none of them.
constexpr std::size_t kMaxLibrarySize = std::size_t{512} << 20;

// Loads `contents` as a library of its own: written to a private folder outside the device
// (made afresh, mode 0700), opened, then removed, so that each load is a fresh copy and nothing
// in the device folder, whatever it holds or however it changes meanwhile, is ever mapped as code.
void* loadPrivateCopy(const std::string& contents, const std::string& name, int mode,
                      std::string& loadedFile, std::string& why) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/harbrite-library-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    why = std::string("cannot make a folder for its copy (") + std::strerror(errno) + ")";
    return nullptr;
  }
  static std::atomic<unsigned> counter{0};
  loadedFile = pattern + "/" + name + "." + std::to_string(::getpid()) + "." +
               std::to_string(counter.fetch_add(1));
  void* handle = nullptr;
  {
    Descriptor out(::open(loadedFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0700));
    std::size_t done = 0;
    while (out.get() >= 0 && done < contents.size()) {
      const ssize_t n = ::write(out.get(), contents.data() + done, contents.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    if (out.get() < 0 || done != contents.size()) {
      why = std::string("cannot write its copy (") + std::strerror(errno) + ")";
    } else if (::close(out.release()) != 0) {
      why = std::string("cannot write its copy (") + std::strerror(errno) + ")";
    } else {
      handle = ::dlopen(loadedFile.c_str(), mode);
      if (handle == nullptr) {
        const char* error = ::dlerror();
        why = error != nullptr ? error : "cannot be loaded";
      }
    }
  }
  ::unlink(loadedFile.c_str());
  ::rmdir(pattern.c_str());
  return handle;
}

}  // namespace

void registerBuiltLibrary(const std::string& buildFile) {
  BuiltLibraries& b = builtLibraries();
  std::lock_guard<std::mutex> hold(b.mutex);
  if (std::find(b.files.begin(), b.files.end(), buildFile) == b.files.end()) {
    b.files.push_back(buildFile);
  }
}

std::string deviceFileOfLibrary(const std::string& loadedFile) {
  BuiltLibraries& b = builtLibraries();
  std::lock_guard<std::mutex> hold(b.mutex);
  for (const auto& [copy, deviceFile] : b.loadedAs) {
    if (copy == loadedFile) return deviceFile;
  }
  return loadedFile;
}

void* loadDeviceLibrary(const std::string& hostFile, int mode, std::string* error) {
  auto fail = [&](const std::string& why) -> void* {
    if (error != nullptr) *error = hostFile + ": " + why;
    return nullptr;
  };
  auto failErrno = [&]() -> void* { return fail(std::strerror(errno)); };
  if (deviceRoot().empty()) {
    struct stat info {};
    if (::stat(hostFile.c_str(), &info) != 0) return failErrno();
    if (!S_ISREG(info.st_mode)) return fail("not a file");
    void* handle = ::dlopen(hostFile.c_str(), mode);
    if (handle == nullptr) {
      const char* why = ::dlerror();
      return fail(why != nullptr ? why : "cannot be loaded");
    }
    return handle;
  }
  // What the device shows: the file, opened inside the root.
  Descriptor fd(openDeviceFile(hostFile, O_RDONLY | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) return failErrno();
  struct stat opened {};
  if (::fstat(fd.get(), &opened) != 0) return failErrno();
  if (!S_ISREG(opened.st_mode)) return fail("not a file");
  if (static_cast<std::size_t>(opened.st_size) > kMaxLibrarySize) {
    return fail("not a library this build made");
  }
  std::string shown;
  if (!readRest(fd.get(), shown, kMaxLibrarySize, static_cast<std::size_t>(opened.st_size))) {
    return failErrno();
  }
  // What runs: the build's own library whose bytes the device shows, never the device's file.
  std::vector<std::string> candidates;
  {
    BuiltLibraries& b = builtLibraries();
    std::lock_guard<std::mutex> hold(b.mutex);
    candidates = b.files;
  }
  for (const std::string& candidate : candidates) {
    // Examined once: a file of another size is none of them; one that changes meanwhile fails the
    // comparison of its bytes.
    struct stat info {};
    if (::stat(candidate.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::size_t>(info.st_size) != shown.size()) {
      continue;
    }
    Descriptor in(::open(candidate.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    std::string built;
    if (in.get() < 0 || !readRest(in.get(), built, kMaxLibrarySize, shown.size()) ||
        built != shown) {
      continue;
    }
    const std::size_t slash = hostFile.rfind('/');
    std::string loadedFile, why;
    void* handle = loadPrivateCopy(built, hostFile.substr(slash + 1), mode, loadedFile, why);
    if (handle == nullptr) return fail(why);
    BuiltLibraries& b = builtLibraries();
    std::lock_guard<std::mutex> hold(b.mutex);
    b.loadedAs.emplace_back(loadedFile, hostFile);
    return handle;
  }
  return fail("not a library this build made (harbrite-sim runs only its own)");
}

namespace {
// How long a layout waits for another process's hold of the device's lock: 10 s, or
// HARBRITE_LOCK_WAIT_MS milliseconds.
std::chrono::milliseconds lockWait() {
  const char* text = std::getenv("HARBRITE_LOCK_WAIT_MS");
  if (text != nullptr && *text != '\0') {
    char* end = nullptr;
    const long long ms = std::strtoll(text, &end, 10);
    if (*end == '\0' && ms >= 0 && ms <= 3'600'000) return std::chrono::milliseconds(ms);
  }
  return std::chrono::milliseconds(10'000);
}

struct LockState {
  std::recursive_mutex mutex;
  int depth = 0;
  int fd = -1;
};
LockState& lockState() {
  static auto* state = new LockState;
  return *state;
}
}  // namespace

DeviceLock::DeviceLock() {
  LockState& s = lockState();
  s.mutex.lock();
  if (s.depth++ > 0 || deviceRoot().empty()) return;
  auto fail = [&](const char* what) {
    const std::string message =
        std::string("cannot lock the device folder: ") + what + " (" + std::strerror(errno) + ")";
    --s.depth;
    s.mutex.unlock();
    throw std::runtime_error(message);
  };
  const int fd = openDeviceFile(deviceRoot() + "/.harbrite-lock",
                                O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0644);
  if (fd < 0) fail("cannot open its lock file");
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    fail("its lock file is not a file");
  }
  // Another process lays the device out in well under a second: a lock held for longer is held
  // by something that does not let go, and waiting for ever would hang this one.
  const auto deadline = std::chrono::steady_clock::now() + lockWait();
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      closeKeepingErrno(fd);
      fail("flock");
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      char holder[32] = {};
      const ssize_t n = ::pread(fd, holder, sizeof holder - 1, 0);
      std::string who = n > 0 ? std::string(holder, static_cast<std::size_t>(n)) : "";
      who.erase(std::remove_if(who.begin(), who.end(), [](char c) { return c < '0' || c > '9'; }),
                who.end());
      ::close(fd);
      errno = EWOULDBLOCK;
      fail(("another process holds it" + (who.empty() ? "" : " (process " + who + ")") +
            ", and has not let go for " + std::to_string(lockWait().count()) + " ms")
               .c_str());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Whoever waits for the lock can say who holds it.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0) {
    const ssize_t written = ::pwrite(fd, pid.data(), pid.size(), 0);
    static_cast<void>(written);
  }
  s.fd = fd;
}

DeviceLock::~DeviceLock() {
  LockState& s = lockState();
  if (--s.depth == 0 && s.fd >= 0) {
    ::close(s.fd);
    s.fd = -1;
  }
  s.mutex.unlock();
}

}  // namespace hostsim
