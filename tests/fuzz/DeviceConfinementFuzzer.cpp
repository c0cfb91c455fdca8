// libFuzzer target. The device folder's resolver and file functions, on any path and prefix.
#include "tests/fuzz/FuzzTarget.h"

HARBRITE_FUZZ_TARGET(checkDeviceConfinement)
