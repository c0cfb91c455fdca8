// The device folder is a sandbox. Every path the simulated platform opens, creates, renames or
// removes is resolved here, inside the device's root directory, as the device itself would
// resolve it: ".." stops at the root, and a symlink found inside the device is followed as on the
// device (an absolute target starts again from the root), so no path, whatever a scenario or the
// folder holds, reaches anything outside.
//
// Resolution uses Linux's openat2 with RESOLVE_IN_ROOT; where the kernel lacks it (ENOSYS), the
// path is walked component by component through directory descriptors, never handing the kernel
// more than one name at a time.
//
// The functions taking a `hostFile` take the host path of a device file as hostPath() gives it:
// the device root followed by the device path. The part after the root is resolved inside the
// root; a path that does not lie under the root at all is refused with EACCES. With no device
// root set, paths are used as they are.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>

namespace hostsim {

// A jbroot prefix the device can use: an absolute path without NUL. Anything else (empty,
// relative, holding NUL) is bad input.
bool isValidJbrootPrefix(std::string_view prefix);

// Opens `path` inside the directory `rootFd` as the device would resolve it (a leading "/" names
// the root itself). -1 and errno on failure; EINVAL for a path holding NUL, ENAMETOOLONG for one
// of PATH_MAX bytes or more. O_CLOEXEC is always added.
int openInRoot(int rootFd, std::string_view path, int flags, mode_t mode = 0);

// Opens the folder that holds the last name of `path`, inside the root, and gives that name.
// The last name must be a real name: a path ending in "." or ".." (or naming the root) names no
// entry that can be created, renamed or removed, and is refused with EINVAL. Trailing slashes
// are ignored.
int openParentInRoot(int rootFd, std::string_view path, std::string& name);

// How paths are resolved; openat2 when the kernel has it. Tests pin the walk to compare the two.
enum class Resolution { Automatic, Walk };
void setResolution(Resolution resolution);

// The device root's own directory, opened for resolution (O_PATH); -1 and errno on failure.
int openDeviceRoot();
// The file operations below resolve from the root's directory opened once and kept open (any
// thread may use it at once). setDeviceRoot forgets it, so that the next operation opens the
// root then named, even at the same path: a new device in a new folder there. A root folder
// removed meanwhile is noticed by the first lookup that fails in it, and opened again.
void forgetDeviceRootFolder();

// The file operations of the simulated platform on device files given as host paths (open and
// stat also as C strings, as the file layer passes them, so that no copy is made).
int openDeviceFile(const std::string& hostFile, int flags, mode_t mode = 0);
int openDeviceFile(const char* hostFile, int flags, mode_t mode = 0);
int statDeviceFile(const std::string& hostFile, struct stat* info);
int statDeviceFile(const char* hostFile, struct stat* info);
int renameDeviceFile(const std::string& from, const std::string& to);
int unlinkDeviceFile(const std::string& hostFile);
// A folder one thread works in for a moment (an atomic replacement: the old file examined, the
// temporary made and renamed over it, stale temporaries removed, the folder synced). While it is
// in use, that thread's operations above on a name directly inside it (the folder's host path, a
// slash, one name) act through `fd` instead of resolving the folder inside the root again; a name
// that is a symlink is still resolved from the root, as the device follows it. `fd` is the
// folder, opened by the caller through openDeviceFile, and stays the caller's to close. Lives on
// the stack of the thread that works in the folder, inside the one operation.
class FolderInUse {
 public:
  FolderInUse(const std::string& hostFolder, int fd);
  ~FolderInUse();
  FolderInUse(const FolderInUse&) = delete;
  FolderInUse& operator=(const FolderInUse&) = delete;

  // Whether `hostFile` (NUL-terminated) names an entry directly inside the folder in use on this
  // thread: then its descriptor, and the entry's name (pointing into `hostFile`).
  static bool holds(std::string_view hostFile, int& fd, const char*& name);

 private:
  const std::string& folder_;
  int fd_;
  const FolderInUse* outer_;
};

// mkdir -p: every missing folder of the path, inside the root. 0 when the path is a folder.
int makeDeviceDirectories(const std::string& hostFolder, mode_t mode = 0755);
// Removes the file or the whole folder (symlinks inside it are removed, never followed). 0 also
// when there was nothing to remove.
int removeDeviceTree(const std::string& hostPath);

// Whether an open file may be read whole: 0 for a regular file of at most kMaxReadableFileSize
// bytes (hostsim/FileLayer.h); otherwise -1 with errno EISDIR (a folder), ENXIO (a FIFO, socket
// or device node) or EFBIG (too large).
int checkReadableFile(int fd);

// Reads a device file whole, not through the fault seam (the device's own files: libroot's
// prefix). Opens without blocking and reads only what checkReadableFile allows. On failure
// answers false with errno set.
bool readDeviceFile(const std::string& hostFile, std::string& contents);

// Writes a device file as the device's set-up does (not through the fault seam): its folders
// made, a uniquely named temporary beside the target, then a rename over it, so that two
// processes writing the same file at once both succeed and the file is always whole. A new file
// each time, so that the loader never mistakes it for one it has already loaded. Throws
// std::runtime_error on failure.
void putDeviceFile(const std::string& hostFile, const std::string& contents, mode_t mode = 0644);
// The same with the bytes of a host file (the build's payload, outside the device).
void installDeviceFile(const std::string& from, const std::string& hostFile);

// dlopen of a device file. No code is ever loaded from the device folder: the file, opened
// inside the root, is only what the device shows; what runs is a fresh private copy (outside the
// device) of the build's own library with the same bytes. A file that is none of the build's
// libraries (registerBuiltLibrary), or that is not a regular file, does not load. nullptr on
// failure, with the reason in `error` when given. With no device root set, the file itself loads.
void* loadDeviceLibrary(const std::string& hostFile, int mode, std::string* error = nullptr);
// A library of the build that a device may run (the engine, libroot, BackBoardServices, the
// pane). installDeviceFile registers what it installs.
void registerBuiltLibrary(const std::string& buildFile);
// The device file (a host path) that a library loaded by loadDeviceLibrary was loaded as, given
// the file the process loaded (its private copy, as dladdr names it); any other file as it is.
std::string deviceFileOfLibrary(const std::string& loadedFile);

// While an instance lives, this process holds the lock on the device folder (a file lock on
// "/.harbrite-lock" inside it): laying the device out, and loading what was laid out, happen
// under it, so that two processes starting on one device never see each other's half-made
// layout. Re-entrant within a process. Throws std::runtime_error when the lock cannot be taken.
class DeviceLock {
 public:
  DeviceLock();
  ~DeviceLock();
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;
};

}  // namespace hostsim
