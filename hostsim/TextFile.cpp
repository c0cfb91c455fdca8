// UTF-8 text files, as NSString's stringWithContentsOfFile:encoding:error: and
// writeToFile:atomically:encoding:error: treat them.
#include <utf8.h>

#include <cerrno>
#include <cstring>

#include "host/Platform.h"
#include "hostsim/FileLayer.h"
#include "hostsim/Timeline.h"

namespace host {

namespace {

std::string describeReadError(const std::string& path, int error) {
  std::string name = "\xE2\x80\x9C" + hostsim::fileNameOf(path) + "\xE2\x80\x9D";
  if (error == ENOENT || error == ENOTDIR) {
    return "The file " + name + " couldn\xE2\x80\x99t be opened because there is no such file.";
  }
  if (error == EACCES || error == EPERM) {
    return "The file " + name +
           " couldn\xE2\x80\x99t be opened because you don\xE2\x80\x99t have permission to view "
           "it.";
  }
  return "The file " + name + " couldn\xE2\x80\x99t be opened. (" + std::strerror(error) + ")";
}

}  // namespace

TextRead readUTF8Text(const std::string& path) {
  TextRead result;
  if (!hostsim::readWholeFile(hostsim::hostPath(path), result.text)) {
    const int error = errno;
    result.failure = error == ENOENT || error == ENOTDIR ? TextRead::Failure::Missing
                                                         : TextRead::Failure::Unreadable;
    result.error = describeReadError(path, error);
    result.text.clear();
    return result;
  }
  if (!utf8::is_valid(result.text.begin(), result.text.end())) {
    result.failure = TextRead::Failure::NotUTF8;
    result.text.clear();
    result.error =
        "The file \xE2\x80\x9C" + hostsim::fileNameOf(path) +
        "\xE2\x80\x9D couldn\xE2\x80\x99t be opened using text encoding Unicode (UTF-8).";
    return result;
  }
  result.ok = true;
  return result;
}

bool writeUTF8TextAtomically(const std::string& path, std::string_view text, std::string* error) {
  bool ok = hostsim::replaceFileAtomically(hostsim::hostPath(path), std::string(text));
  if (!ok && error != nullptr) {
    int saved = errno;
    std::string name = "\xE2\x80\x9C" + hostsim::fileNameOf(path) + "\xE2\x80\x9D";
    if (saved == ENOSPC) {
      *error = "The file " + name +
               " couldn\xE2\x80\x99t be saved because there isn\xE2\x80\x99t enough space.";
    } else if (saved == ENOENT || saved == ENOTDIR) {
      *error = "The file " + name +
               " couldn\xE2\x80\x99t be saved because the folder doesn\xE2\x80\x99t exist.";
    } else {
      *error = "The file " + name + " couldn\xE2\x80\x99t be saved. (" + std::strerror(saved) + ")";
    }
  }
  if (hostsim::timelineActive()) {
    hostsim::timeline("file", std::string(ok ? "wrote " : "failed to write ") + path,
                      {{"path", path}, {"written", ok}});
  }
  return ok;
}

}  // namespace host
