// Property-list files on the simulated device: read in either encoding by the system's own
// readers (XmlEncoding.cpp, BinaryEncoding.cpp), written whole and atomically in the encoding
// host::encodingFor picks.
#include <cerrno>
#include <cstring>
#include <string>

#include "host/PropertyList.h"
#include "hostsim/FileLayer.h"
#include "hostsim/PlistCodec.h"
#include "hostsim/Timeline.h"

namespace hostsim {

host::DictionaryRead readDictionaryBytes(const std::string& bytes) {
  if (bytes.compare(0, 6, "bplist") == 0) return readBinary(bytes);
  return readXML(bytes);
}

std::optional<host::Dictionary> dictionaryFromBytes(const std::string& bytes) {
  return readDictionaryBytes(bytes).dictionary;
}

std::string encodeDictionary(const host::Dictionary& dictionary) {
  if (host::encodingFor(dictionary) == host::Encoding::Binary) return binaryEncoding(dictionary);
  return xmlEncoding(dictionary);
}

}  // namespace hostsim

namespace host {

DictionaryRead readDictionaryFile(const std::string& path) {
  std::string bytes;
  if (!hostsim::readWholeFile(hostsim::hostPath(path), bytes)) {
    DictionaryRead result;
    result.failure = errno == ENOENT || errno == ENOTDIR ? DictionaryRead::Failure::Missing
                                                         : DictionaryRead::Failure::Unreadable;
    return result;
  }
  return hostsim::readDictionaryBytes(bytes);
}

bool writeDictionaryAtomically(const Dictionary& dictionary, const std::string& path) {
  bool ok = false;
  errno = 0;
  std::size_t depth = 0;
  for (const auto& entry : dictionary) depth = std::max(depth, nestingDepth(entry.second));
  if (depth + 1 <= kMaxNesting) {
    ok = hostsim::replaceFileAtomically(hostsim::hostPath(path),
                                        hostsim::encodeDictionary(dictionary));
  }
  const int saved = errno;
  if (hostsim::timelineActive()) {
    std::string text = std::string(ok ? "wrote " : "failed to write ") + path;
    if (!ok && saved == EFBIG) {
      text += " (it would exceed the " + std::to_string(hostsim::kMaxReadableFileSize >> 20) +
              " MiB that its readers read: the file stays as it was)";
    } else if (!ok && saved != 0) {
      text += std::string(" (") + std::strerror(saved) + ")";
    }
    hostsim::timeline("file", text, {{"path", path}, {"written", ok}});
  }
  errno = saved;
  return ok;
}

}  // namespace host
