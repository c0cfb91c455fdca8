// UTF-8 text files on the device, with the messages NSString's file methods give.
#include <errno.h>

#include <string>
#include <utility>

#include "host/Platform.h"
#include "host/TextFiles.h"
#include "hostios/Files.h"

namespace host {

TextRead readUTF8Text(const std::string& path) {
  std::string bytes;
  const bool read = hostios::readWholeFile(path, bytes);
  return textReadOutcome(path, read, errno, std::move(bytes));
}

bool writeUTF8TextAtomically(const std::string& path, std::string_view text, std::string* error) {
  const bool ok = hostios::replaceFileAtomically(path, text);
  if (!ok && error != nullptr) *error = textWriteError(path, errno);
  return ok;
}

}  // namespace host
