// libFuzzer target. The scenario parser, on any text.
#include "tests/fuzz/FuzzTarget.h"

HARBRITE_FUZZ_TARGET(checkScenarioParsing)
