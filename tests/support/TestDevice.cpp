#include "tests/support/TestDevice.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "hostsim/FileLayer.h"
#include "hostsim/PlistCodec.h"
#include "hostsim/Timeline.h"

namespace harbrite::test {

TestDevice::TestDevice() {
  hostsim::setTimelineSink([this](const hostsim::TimelineEvent& e) { events_.push_back(e.text); });
}

TestDevice::~TestDevice() {
  hostsim::setTimelineSink(nullptr);
}

std::string TestDevice::hostFile(const std::string& devicePath) const {
  return root() + devicePath;
}

void TestDevice::writePrefsBytes(const std::string& bytes) {
  const std::string file = hostFile(preferencesFile());
  std::filesystem::create_directories(std::filesystem::path(file).parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

void TestDevice::writePrefs(const host::Dictionary& prefs) {
  writePrefsBytes(hostsim::encodeDictionary(prefs));
}

void TestDevice::writeState(const std::string& bytes) {
  const std::string file = hostFile(featureStateFile());
  std::filesystem::create_directories(std::filesystem::path(file).parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

bool TestDevice::stateExists() const {
  return std::filesystem::exists(hostFile(featureStateFile()));
}

std::string TestDevice::readState() const {
  std::ifstream in(hostFile(featureStateFile()), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool TestDevice::sawEvent(const std::string& part) const {
  for (const auto& e : events_) {
    if (e.find(part) != std::string::npos) return true;
  }
  return false;
}

}  // namespace harbrite::test
