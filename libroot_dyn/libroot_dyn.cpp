#include "libroot_dyn/libroot_dyn.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "host/Platform.h"

namespace {

using PrefixFunction = const char* (*)();
using PathFunction = char* (*)(const char*, char*);

// The resolution table: null until the load, never changed after it.
PrefixFunction dyn_get_root_prefix = nullptr;
PrefixFunction dyn_get_jbroot_prefix = nullptr;
PrefixFunction dyn_get_boot_uuid = nullptr;
PathFunction dyn_jbrootpath = nullptr;
PathFunction dyn_rootfspath = nullptr;
// Set once the table is complete: after the load each entry costs this one read.
std::atomic<bool> loaded{false};

// strlcpy and strlcat, bounded to the path bound: always terminated, the rest dropped. Each
// answers the length the buffer then holds, so that an append never scans the buffer again.
std::size_t boundedCopy(char* buffer, const char* text) {
  std::size_t n = strnlen(text, libroot_dyn::kPathBound - 1);
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
  return n;
}

void boundedAppend(char* buffer, std::size_t used, const char* text) {
  std::size_t n = strnlen(text, libroot_dyn::kPathBound - 1 - used);
  std::memcpy(buffer + used, text, n);
  buffer[used + n] = '\0';
}

// A prefix through its slot; a misbehaving libroot that answers null reads as the empty prefix.
const char* orEmpty(PrefixFunction slot, PrefixFunction fallback) {
  const char* prefix = (slot != nullptr ? slot : fallback)();
  return prefix != nullptr ? prefix : "";
}

// The one read of the token that every entry pays after the load.
inline void ensureLoaded() {
  if (!loaded.load(std::memory_order_acquire)) libroot_load();
}

char* bufferFor(char* buffer) {
  return buffer != nullptr ? buffer : static_cast<char*>(std::malloc(libroot_dyn::kPathBound));
}

}  // namespace

extern "C" {

const char* libroot_get_root_prefix_fallback() noexcept {
  return "";
}
const char* libroot_get_jbroot_prefix_fallback() noexcept {
  return "/var/jb";
}
const char* libroot_get_boot_uuid_fallback() noexcept {
  return "00000000-0000-0000-0000-000000000000";
}

char* libroot_jbrootpath_fallback(const char* path, char* buffer) noexcept {
  if (path == nullptr) return nullptr;
  buffer = bufferFor(buffer);
  if (buffer == nullptr) return nullptr;
  ensureLoaded();
  // The built-in prefix is used directly when the table holds it, so its length is known.
  const char* prefix = dyn_get_jbroot_prefix == libroot_get_jbroot_prefix_fallback
                           ? libroot_get_jbroot_prefix_fallback()
                           : orEmpty(dyn_get_jbroot_prefix, libroot_get_jbroot_prefix_fallback);
  if (path[0] == '/') {
    boundedAppend(buffer, boundedCopy(buffer, prefix), path);
  } else {
    boundedCopy(buffer, path);
  }
  return buffer;
}

char* libroot_rootfspath_fallback(const char* path, char* buffer) noexcept {
  if (path == nullptr) return nullptr;
  buffer = bufferFor(buffer);
  if (buffer == nullptr) return nullptr;
  ensureLoaded();
  const char* rootPrefix = orEmpty(dyn_get_root_prefix, libroot_get_root_prefix_fallback);
  const char* jbrootPrefix = orEmpty(dyn_get_jbroot_prefix, libroot_get_jbroot_prefix_fallback);
  std::size_t n = std::strlen(jbrootPrefix);
  if (path[0] == '/') {
    if (std::strncmp(path, jbrootPrefix, n) == 0) {
      boundedCopy(buffer, path + n);
    } else {
      boundedAppend(buffer, boundedCopy(buffer, rootPrefix), path);
    }
  } else {
    boundedCopy(buffer, path);
  }
  return buffer;
}

void libroot_load() noexcept {
  static host::OnceToken onceToken;
  if (loaded.load(std::memory_order_acquire)) return;
  try {
    host::dispatchOnce(onceToken, [] {
      if (void* handle = host::dlopen("@rpath/libroot.dylib", host::kRtldNow)) {
        dyn_get_root_prefix =
            reinterpret_cast<PrefixFunction>(host::dlsym(handle, "libroot_get_root_prefix"));
        dyn_get_jbroot_prefix =
            reinterpret_cast<PrefixFunction>(host::dlsym(handle, "libroot_get_jbroot_prefix"));
        dyn_get_boot_uuid =
            reinterpret_cast<PrefixFunction>(host::dlsym(handle, "libroot_get_boot_uuid"));
        dyn_jbrootpath = reinterpret_cast<PathFunction>(host::dlsym(handle, "libroot_jbrootpath"));
        dyn_rootfspath = reinterpret_cast<PathFunction>(host::dlsym(handle, "libroot_rootfspath"));
      }
      if (dyn_get_root_prefix == nullptr) dyn_get_root_prefix = libroot_get_root_prefix_fallback;
      if (dyn_get_jbroot_prefix == nullptr) {
        dyn_get_jbroot_prefix = libroot_get_jbroot_prefix_fallback;
      }
      if (dyn_get_boot_uuid == nullptr) dyn_get_boot_uuid = libroot_get_boot_uuid_fallback;
      if (dyn_jbrootpath == nullptr) dyn_jbrootpath = libroot_jbrootpath_fallback;
      if (dyn_rootfspath == nullptr) dyn_rootfspath = libroot_rootfspath_fallback;
      loaded.store(true, std::memory_order_release);
    });
  } catch (...) {
    // Nothing escapes into the host. Should the one-time step itself fail (it can only fail to
    // start a thread-safe wait), the fallbacks below still keep every entry usable.
  }
}

const char* libroot_dyn_get_root_prefix() noexcept {
  ensureLoaded();
  return dyn_get_root_prefix != nullptr ? dyn_get_root_prefix()
                                        : libroot_get_root_prefix_fallback();
}

const char* libroot_dyn_get_jbroot_prefix() noexcept {
  ensureLoaded();
  return dyn_get_jbroot_prefix != nullptr ? dyn_get_jbroot_prefix()
                                          : libroot_get_jbroot_prefix_fallback();
}

const char* libroot_dyn_get_boot_uuid() noexcept {
  ensureLoaded();
  return dyn_get_boot_uuid != nullptr ? dyn_get_boot_uuid() : libroot_get_boot_uuid_fallback();
}

char* libroot_dyn_jbrootpath(const char* path, char* buffer) noexcept {
  ensureLoaded();
  // Every data-file access comes through here: when the table holds the fallback, it is called
  // directly (the same function), which lets the compiler inline it.
  if (dyn_jbrootpath == nullptr || dyn_jbrootpath == libroot_jbrootpath_fallback) {
    return libroot_jbrootpath_fallback(path, buffer);
  }
  return dyn_jbrootpath(path, buffer);
}

char* libroot_dyn_rootfspath(const char* path, char* buffer) noexcept {
  ensureLoaded();
  return dyn_rootfspath != nullptr ? dyn_rootfspath(path, buffer)
                                   : libroot_rootfspath_fallback(path, buffer);
}
}
