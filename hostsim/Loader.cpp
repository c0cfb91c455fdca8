// The simulated dynamic loader: what dlopen means to a library running on the device.
// "@rpath/..." is searched through the asking library's own ELF run-paths, with $ORIGIN as
// "@loader_path"; absolute run-paths and absolute library paths lie inside the device root, and
// every path is resolved inside it.
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "host/Platform.h"
#include "hostsim/DeviceRoot.h"
#include "hostsim/FileLayer.h"
#include "hostsim/Loader.h"
#include "hostsim/Timeline.h"

namespace hostsim {

std::vector<std::string> runPathsOf(const void* anchor, std::string* libraryFile) {
  std::vector<std::string> result;
  Dl_info info{};
  if (dladdr(anchor, &info) == 0 || info.dli_fname == nullptr) return result;
  // The library runs from a private copy; its place on the device is the file it was loaded as.
  if (libraryFile != nullptr) *libraryFile = deviceFileOfLibrary(info.dli_fname);
  void* handle = ::dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) return result;
  link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
    ::dlclose(handle);
    return result;
  }
  const char* strtab = nullptr;
  const ElfW(Dyn)* runpath = nullptr;
  for (const ElfW(Dyn)* d = map->l_ld; d->d_tag != DT_NULL; ++d) {
    if (d->d_tag == DT_STRTAB) strtab = reinterpret_cast<const char*>(d->d_un.d_ptr);
    if (d->d_tag == DT_RUNPATH) runpath = d;
  }
  if (strtab != nullptr && runpath != nullptr) {
    std::string all = strtab + runpath->d_un.d_val;
    std::size_t start = 0;
    while (start <= all.size()) {
      std::size_t colon = all.find(':', start);
      if (colon == std::string::npos) colon = all.size();
      if (colon > start) result.push_back(all.substr(start, colon - start));
      start = colon + 1;
    }
  }
  ::dlclose(handle);
  return result;
}

namespace {

// Where a run-path lies on the host: $ORIGIN is the asking library's own folder (already a
// host path, since the library was loaded from inside the device); others are device paths.
std::string hostDirectory(const std::string& runPath, const std::string& libraryFile) {
  const std::string origin = "$ORIGIN";
  if (runPath.rfind(origin, 0) == 0)
    return directoryOf(libraryFile) + runPath.substr(origin.size());
  return hostPath(runPath);
}

// Only a regular file inside the device loads (hostsim/DeviceRoot.h).
void* openFile(const std::string& file, int mode, const std::string& asked) {
  void* handle = loadDeviceLibrary(file, mode);
  if (handle != nullptr) timeline("load", "loaded " + asked, {{"library", asked}});
  return handle;
}

}  // namespace

}  // namespace hostsim

namespace host {

void* dlopenFrom(const void* anchor, const char* path, int mode) {
  if (path == nullptr) return nullptr;
  const std::string asked = path;
  std::string libraryFile;
  const std::string rpath = "@rpath/";
  const std::string loaderPath = "@loader_path/";
  if (asked.rfind(rpath, 0) == 0) {
    const std::string rest = asked.substr(rpath.size());
    for (const std::string& runPath : hostsim::runPathsOf(anchor, &libraryFile)) {
      const std::string dir = hostsim::hostDirectory(runPath, libraryFile);
      if (void* handle = hostsim::openFile(dir + "/" + rest, mode, asked)) return handle;
    }
    return nullptr;
  }
  if (asked.rfind(loaderPath, 0) == 0) {
    hostsim::runPathsOf(anchor, &libraryFile);
    return hostsim::openFile(
        hostsim::directoryOf(libraryFile) + "/" + asked.substr(loaderPath.size()), mode, asked);
  }
  return hostsim::openFile(hostsim::hostPath(asked), mode, asked);
}

void* dlsym(void* handle, const char* symbol) {
  if (handle == nullptr || symbol == nullptr) return nullptr;
  return ::dlsym(handle, symbol);
}

}  // namespace host
