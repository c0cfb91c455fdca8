// Where libc++ looks for mbstate_t on Darwin when wide characters are left out.
#pragma once
#include "darwin_abi.h"
