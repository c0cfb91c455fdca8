// What every implementation of host/'s files shares: how a read or a replacement ends, from the
// bytes read or the errno that stopped it, with the messages the platform's own file methods
// (stringWithContentsOfFile:encoding:error:, writeToFile:atomically:encoding:error:) give. Each
// host reads and replaces files its own way and hands the outcome here.
#pragma once

#include <string>

#include "host/Status.h"

namespace host {

// Why the file at `path` could not be read, from errno: Missing for no such file (or no such
// folder on the way), Unreadable for anything else.
Status readFailure(const std::string& path, int error);
// The outcome of reading the text file at `path`: `read` tells whether its bytes were read
// (`bytes`), and `error` is errno when they were not. Bytes that are not UTF-8 are Malformed.
Result<std::string> textReadOutcome(const std::string& path, bool read, int error,
                                    std::string bytes);
// Why replacing the file at `path` failed, from errno.
Status writeFailure(const std::string& path, int error);
// A replacement refused before any file was touched, `because` saying why ("the dictionary is
// nested too deep").
Status writeRefused(const std::string& path, const std::string& because);

}  // namespace host
