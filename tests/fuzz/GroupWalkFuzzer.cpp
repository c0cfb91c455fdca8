// libFuzzer target. The settings pane's group walk, over any rows and counts.
#include "tests/fuzz/FuzzTarget.h"

HARBRITE_FUZZ_TARGET(checkGroupWalk)
