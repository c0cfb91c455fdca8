// The tests' fault-injecting file layer: it tells the steps of an atomic replacement apart (the
// old file's stat, the temporary's creation, each write into it, its fchmod, fsync and close,
// the rename, the directory's open, fsync and close) and makes the chosen calls of the armed
// steps fail, one fault per step.
#pragma once

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "hostsim/FileLayer.h"

namespace harbrite::test {

enum class Step {
  Stat,
  CreateTemporary,
  Write,
  Fchmod,
  Fsync,
  Close,
  Rename,
  OpenDirectory,
  SyncDirectory,
  CloseDirectory,
  OpenForReading,
  Read,
  Unlink,
  Count
};

inline const char* stepName(Step step) {
  static const char* const names[] = {
      "stat",     "create temporary", "write",     "fchmod",    "fsync", "close", "rename",
      "open dir", "fsync dir",        "close dir", "open read", "read",  "unlink"};
  return names[static_cast<int>(step)];
}

enum class Failure {
  Error,           // the call fails with `error`, having done nothing
  NoProgress,      // a write that writes nothing and answers 0
  ShortThenError,  // a write that writes part of its bytes; the next write fails with `error`
  Interrupted,     // the call is interrupted (EINTR) before it does anything
};

// Which call of which step fails, and how. Occurrences count from 1; kEvery hits every call of
// the step (an interrupted write then hits every other call, so that retries make progress).
struct Fault {
  static constexpr int kEvery = 0;
  Step step = Step::Write;
  int occurrence = 1;
  Failure how = Failure::Error;
  int error = EIO;

  std::string describe() const {
    std::string text = std::string(stepName(step)) + " #" +
                       (occurrence == kEvery ? std::string("every") : std::to_string(occurrence));
    switch (how) {
      case Failure::Error:
        return text + " fails with " + strerrorname(error);
      case Failure::NoProgress:
        return text + " writes nothing";
      case Failure::ShortThenError:
        return text + " is short, then " + strerrorname(error);
      case Failure::Interrupted:
        return text + " is interrupted";
    }
    return text;
  }
  static std::string strerrorname(int e) {
    switch (e) {
      case EIO:
        return "EIO";
      case ENOSPC:
        return "ENOSPC";
      case EDQUOT:
        return "EDQUOT";
      case EACCES:
        return "EACCES";
      case EPERM:
        return "EPERM";
      case EEXIST:
        return "EEXIST";
      case EMFILE:
        return "EMFILE";
      case EXDEV:
        return "EXDEV";
      case EBUSY:
        return "EBUSY";
      case EROFS:
        return "EROFS";
      case EFBIG:
        return "EFBIG";
      default:
        return std::to_string(e);
    }
  }
};

class StepLayer : public hostsim::FileLayerWrapper {
 public:
  // Writes into the temporary are cut to at most `maxWrite` bytes per call, so that a file of a
  // few hundred bytes takes several writes and each of them can be failed on its own.
  explicit StepLayer(std::size_t maxWrite = SIZE_MAX)
      : FileLayerWrapper(hostsim::posixFileLayer()), maxWrite_(maxWrite) {}

  // Several faults may be armed at once, each on a step of its own.
  void arm(const Fault& fault) { faults_.push_back(fault); }
  bool fired() const { return fired_; }
  int calls(Step step) const { return calls_[static_cast<int>(step)]; }
  // The bytes asked of each write into the temporary, in order (after the cut).
  const std::vector<std::size_t>& writeSizes() const { return writeSizes_; }

