// The hooking framework's Objective-C hook (@rpath/CydiaSubstrate.framework/CydiaSubstrate on a
// rootless device; ElleKit and Substitute export the same function).
#pragma once

#include "host/Runtime.h"

namespace ios {

extern "C" {
void MSHookMessageEx(host::Class cls, host::SEL sel, host::IMP replacement, host::IMP* result);
}

}  // namespace ios
