// The device root's folder, opened once and kept for every resolution, under contention (built
// with ThreadSanitizer in the tsan preset, and run plainly in the others): many threads read a
// device file at once while the kept folder is forgotten again and again, as setting a new root
// forgets it. Every read finds the file whole, so no thread resolved through a descriptor that
// another had closed; nothing is left open once the folder is forgotten for good; and
// ThreadSanitizer sees no race in keeping it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "hostsim/Device.h"
#include "hostsim/DeviceRoot.h"
#include "hostsim/FileLayer.h"

namespace harbrite::test {
namespace {

std::size_t openDescriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++n;
  }
  return n;
}

TEST(KeptRoot, ManyThreadsReadWhileTheKeptFolderIsForgotten) {
  constexpr int kThreads = 8;
  constexpr int kReads = 2000;
  const std::string root = hostsim::makeTemporaryDirectory();
  const std::string file = root + "/var/mobile/Library/Preferences/state.txt";
  std::filesystem::create_directories(root + "/var/mobile/Library/Preferences");
  std::ofstream(file, std::ios::binary) << "VPNState=YES\n";
  hostsim::setDeviceRoot(root);
  const std::size_t before = openDescriptors();

  std::latch start(kThreads + 1);
  std::atomic<bool> reading{true};
  std::atomic<int> whole{0};
  std::thread forgetter([&] {
    start.arrive_and_wait();
    while (reading.load()) hostsim::forgetDeviceRootFolder();
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < kThreads; ++t) {
    readers.emplace_back([&] {
      start.arrive_and_wait();
      for (int i = 0; i < kReads; ++i) {
        std::string bytes;
        if (hostsim::readWholeFile(file, bytes) && bytes == "VPNState=YES\n") ++whole;
      }
    });
  }
  for (std::thread& reader : readers) reader.join();
  reading = false;
  forgetter.join();

  EXPECT_EQ(whole.load(), kThreads * kReads);
  hostsim::forgetDeviceRootFolder();
  EXPECT_EQ(openDescriptors(), before);
  hostsim::setDeviceRoot("");
  hostsim::removeTree(root);
}

}  // namespace
}  // namespace harbrite::test
