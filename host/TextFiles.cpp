#include "host/TextFiles.h"

#include <utf8.h>

#include <cerrno>
#include <cstring>

namespace host {

namespace {

// The file's name as the messages quote it: its last path component, in curly quotes.
std::string quoted(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return "\xE2\x80\x9C" + (slash == std::string::npos ? path : path.substr(slash + 1)) +
         "\xE2\x80\x9D";
}

const char* const kCouldnt = " couldn\xE2\x80\x99t ";

}  // namespace

TextRead textReadOutcome(const std::string& path, bool read, int error, std::string bytes) {
  TextRead result;
  if (read && utf8::is_valid(bytes.begin(), bytes.end())) {
    result.ok = true;
    result.text = std::move(bytes);
    return result;
  }
  // Only a read that fails says why, naming the file.
  const std::string file = "The file " + quoted(path) + kCouldnt;
  if (!read) {
    const bool missing = error == ENOENT || error == ENOTDIR;
    result.failure = missing ? TextRead::Failure::Missing : TextRead::Failure::Unreadable;
    if (missing) {
      result.error = file + "be opened because there is no such file.";
    } else if (error == EACCES || error == EPERM) {
      result.error = file + "be opened because you don\xE2\x80\x99t have permission to view it.";
    } else {
      result.error = file + "be opened. (" + std::strerror(error) + ")";
    }
    return result;
  }
  result.failure = TextRead::Failure::NotUTF8;
  result.error = file + "be opened using text encoding Unicode (UTF-8).";
  return result;
}

std::string textWriteError(const std::string& path, int error) {
  const std::string file = "The file " + quoted(path) + kCouldnt;
  if (error == ENOSPC) return file + "be saved because there isn\xE2\x80\x99t enough space.";
  if (error == ENOENT || error == ENOTDIR) {
    return file + "be saved because the folder doesn\xE2\x80\x99t exist.";
  }
  return file + "be saved. (" + std::strerror(error) + ")";
}

}  // namespace host
