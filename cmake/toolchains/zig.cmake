# Cross builds with Zig 0.11, which brings clang, lld, libc++, the musl and
# glibc C libraries and macOS's system headers and library stubs for every
# target. scripts/prebuilds.js writes one folder of wrappers per target
# (cc, c++, ar, ranlib: `zig cc -target <triple>` and so on) and passes:
#   TOV_ZIG_WRAPPERS   that folder
#   TOV_ZIG_SYSTEM     Linux or Darwin
#   TOV_ZIG_PROCESSOR  x86_64 or aarch64
set(CMAKE_SYSTEM_NAME ${TOV_ZIG_SYSTEM})
set(CMAKE_SYSTEM_PROCESSOR ${TOV_ZIG_PROCESSOR})
set(CMAKE_C_COMPILER ${TOV_ZIG_WRAPPERS}/cc)
set(CMAKE_CXX_COMPILER ${TOV_ZIG_WRAPPERS}/c++)
set(CMAKE_AR ${TOV_ZIG_WRAPPERS}/ar CACHE FILEPATH "archiver" FORCE)
set(CMAKE_RANLIB ${TOV_ZIG_WRAPPERS}/ranlib CACHE FILEPATH "ranlib" FORCE)
set(TOV_ZIG ON)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TOV_ZIG_WRAPPERS TOV_ZIG_SYSTEM TOV_ZIG_PROCESSOR)

# Nothing of this machine's own libraries or headers fits the target: Zig
# brings its C library, and GoogleTest is built from source.
set(CMAKE_FIND_ROOT_PATH ${TOV_ZIG_WRAPPERS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
