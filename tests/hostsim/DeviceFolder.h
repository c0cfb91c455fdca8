// A device root in a fresh temporary folder for the file tests, with the preferences folder in
// place; the POSIX file layer is restored and the folder removed afterwards.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hostsim/Device.h"
#include "hostsim/FileLayer.h"

namespace harbrite::test {

class DeviceFolder : public ::testing::Test {
 protected:
  static constexpr const char* kFolder = "/var/mobile/Library/Preferences";

  void SetUp() override {
    root_ = hostsim::makeTemporaryDirectory();
    hostsim::setDeviceRoot(root_);
    std::filesystem::create_directories(root_ + kFolder);
  }
  void TearDown() override {
    hostsim::setFileLayer(nullptr);
    hostsim::setDeviceRoot("");
    hostsim::removeTree(root_);
  }

  std::string hostFile(const std::string& devicePath) const { return root_ + devicePath; }

  void putBytes(const std::string& devicePath, const std::string& bytes) const {
    std::ofstream(hostFile(devicePath), std::ios::binary | std::ios::trunc) << bytes;
  }
  std::string bytesOf(const std::string& devicePath) const {
    std::ifstream in(hostFile(devicePath), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // The names in the preferences folder, temporary files included.
  std::vector<std::string> folderEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root_ + kFolder)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  std::string root_;
};

}  // namespace harbrite::test