  int open(const char* path, int flags, mode_t mode) override {
    const Step step = (flags & O_DIRECTORY) != 0                           ? Step::OpenDirectory
                      : (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL) ? Step::CreateTemporary
                                                                           : Step::OpenForReading;
    if (int e = take(step)) return failWith(e);
    const int fd = FileLayerWrapper::open(path, flags, mode);
    if (step == Step::OpenDirectory) directoryFd_ = fd;
    if (step == Step::CreateTemporary) temporaryFd_ = fd;
    return fd;
  }
  ssize_t read(int fd, void* buffer, std::size_t size) override {
    if (int e = take(Step::Read)) return failWith(e);
    return FileLayerWrapper::read(fd, buffer, size);
  }
  ssize_t write(int fd, const void* buffer, std::size_t size) override {
    if (fd != temporaryFd_) return FileLayerWrapper::write(fd, buffer, size);
    size = std::min(size, maxWrite_);
    writeSizes_.push_back(size);
    if (errorOnNextWrite_ != 0) {
      ++calls_[static_cast<int>(Step::Write)];
      return failWith(std::exchange(errorOnNextWrite_, 0));
    }
    const int occurrence = ++calls_[static_cast<int>(Step::Write)];
    if (const Fault* fault = hitting(Step::Write, occurrence)) {
      fired_ = true;
      switch (fault->how) {
        case Failure::Error:
          return failWith(fault->error);
        case Failure::Interrupted:
          return failWith(EINTR);
        case Failure::NoProgress:
          return 0;
        case Failure::ShortThenError:
          errorOnNextWrite_ = fault->error;
          return FileLayerWrapper::write(fd, buffer, size > 1 ? size / 2 : size);
      }
    }
    return FileLayerWrapper::write(fd, buffer, size);
  }
  int fchmod(int fd, mode_t mode) override {
    if (int e = take(Step::Fchmod)) return failWith(e);
    return FileLayerWrapper::fchmod(fd, mode);
  }
  int fsync(int fd) override {
    if (int e = take(fd == directoryFd_ ? Step::SyncDirectory : Step::Fsync)) return failWith(e);
    return FileLayerWrapper::fsync(fd);
  }
  int close(int fd) override {
    Step step = Step::Count;
    if (fd == temporaryFd_) step = Step::Close, temporaryFd_ = -1;
    if (fd == directoryFd_) step = Step::CloseDirectory, directoryFd_ = -1;
    const int result = FileLayerWrapper::close(fd);
    // A failing close has still released the descriptor, as close(2) does on Linux.
    if (step != Step::Count) {
      if (int e = take(step)) return failWith(e);
    }
    return result;
  }
  int rename(const char* from, const char* to) override {
    if (int e = take(Step::Rename)) return failWith(e);
    return FileLayerWrapper::rename(from, to);
  }
  int unlink(const char* path) override {
    if (int e = take(Step::Unlink)) return failWith(e);
    return FileLayerWrapper::unlink(path);
  }
  int stat(const char* path, struct stat* info) override {
    if (int e = take(Step::Stat)) return failWith(e);
    return FileLayerWrapper::stat(path, info);
  }

 private:
  // The armed fault that this call of the step meets, if any.
  const Fault* hitting(Step step, int occurrence) const {
    for (const Fault& fault : faults_) {
      if (fault.step != step) continue;
      if (fault.occurrence != Fault::kEvery) {
        if (occurrence == fault.occurrence) return &fault;
      } else if (fault.how != Failure::Interrupted || occurrence % 2 == 1) {
        return &fault;
      }
    }
    return nullptr;
  }
  // Counts the call; answers the errno it must fail with, or 0 to let it through.
  int take(Step step) {
    const int occurrence = ++calls_[static_cast<int>(step)];
    const Fault* fault = hitting(step, occurrence);
    if (fault == nullptr) return 0;
    fired_ = true;
    return fault->how == Failure::Interrupted ? EINTR : fault->error;
  }
  static int failWith(int error) {
    errno = error;
    return -1;
  }

  std::size_t maxWrite_;
  std::vector<Fault> faults_;
  bool fired_ = false;
  int errorOnNextWrite_ = 0;
  int temporaryFd_ = -1;
  int directoryFd_ = -1;
  std::array<int, static_cast<int>(Step::Count)> calls_{};
  std::vector<std::size_t> writeSizes_;
};

}  // namespace harbrite::test
