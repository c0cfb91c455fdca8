// What every implementation of host/'s text files shares: how a read ends, from the bytes read
// or the error of reading them, and the messages the platform's own string methods
// (stringWithContentsOfFile:encoding:error:, writeToFile:atomically:encoding:error:) give. Each
// host reads and replaces files its own way and hands the outcome here.
#pragma once

#include <string>

#include "host/Platform.h"

namespace host {

// The outcome of reading the text file at `path`: `read` tells whether its bytes were read
// (`bytes`), and `error` is errno when they were not.
TextRead textReadOutcome(const std::string& path, bool read, int error, std::string bytes);
// Why replacing the text file at `path` failed, from errno.
std::string textWriteError(const std::string& path, int error);

}  // namespace host
