// The C library's general utilities, as iOS's libSystem exports them.
#pragma once

#include "darwin_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
  int quot;
  int rem;
} div_t;
typedef struct {
  long quot;
  long rem;
} ldiv_t;
typedef struct {
  long long quot;
  long long rem;
} lldiv_t;

#define EXIT_SUCCESS 0
#define EXIT_FAILURE 1
#define RAND_MAX 0x7fffffff
#define MB_CUR_MAX 1

void* malloc(size_t size);
void* calloc(size_t count, size_t size);
void* realloc(void* ptr, size_t size);
void free(void* ptr);
void* aligned_alloc(size_t alignment, size_t size);
int posix_memalign(void** result, size_t alignment, size_t size);
void abort(void) __attribute__((noreturn));
void exit(int status) __attribute__((noreturn));
void _Exit(int status) __attribute__((noreturn));
int atexit(void (*function)(void));
int at_quick_exit(void (*function)(void));
void quick_exit(int status) __attribute__((noreturn));
char* getenv(const char* name);
int system(const char* command);
int abs(int value) __attribute__((const));
long labs(long value) __attribute__((const));
long long llabs(long long value) __attribute__((const));
div_t div(int numerator, int denominator);
ldiv_t ldiv(long numerator, long denominator);
lldiv_t lldiv(long long numerator, long long denominator);
double atof(const char* text);
int atoi(const char* text);
long atol(const char* text);
long long atoll(const char* text);
double strtod(const char* text, char** end);
float strtof(const char* text, char** end);
long double strtold(const char* text, char** end);
long strtol(const char* text, char** end, int base);
long long strtoll(const char* text, char** end, int base);
unsigned long strtoul(const char* text, char** end, int base);
unsigned long long strtoull(const char* text, char** end, int base);
int rand(void);
void srand(unsigned seed);
unsigned arc4random(void);
void qsort(void* base, size_t count, size_t size, int (*compare)(const void*, const void*));
void* bsearch(const void* key, const void* base, size_t count, size_t size,
              int (*compare)(const void*, const void*));
int mblen(const char* s, size_t n);
// The variant that accepts a null buffer and fails with ENOENT for a missing path is the
// platform's default name for realpath on iOS.
int mkstemp(char* pathTemplate);
char* realpath(const char* path, char* resolved) __asm("_realpath$DARWIN_EXTSN");

#ifdef __cplusplus
}
#endif
