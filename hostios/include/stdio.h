// The C library's standard I/O, as iOS's libSystem exports it (FILE is opaque to us).
#pragma once

#include <stdarg.h>

#include "darwin_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct __sFILE FILE;
typedef long long fpos_t;

#define EOF (-1)
#define BUFSIZ 1024
#define FILENAME_MAX 1024
#define FOPEN_MAX 20
#define L_tmpnam 1024
#define TMP_MAX 308915776
#define SEEK_SET 0
#define SEEK_CUR 1
#define SEEK_END 2
#define _IOFBF 0
#define _IOLBF 1
#define _IONBF 2

extern FILE* __stdinp;
extern FILE* __stdoutp;
extern FILE* __stderrp;
#define stdin __stdinp
#define stdout __stdoutp
#define stderr __stderrp

int snprintf(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int vsnprintf(char* buffer, size_t size, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));
int fprintf(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
int vfprintf(FILE* stream, const char* format, va_list args) __attribute__((format(printf, 2, 0)));
int printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
int fputs(const char* s, FILE* stream);
int fputc(int c, FILE* stream);
int putchar(int c);
int puts(const char* s);
int fflush(FILE* stream);
FILE* fopen(const char* path, const char* mode);
int fclose(FILE* stream);
size_t fread(void* buffer, size_t size, size_t count, FILE* stream);
size_t fwrite(const void* buffer, size_t size, size_t count, FILE* stream);
int fseek(FILE* stream, long offset, int whence);
long ftell(FILE* stream);
int ferror(FILE* stream);
int feof(FILE* stream);
int remove(const char* path);
int rename(const char* from, const char* to);
void perror(const char* s);

#ifdef __cplusplus
}
#endif
