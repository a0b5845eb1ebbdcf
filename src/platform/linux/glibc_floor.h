#pragma once

#include <dlfcn.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>

#if !defined(DLFO_STRUCT_HAS_EH_DBASE)
// The C library headers of glibc before 2.35 (Zig's glibc 2.28 target) do
// not declare it; glibc's layout, for the machines without the optional
// fields.
struct dl_find_object {
  unsigned long long dlfo_flags;
  void* dlfo_map_start;
  void* dlfo_map_end;
  struct link_map* dlfo_link_map;
  void* dlfo_eh_frame;
  unsigned long long __dlfo_reserved[7];
};
#endif

namespace tov::platform {

// What glibc's _dl_find_object reports for `address`, worked out from the
// loaded objects' program headers: the mapping and the unwind table index
// (PT_GNU_EH_FRAME) of the object holding it. 0 when found, -1 otherwise.
int find_object_by_headers(void* address, struct dl_find_object* result);

// pthread_cond_clockwait (glibc 2.30) by pthread_cond_timedwait: the
// deadline on `clock` becomes one on the system clock.
int clock_wait_by_realtime(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                           const struct timespec* deadline);

}  // namespace tov::platform

extern "C" {
// The versions of the C library calls that the portable build links to.
int __wrap_stat(const char* path, struct stat* buf);
int __wrap_lstat(const char* path, struct stat* buf);
int __wrap_fstat(int fd, struct stat* buf);
int __wrap_fstatat(int dirfd, const char* path, struct stat* buf, int flags);
unsigned int __wrap_arc4random();
}
