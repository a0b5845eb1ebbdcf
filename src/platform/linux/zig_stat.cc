// Zig 0.11 links its own copies of the stat family into glibc programs,
// compiled from glibc's sources of the years when they lived outside
// libc.so. Those copies write an errno of their own, not the C library's
// one that the program reads back, so a failed call reports error 0. The
// linker takes definitions from the program's objects before it looks into
// Zig's archive: these call glibc's own entry points, which set the right
// errno. Only Zig builds for glibc link this file.

#include <sys/stat.h>

#include "platform/linux/glibc_floor.h"

extern "C" {

int stat(const char* path, struct stat* buf) noexcept {
  return __wrap_stat(path, buf);
}
int lstat(const char* path, struct stat* buf) noexcept {
  return __wrap_lstat(path, buf);
}
int fstat(int fd, struct stat* buf) noexcept {
  return __wrap_fstat(fd, buf);
}
int fstatat(int dirfd, const char* path, struct stat* buf, int flags) noexcept {
  return __wrap_fstatat(dirfd, path, buf, flags);
}

}  // extern "C"
