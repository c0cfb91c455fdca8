#include "host/FileStatus.h"

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

std::string fileCouldnt(const std::string& path) {
  return "The file " + quoted(path) + " couldn\xE2\x80\x99t ";
}

}  // namespace

Status readFailure(const std::string& path, int error) {
  const std::string file = fileCouldnt(path);
  if (error == ENOENT || error == ENOTDIR) {
    return {Status::Code::Missing, file + "be opened because there is no such file."};
  }
  if (error == EACCES || error == EPERM) {
    return {Status::Code::Unreadable,
            file + "be opened because you don\xE2\x80\x99t have permission to view it."};
  }
  return {Status::Code::Unreadable, file + "be opened. (" + std::strerror(error) + ")"};
}

Result<std::string> textReadOutcome(const std::string& path, bool read, int error,
                                    std::string bytes) {
  if (!read) return readFailure(path, error);
  if (!utf8::is_valid(bytes.begin(), bytes.end())) {
    return Status(Status::Code::Malformed,
                  fileCouldnt(path) + "be opened using text encoding Unicode (UTF-8).");
  }
  return bytes;
}

Status writeFailure(const std::string& path, int error) {
  const std::string file = fileCouldnt(path);
  if (error == ENOSPC) {
    return {Status::Code::Unwritable,
            file + "be saved because there isn\xE2\x80\x99t enough space."};
  }
  if (error == ENOENT || error == ENOTDIR) {
    return {Status::Code::Unwritable,
            file + "be saved because the folder doesn\xE2\x80\x99t exist."};
  }
  return {Status::Code::Unwritable, file + "be saved. (" + std::strerror(error) + ")"};
}

Status writeRefused(const std::string& path, const std::string& because) {
  return {Status::Code::Unwritable, fileCouldnt(path) + "be saved because " + because + "."};
}

}  // namespace host
