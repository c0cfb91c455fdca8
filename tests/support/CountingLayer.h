// A file layer that counts the files replaced, so that a test checks how often a file was
// written by what happened to it rather than by how the timeline words it. A replacement is a
// rename that succeeded, counted by the file it replaced; everything else passes through.
#pragma once

#include <map>
#include <string>

#include "hostsim/FileLayer.h"

namespace harbrite::test {

// In place from construction to destruction; counts for the device whose root is set.
class CountingLayer : public hostsim::FileLayerWrapper {
 public:
  CountingLayer() : FileLayerWrapper(hostsim::posixFileLayer()) { hostsim::setFileLayer(this); }
  ~CountingLayer() override { hostsim::setFileLayer(nullptr); }
  CountingLayer(const CountingLayer&) = delete;
  CountingLayer& operator=(const CountingLayer&) = delete;

  // How many times the device file has been replaced while the layer was in place.
  int replacements(const std::string& deviceFile) const {
    auto found = replaced_.find(hostsim::hostPath(deviceFile));
    return found == replaced_.end() ? 0 : found->second;
  }

  int rename(const char* from, const char* to) override {
    const int result = FileLayerWrapper::rename(from, to);
    if (result == 0) ++replaced_[to];
    return result;
  }

 private:
  std::map<std::string, int> replaced_;
};

}  // namespace harbrite::test
