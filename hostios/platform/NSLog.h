// Foundation's NSLog (/System/Library/Frameworks/Foundation.framework/Foundation).
#pragma once

#include "host/Runtime.h"

namespace ios {
extern "C" {
// Variadic on the platform: the arguments after the format travel on the stack on arm64, so
// it must be declared variadic to be called correctly.
void NSLog(host::id format, ...);
}
}  // namespace ios
