// Child processes for the tests. A child runs one function and leaves with _exit, so that
// nothing the parent owns (the test device's folder above all) is torn down by the child too.
#pragma once

#include <poll.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <iostream>

namespace harbrite::test {

// Starts a child that runs `body` and exits with its answer (1 when it throws).
inline pid_t spawn(const std::function<int()>& body) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    int code = 1;
    try {
      code = body();
    } catch (...) {
    }
    ::_exit(code);
  }
  return pid;
}

// Waits for the child; answers its wait status.
inline int reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

inline bool writeFully(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Reads exactly `size` bytes; false at end of file or on error.
inline bool readFully(int fd, void* data, std::size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Whether the descriptor has something to read (or has reached its end), without waiting.
inline bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

class Pipe {
 public:
  Pipe() {
    int fds[2];
    if (::pipe(fds) == 0) {
      read_ = fds[0];
      write_ = fds[1];
    }
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  int readEnd() const { return read_; }
  int writeEnd() const { return write_; }
  void closeRead() {
    if (read_ >= 0) ::close(read_);
    read_ = -1;
  }
  void closeWrite() {
    if (write_ >= 0) ::close(write_);
    write_ = -1;
  }

 private:
  int read_ = -1;
  int write_ = -1;
};

}  // namespace harbrite::test
