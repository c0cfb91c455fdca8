// UTF-8 text files on the device, with the messages NSString's file methods give.
#include <errno.h>
#include <utf8.h>

#include <cstring>

#include "host/Platform.h"
#include "hostios/Files.h"

namespace host {

namespace {

const std::string kOpenQuote = "\xE2\x80\x9C";
const std::string kCloseQuote = "\xE2\x80\x9D";
const std::string kCouldnt = " couldn\xE2\x80\x99t ";

std::string quoted(const std::string& path) {
  return kOpenQuote + hostios::fileNameOf(path) + kCloseQuote;
}

std::string describeReadError(const std::string& path, int error) {
  if (error == ENOENT || error == ENOTDIR) {
    return "The file " + quoted(path) + kCouldnt + "be opened because there is no such file.";
  }
  if (error == EACCES || error == EPERM) {
    return "The file " + quoted(path) + kCouldnt +
           "be opened because you don\xE2\x80\x99t have permission to view it.";
  }
  return "The file " + quoted(path) + kCouldnt + "be opened. (" + std::strerror(error) + ")";
}

}  // namespace

TextRead readUTF8Text(const std::string& path) {
  TextRead result;
  if (!hostios::readWholeFile(path, result.text)) {
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
        "The file " + quoted(path) + kCouldnt + "be opened using text encoding Unicode (UTF-8).";
    return result;
  }
  result.ok = true;
  return result;
}

bool writeUTF8TextAtomically(const std::string& path, std::string_view text, std::string* error) {
  const bool ok = hostios::replaceFileAtomically(path, text);
  if (!ok && error != nullptr) {
    const int saved = errno;
    if (saved == ENOSPC) {
      *error = "The file " + quoted(path) + kCouldnt +
               "be saved because there isn\xE2\x80\x99t enough space.";
    } else if (saved == ENOENT || saved == ENOTDIR) {
      *error = "The file " + quoted(path) + kCouldnt +
               "be saved because the folder doesn\xE2\x80\x99t exist.";
    } else {
      *error = "The file " + quoted(path) + kCouldnt + "be saved. (" + std::strerror(saved) + ")";
    }
  }
  return ok;
}

}  // namespace host
