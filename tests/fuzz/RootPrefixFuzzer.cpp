// libFuzzer target. The root-prefix path functions, on any path.
#include "tests/fuzz/FuzzTarget.h"

HARBRITE_FUZZ_TARGET(checkRootPrefixPaths)
