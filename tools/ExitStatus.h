// The exit statuses of harbrite-sim, the same for every command.
#pragma once

namespace harbrite::sim {

enum ExitStatus {
  kSuccess = 0,
  // A check failed (run), or a change was not made: its write failed, or the reset answered NO
  // (settings set, settings reset-vpn).
  kCheckFailed = 1,
  // Bad usage (an unknown command or option), or input that cannot be used: a scenario that
  // cannot be read or played, a VALUE that is not one, a device folder that cannot be used.
  kBadInput = 2,
};

inline constexpr const char* kExitStatusHelp =
    "Exit status: 0 success; 1 a check failed (run), or the change was not made (settings set, "
    "settings reset-vpn); 2 bad usage or bad input (an unknown command or option, a scenario "
    "that cannot be read or played, a device folder that cannot be used).";

}  // namespace harbrite::sim
