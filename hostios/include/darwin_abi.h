// The Darwin arm64 types the C library headers here share, with the layouts iOS's libSystem
// uses (its public ABI: sizes and offsets held below, so a wrong declaration fails to compile).
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef long ssize_t;
typedef long long off_t;
typedef unsigned short mode_t;
typedef int pid_t;
typedef unsigned int uid_t;
typedef unsigned int gid_t;
typedef int dev_t;
typedef unsigned long long ino_t;
typedef unsigned short nlink_t;
typedef long long blkcnt_t;
typedef int blksize_t;
typedef long time_t;
typedef unsigned long clock_t;
typedef int clockid_t;
typedef int useconds_t;

struct timespec {
  time_t tv_sec;
  long tv_nsec;
};

// mbstate_t: 128 bytes of conversion state, aligned for a long long.
typedef union {
  char __mbstate8[128];
  long long _mbstateL;
} mbstate_t;

#ifdef __cplusplus
}
static_assert(sizeof(long) == 8 && sizeof(void*) == 8, "arm64 is LP64");
static_assert(sizeof(long double) == 8, "long double is double on Darwin arm64");
static_assert(sizeof(wchar_t) == 4, "wchar_t is 32 bits on Darwin");
static_assert(sizeof(mbstate_t) == 128, "Darwin's mbstate_t is 128 bytes");
static_assert(sizeof(off_t) == 8 && sizeof(mode_t) == 2, "Darwin's off_t and mode_t");
static_assert(sizeof(struct timespec) == 16, "timespec: two longs");
#endif
