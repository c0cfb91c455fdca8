// libc++ 14, the newest Debian ships for the device build, lacks std::ranges::any_of (it
// arrived in libc++ 15; iOS 14.5's libc++ predates both, and the algorithm is a header-only
// template, so nothing of it needs the device's library). The system's code uses it, so the
// device build supplies it with the standard's meaning until the toolchain has it. Included
// ahead of every C++ translation unit by the device toolchain (cmake/ios.toolchain.cmake).
#pragma once

#if __cplusplus >= 202002L
#include <algorithm>
#include <functional>
#include <ranges>
#endif

#if __cplusplus >= 202002L && defined(_LIBCPP_VERSION) && _LIBCPP_VERSION < 15000
namespace std::ranges {
struct __hostios_any_of {
  template <input_range R, class Pred, class Proj = identity>
  constexpr bool operator()(R&& r, Pred pred, Proj proj = {}) const {
    for (auto&& e : r) {
      if (std::invoke(pred, std::invoke(proj, e))) return true;
    }
    return false;
  }
};
inline constexpr __hostios_any_of any_of{};
}  // namespace std::ranges
#endif
