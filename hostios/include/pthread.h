// POSIX threads as iOS's libSystem (libsystem_pthread) exports them. The synchronisation types
// are opaque blocks whose first word is a signature; their sizes are the ABI.
#pragma once

#include "darwin_abi.h"
#include "sched.h"
#include "time.h"

#ifdef __cplusplus
extern "C" {
#endif

struct _hostios_pthread;
typedef struct _hostios_pthread* pthread_t;
typedef unsigned long pthread_key_t;

typedef struct {
  long __sig;
  char __opaque[56];
} pthread_attr_t;
typedef struct {
  long __sig;
  char __opaque[56];
} pthread_mutex_t;
typedef struct {
  long __sig;
  char __opaque[8];
} pthread_mutexattr_t;
typedef struct {
  long __sig;
  char __opaque[40];
} pthread_cond_t;
typedef struct {
  long __sig;
  char __opaque[8];
} pthread_condattr_t;
typedef struct {
  long __sig;
  char __opaque[8];
} pthread_once_t;
typedef struct {
  long __sig;
  char __opaque[192];
} pthread_rwlock_t;
typedef struct {
  long __sig;
  char __opaque[16];
} pthread_rwlockattr_t;

// The signatures a statically initialised object starts with.
#define PTHREAD_MUTEX_INITIALIZER \
  {                               \
    0x32AAABA7, {                 \
      0                           \
    }                             \
  }
#define PTHREAD_RECURSIVE_MUTEX_INITIALIZER \
  {                                         \
    0x32AAABA2, {                           \
      0                                     \
    }                                       \
  }
#define PTHREAD_COND_INITIALIZER \
  {                              \
    0x3CB0B1BB, {                \
      0                          \
    }                            \
  }
#define PTHREAD_ONCE_INIT \
  {                       \
    0x30B1BCBA, {         \
      0                   \
    }                     \
  }
#define PTHREAD_RWLOCK_INITIALIZER \
  {                                \
    0x2DA8B3B4, {                  \
      0                            \
    }                              \
  }

#define PTHREAD_MUTEX_NORMAL 0
#define PTHREAD_MUTEX_ERRORCHECK 1
#define PTHREAD_MUTEX_RECURSIVE 2
#define PTHREAD_MUTEX_DEFAULT PTHREAD_MUTEX_NORMAL
#define PTHREAD_CREATE_JOINABLE 1
#define PTHREAD_CREATE_DETACHED 2

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg);
int pthread_detach(pthread_t thread);
int pthread_join(pthread_t thread, void** result);
pthread_t pthread_self(void);
int pthread_equal(pthread_t a, pthread_t b);
int pthread_key_create(pthread_key_t* key, void (*destructor)(void*));
int pthread_key_delete(pthread_key_t key);
void* pthread_getspecific(pthread_key_t key);
int pthread_setspecific(pthread_key_t key, const void* value);
int pthread_once(pthread_once_t* once, void (*init)(void));
int pthread_mutexattr_init(pthread_mutexattr_t* attr);
int pthread_mutexattr_settype(pthread_mutexattr_t* attr, int type);
int pthread_mutexattr_destroy(pthread_mutexattr_t* attr);
int pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attr);
int pthread_mutex_destroy(pthread_mutex_t* mutex);
int pthread_mutex_lock(pthread_mutex_t* mutex);
int pthread_mutex_trylock(pthread_mutex_t* mutex);
int pthread_mutex_unlock(pthread_mutex_t* mutex);
int pthread_cond_init(pthread_cond_t* cond, const pthread_condattr_t* attr);
int pthread_cond_destroy(pthread_cond_t* cond);
int pthread_cond_signal(pthread_cond_t* cond);
int pthread_cond_broadcast(pthread_cond_t* cond);
int pthread_cond_wait(pthread_cond_t* cond, pthread_mutex_t* mutex);
int pthread_cond_timedwait(pthread_cond_t* cond, pthread_mutex_t* mutex,
                           const struct timespec* abstime);

#ifdef __cplusplus
}
static_assert(sizeof(pthread_mutex_t) == 64, "Darwin arm64 pthread_mutex_t");
static_assert(sizeof(pthread_cond_t) == 48, "Darwin arm64 pthread_cond_t");
static_assert(sizeof(pthread_once_t) == 16, "Darwin arm64 pthread_once_t");
static_assert(sizeof(pthread_attr_t) == 64, "Darwin arm64 pthread_attr_t");
static_assert(sizeof(pthread_rwlock_t) == 200, "Darwin arm64 pthread_rwlock_t");
#endif
