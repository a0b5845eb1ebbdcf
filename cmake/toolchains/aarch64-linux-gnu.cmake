# Linux arm64 (glibc) from an x86-64 Debian machine: Debian's cross compiler
# (g++-aarch64-linux-gnu) and the arm64 multiarch libcrypto (libssl-dev:arm64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# The cross compiler's own sysroot first; then the multiarch tree, where
# apt puts arm64 libraries (/usr/lib/aarch64-linux-gnu) and headers.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# OpenSSL's headers are shared between architectures except for two
# configuration headers under the multiarch include directory. Searching
# them after the cross compiler's own headers keeps the x86-64 C library
# headers in /usr/include out of the way.
set(OPENSSL_CRYPTO_LIBRARY /usr/lib/aarch64-linux-gnu/libcrypto.a CACHE FILEPATH "")
set(OPENSSL_INCLUDE_DIR /usr/include CACHE PATH "")
set(CMAKE_C_FLAGS_INIT "-idirafter /usr/include/aarch64-linux-gnu -idirafter /usr/include")
set(CMAKE_CXX_FLAGS_INIT "-idirafter /usr/include/aarch64-linux-gnu -idirafter /usr/include")
set(CMAKE_NO_SYSTEM_FROM_IMPORTED ON)

# Programs built here (the native unit tests) run under user-mode QEMU.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)

# pkg-config answers for the build machine unless pointed at arm64's files.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
