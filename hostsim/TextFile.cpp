// UTF-8 text files, as NSString's stringWithContentsOfFile:encoding:error: and
// writeToFile:atomically:encoding:error: treat them.
#include <cerrno>
#include <string>
#include <utility>

#include "host/FileStatus.h"
#include "host/Platform.h"
#include "hostsim/FileLayer.h"
#include "hostsim/Timeline.h"

namespace host {

Result<std::string> readUTF8Text(const std::string& path) {
  std::string bytes;
  const bool read = hostsim::readWholeFile(hostsim::hostPath(path), bytes);
  return textReadOutcome(path, read, errno, std::move(bytes));
}

Status writeUTF8TextAtomically(const std::string& path, std::string_view text) {
  Status status;
  if (!hostsim::replaceFileAtomically(hostsim::hostPath(path), std::string(text))) {
    status = writeFailure(path, errno);
  }
  if (hostsim::timelineActive()) {
    hostsim::timeline("file", std::string(status.ok() ? "wrote " : "failed to write ") + path,
                      {{"path", path}, {"written", status.ok()}});
  }
  return status;
}

}  // namespace host
