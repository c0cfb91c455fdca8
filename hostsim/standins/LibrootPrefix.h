// The jbroot prefix a libroot stand-in answers: the text of the file "libroot.prefix" beside
// the stand-in, read once.
#pragma once

#include <dlfcn.h>

#include <fstream>
#include <iterator>
#include <string>

#include "hostsim/FileLayer.h"

namespace hostsim {

inline const char* standinJbrootPrefix() {
  static const std::string prefix = [] {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&standinJbrootPrefix), &info) == 0)
      return std::string();
    std::ifstream in(directoryOf(info.dli_fname) + "/libroot.prefix", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }();
  return prefix.c_str();
}

}  // namespace hostsim
