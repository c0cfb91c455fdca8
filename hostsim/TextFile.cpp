// UTF-8 text files, as NSString's stringWithContentsOfFile:encoding:error: and
// writeToFile:atomically:encoding:error: treat them.
#include <cerrno>
#include <string>
#include <utility>

#include "host/Platform.h"
#include "host/TextFiles.h"
#include "hostsim/FileLayer.h"
#include "hostsim/Timeline.h"

namespace host {

TextRead readUTF8Text(const std::string& path) {
  std::string bytes;
  const bool read = hostsim::readWholeFile(hostsim::hostPath(path), bytes);
  return textReadOutcome(path, read, errno, std::move(bytes));
}

bool writeUTF8TextAtomically(const std::string& path, std::string_view text, std::string* error) {
  const bool ok = hostsim::replaceFileAtomically(hostsim::hostPath(path), std::string(text));
  if (!ok && error != nullptr) *error = textWriteError(path, errno);
  if (hostsim::timelineActive()) {
    hostsim::timeline("file", std::string(ok ? "wrote " : "failed to write ") + path,
                      {{"path", path}, {"written", ok}});
  }
  return ok;
}

}  // namespace host
