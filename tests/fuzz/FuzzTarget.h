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

// The simulated platform runs on libobjc, which leaves a few blocks of its own start-up where
// LeakSanitizer cannot see them (hostsim/Runtime.cpp says the same for the test programs; the
// fuzzers take the runtime from the shared library, which is not instrumented). Each fuzzer
// includes this header once; the definition is weak, so that one in a library linked in stands.
extern "C" __attribute__((weak, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libobjc.so\n";
}
