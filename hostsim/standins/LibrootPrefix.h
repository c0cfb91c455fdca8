// The jbroot prefix a libroot stand-in answers: the text of the file "libroot.prefix" beside
// the stand-in in the device (it runs from a private copy of the build's file), read once; empty
// when that file cannot be read.
#pragma once

#include <dlfcn.h>

#include <string>

#include "hostsim/DeviceRoot.h"
#include "hostsim/FileLayer.h"

namespace hostsim {

inline const char* standinJbrootPrefix() {
  static const std::string prefix = [] {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&standinJbrootPrefix), &info) == 0)
      return std::string();
    // Read inside the device, without waiting on a special file and bounded in size.
    std::string text;
    return readDeviceFile(directoryOf(deviceFileOfLibrary(info.dli_fname)) + "/libroot.prefix",
                          text)
               ? text
               : std::string();
  }();
  return prefix.c_str();
}

}  // namespace hostsim
