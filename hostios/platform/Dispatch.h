// The part of libdispatch (in /usr/lib/libSystem.B.dylib) the device's host/ uses: delayed work
// on the main queue. dispatch_get_main_queue() is, on the platform, the address of the exported
// queue object _dispatch_main_q.
#pragma once

#include <stdint.h>

namespace ios {

struct dispatch_queue_s;
using dispatch_queue_t = dispatch_queue_s*;
using dispatch_time_t = uint64_t;
using dispatch_function_t = void (*)(void*);

inline constexpr dispatch_time_t DISPATCH_TIME_NOW = 0;

extern "C" {
extern dispatch_queue_s _dispatch_main_q;
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t deltaNanoseconds);
void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context,
                      dispatch_function_t work);
}

static_assert(sizeof(dispatch_time_t) == 8, "dispatch_time_t is 64 bits");

}  // namespace ios
