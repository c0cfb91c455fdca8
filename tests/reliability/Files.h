// Looking at the device's files from outside the system (raw bytes, modes, the temporaries
// beside a file, the process's open descriptors), and putting a file layer in place.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "hostsim/FileLayer.h"

namespace harbrite::test {

inline std::string bytesOf(const std::string& hostFile) {
  std::ifstream in(hostFile, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes the bytes directly (not through the system) and gives the file that mode.
inline void putBytes(const std::string& hostFile, const std::string& bytes, mode_t mode = 0640) {
  std::filesystem::create_directories(std::filesystem::path(hostFile).parent_path());
  std::ofstream(hostFile, std::ios::binary | std::ios::trunc) << bytes;
  ::chmod(hostFile.c_str(), mode);
}

inline mode_t modeOf(const std::string& hostFile) {
  struct stat info {};
  return ::stat(hostFile.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// The temporaries lying in the file's folder (of any target).
inline std::vector<std::string> temporariesBeside(const std::string& hostFile) {
  std::vector<std::string> found;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(
           std::filesystem::path(hostFile).parent_path(), ignored)) {
    const std::string name = entry.path().filename().string();
    if (hostsim::isTemporaryFileName(name)) found.push_back(name);
  }
  return found;
}

// The temporaries of that one file.
inline std::vector<std::string> temporariesOf(const std::string& hostFile) {
  const std::string prefix = std::filesystem::path(hostFile).filename().string() + ".hbtmp.";
  std::vector<std::string> found;
  for (const std::string& name : temporariesBeside(hostFile)) {
    if (name.compare(0, prefix.size(), prefix) == 0) found.push_back(name);
  }
  return found;
}

inline std::size_t openDescriptors() {
  std::size_t n = 0;
  std::error_code ignored;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ignored);
       it != std::filesystem::directory_iterator(); it.increment(ignored)) {
    ++n;
  }
  return n;
}

// Puts a layer in place for the life of the guard.
class UsingLayer {
 public:
  explicit UsingLayer(hostsim::FileLayer& layer) { hostsim::setFileLayer(&layer); }
  ~UsingLayer() { hostsim::setFileLayer(nullptr); }
  UsingLayer(const UsingLayer&) = delete;
  UsingLayer& operator=(const UsingLayer&) = delete;
};

}  // namespace harbrite::test
