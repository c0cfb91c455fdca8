// Property-list files on the simulated device: read in either encoding by the system's own
// readers (XmlEncoding.cpp, BinaryEncoding.cpp), written whole and atomically in the encoding
// host::encodingFor picks.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "host/FileStatus.h"
#include "host/PropertyList.h"
#include "hostsim/FileLayer.h"
#include "hostsim/PlistCodec.h"
#include "hostsim/Timeline.h"

namespace hostsim {

host::Result<host::Dictionary> readDictionaryBytes(const std::string& bytes) {
  if (bytes.compare(0, 6, "bplist") == 0) return readBinary(bytes);
  return readXML(bytes);
}

std::string encodeDictionary(const host::Dictionary& dictionary) {
  if (host::encodingFor(dictionary) == host::Encoding::Binary) return binaryEncoding(dictionary);
  return xmlEncoding(dictionary);
}

}  // namespace hostsim

namespace host {

Result<Dictionary> readDictionary(const std::string& path) {
  std::string bytes;
  if (!hostsim::readWholeFile(hostsim::hostPath(path), bytes)) return readFailure(path, errno);
  return hostsim::readDictionaryBytes(bytes);
}

Status writeDictionaryAtomically(const Dictionary& dictionary, const std::string& path) {
  std::size_t depth = 0;
  for (const auto& entry : dictionary) depth = std::max(depth, nestingDepth(entry.second));
  Status status;
  int error = 0;
  if (depth + 1 > kMaxNesting) {
    status = writeRefused(
        path, "the dictionary is nested deeper than " + std::to_string(kMaxNesting) + " levels");
  } else if (!hostsim::replaceFileAtomically(hostsim::hostPath(path),
                                             hostsim::encodeDictionary(dictionary))) {
    error = errno;
    status = writeFailure(path, error);
  }
  if (hostsim::timelineActive()) {
    std::string text = std::string(status.ok() ? "wrote " : "failed to write ") + path;
    if (error == EFBIG) {
      text += " (it would exceed the " + std::to_string(hostsim::kMaxReadableFileSize >> 20) +
              " MiB that its readers read: the file stays as it was)";
    } else if (error != 0) {
      text += std::string(" (") + std::strerror(error) + ")";
    }
    hostsim::timeline("file", text, {{"path", path}, {"written", status.ok()}});
  }
  return status;
}

}  // namespace host
