// The legacy preferences migration, compiled into both libraries and exported by each.
#pragma once

#include "host/Export.h"

extern "C" {
// Converts an older preferences file, which kept one "enabled-<bundle identifier>" boolean per
// application, into the enabledApplications list. Does nothing when there is nothing to convert.
HARBRITE_EXPORT void migratePreferencesIfNeeded() noexcept;
}
