// The C library's time functions, as iOS's libSystem exports them.
#pragma once

#include "darwin_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

struct tm {
  int tm_sec;
  int tm_min;
  int tm_hour;
  int tm_mday;
  int tm_mon;
  int tm_year;
  int tm_wday;
  int tm_yday;
  int tm_isdst;
  long tm_gmtoff;
  char* tm_zone;
};

#define CLOCKS_PER_SEC 1000000
#define CLOCK_REALTIME 0
#define CLOCK_MONOTONIC 6
#define CLOCK_MONOTONIC_RAW 4
#define TIME_UTC 1

clock_t clock(void);
double difftime(time_t end, time_t start);
time_t mktime(struct tm* tm);
time_t time(time_t* result);
char* asctime(const struct tm* tm);
char* ctime(const time_t* t);
struct tm* gmtime(const time_t* t);
struct tm* localtime(const time_t* t);
struct tm* gmtime_r(const time_t* t, struct tm* result);
struct tm* localtime_r(const time_t* t, struct tm* result);
size_t strftime(char* s, size_t n, const char* format, const struct tm* tm);
int timespec_get(struct timespec* ts, int base);
int nanosleep(const struct timespec* request, struct timespec* remaining);
int clock_gettime(clockid_t clock, struct timespec* ts);

#ifdef __cplusplus
}
#endif
