// libFuzzer target. Reading the preferences file from any bytes.
#include "tests/fuzz/FuzzTarget.h"

HARBRITE_FUZZ_TARGET(checkPreferencesReading)
