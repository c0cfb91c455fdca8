// libFuzzer target. The feature state file's line rules.
#include "tests/fuzz/FuzzTarget.h"

HARBRITE_FUZZ_TARGET(checkLineRules)
