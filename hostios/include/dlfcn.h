// Run-time loading, as iOS's libSystem (dyld) exports it.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#define RTLD_LAZY 0x1
#define RTLD_NOW 0x2
#define RTLD_LOCAL 0x4
#define RTLD_GLOBAL 0x8
#define RTLD_NOLOAD 0x10
#define RTLD_DEFAULT ((void*)-2)

// "@rpath/..." is searched through the run-paths of the image that calls dlopen.
void* dlopen(const char* path, int mode);
void* dlsym(void* handle, const char* symbol);
char* dlerror(void);
int dlclose(void* handle);

#ifdef __cplusplus
}
#endif
