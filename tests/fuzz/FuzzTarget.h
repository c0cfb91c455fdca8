// The body of every libFuzzer target: one check of Properties.h; a failed check aborts with its
// message, which libFuzzer reports with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/fuzz/Properties.h"

#define HARBRITE_FUZZ_TARGET(check)                                                   \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
    const std::string failure = harbrite::fuzz::check(data, size);                    \
    if (!failure.empty()) {                                                           \
      std::fprintf(stderr, "%s\n", failure.c_str());                                  \
      std::abort();                                                                   \
    }                                                                                 \
    return 0;                                                                         \
  }
