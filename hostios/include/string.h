// The C library's byte-string functions, as iOS's libSystem exports them.
#pragma once

#include "darwin_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

void* memchr(const void* s, int c, size_t n);
int memcmp(const void* a, const void* b, size_t n);
void* memcpy(void* dst, const void* src, size_t n);
void* memmove(void* dst, const void* src, size_t n);
void* memset(void* s, int c, size_t n);
char* strcat(char* dst, const char* src);
char* strncat(char* dst, const char* src, size_t n);
char* strchr(const char* s, int c);
char* strrchr(const char* s, int c);
int strcmp(const char* a, const char* b);
int strncmp(const char* a, const char* b, size_t n);
int strcoll(const char* a, const char* b);
char* strcpy(char* dst, const char* src);
char* strncpy(char* dst, const char* src, size_t n);
size_t strcspn(const char* s, const char* reject);
size_t strspn(const char* s, const char* accept);
char* strerror(int error);
size_t strlen(const char* s);
size_t strnlen(const char* s, size_t n);
char* strpbrk(const char* s, const char* accept);
char* strstr(const char* haystack, const char* needle);
char* strtok(char* s, const char* separators);
size_t strxfrm(char* dst, const char* src, size_t n);
char* strdup(const char* s);

#ifdef __cplusplus
}
#endif
