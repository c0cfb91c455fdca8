// File control, with Darwin's flag values (they differ from Linux's).
#pragma once

#include "darwin_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

#define O_RDONLY 0x0000
#define O_WRONLY 0x0001
#define O_RDWR 0x0002
#define O_NONBLOCK 0x0004
#define O_APPEND 0x0008
#define O_NOFOLLOW 0x0100
#define O_CREAT 0x0200
#define O_TRUNC 0x0400
#define O_EXCL 0x0800
#define O_DIRECTORY 0x100000
#define O_CLOEXEC 0x1000000

#define F_GETFD 1
#define F_SETFD 2
#define F_GETFL 3
#define F_SETFL 4
// Asks the drive itself to write its cache to the medium: fsync alone on Darwin only hands the
// data to the drive.
#define F_FULLFSYNC 51

// Variadic on the platform: the mode and fcntl's argument travel on the stack on arm64 Darwin,
// so a prototype with fixed parameters would pass them in the wrong place.
int open(const char* path, int flags, ...);
int fcntl(int fd, int command, ...);

#ifdef __cplusplus
}
static_assert(O_CREAT == 0x200 && O_EXCL == 0x800 && O_CLOEXEC == 0x1000000, "Darwin open flags");
static_assert(F_FULLFSYNC == 51, "Darwin's F_FULLFSYNC");
#endif
