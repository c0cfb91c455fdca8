// POSIX I/O calls, as iOS's libSystem exports them.
#pragma once

#include "darwin_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

ssize_t read(int fd, void* buffer, size_t size);
ssize_t write(int fd, const void* buffer, size_t size);
int close(int fd);
int fsync(int fd);
int unlink(const char* path);
int fchmod(int fd, mode_t mode);
pid_t getpid(void);

#ifdef __cplusplus
}
#endif
