// UTF-8 text files on the device, with the messages NSString's file methods give.
#include <errno.h>

#include <string>
#include <utility>

#include "host/FileStatus.h"
#include "host/Platform.h"
#include "hostios/Files.h"

namespace host {

Result<std::string> readUTF8Text(const std::string& path) {
  std::string bytes;
  const bool read = hostios::readWholeFile(path, bytes);
  return textReadOutcome(path, read, errno, std::move(bytes));
}

Status writeUTF8TextAtomically(const std::string& path, std::string_view text) {
  if (!hostios::replaceFileAtomically(path, text)) return writeFailure(path, errno);
  return {};
}

}  // namespace host
