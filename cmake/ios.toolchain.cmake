# The device build: Debian's clang and ld64.lld make arm64 Mach-O for iOS 14.5 with no Apple
# SDK. The C library, the runtime and the frameworks are our own declarations (hostios/include,
# hostios/platform) and text stubs (hostios/stubs); libc++'s headers are Debian's, with our own
# configuration (hostios/libcxx) that keeps libc++'s availability markings on.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(HARBRITE_DEVICE_TARGET arm64-apple-ios14.5)
set(CMAKE_C_COMPILER_TARGET ${HARBRITE_DEVICE_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${HARBRITE_DEVICE_TARGET})
set(CMAKE_OSX_SYSROOT "" CACHE STRING "no SDK: our own declarations and stubs")
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "the target triple carries iOS 14.5")
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "the target triple carries arm64")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(HARBRITE_DEVICE ON)

get_filename_component(_harbrite_root ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
set(_libcxx /usr/lib/llvm-14/include/c++/v1)
set(_builtins /usr/lib/llvm-14/lib/clang/14.0.6/include)
# Our libc++ configuration first, then libc++'s headers, clang's own, and our C library.
# Blocks are off: nothing here uses them, and libc++ would want the blocks runtime's header.
set(_flags "-fno-blocks -nostdinc -isystem ${_harbrite_root}/hostios/libcxx -isystem ${_libcxx} -isystem ${_builtins} -isystem ${_harbrite_root}/hostios/include")
set(CMAKE_C_FLAGS_INIT "${_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_flags} -nostdinc++")
# ld64.lld, against the stubs only: no SDK, no compiler runtime, no start files.
set(_link "-fuse-ld=lld -nostdlib -Wl,-adhoc_codesign -Wno-unused-command-line-argument")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_link}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_link}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
