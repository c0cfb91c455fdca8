// stat with the 64-bit inode layout that is the only one on arm64 (no $INODE64 suffix there).
#pragma once

#include "darwin_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

struct stat {
  dev_t st_dev;
  mode_t st_mode;
  nlink_t st_nlink;
  ino_t st_ino;
  uid_t st_uid;
  gid_t st_gid;
  dev_t st_rdev;
  struct timespec st_atimespec;
  struct timespec st_mtimespec;
  struct timespec st_ctimespec;
  struct timespec st_birthtimespec;
  off_t st_size;
  blkcnt_t st_blocks;
  blksize_t st_blksize;
  unsigned int st_flags;
  unsigned int st_gen;
  int st_lspare;
  long long st_qspare[2];
};

#define S_IFMT 0170000
#define S_IFREG 0100000
#define S_IFDIR 0040000
#define S_ISREG(m) (((m)&S_IFMT) == S_IFREG)
#define S_ISDIR(m) (((m)&S_IFMT) == S_IFDIR)

int stat(const char* path, struct stat* result);
int fstat(int fd, struct stat* result);

#ifdef __cplusplus
}
static_assert(sizeof(struct stat) == 144, "Darwin arm64 struct stat");
static_assert(offsetof(struct stat, st_size) == 96, "Darwin arm64 st_size");
#endif
