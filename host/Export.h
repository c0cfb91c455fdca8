// How a library of ours makes a function or global visible to other images: every library here
// is compiled with hidden visibility, so only what carries this mark (and, for the deliverables,
// is named in the library's export list) is seen by the dynamic linker and by dlsym.
#pragma once

#define HARBRITE_EXPORT __attribute__((visibility("default")))
