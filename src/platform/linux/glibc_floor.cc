// Lets a binary built against this machine's glibc load on glibc 2.28.
//
// The distributed Linux binaries link the C++ runtime and libgcc statically,
// and both were compiled against a newer glibc than the oldest one we run on.
// The link step renames the C library calls that would otherwise bind to a
// symbol version newer than 2.28 (`-Wl,--wrap=NAME`, see CMakeLists.txt); each
// `__wrap_NAME` below binds to the version that glibc 2.28 already exported,
// or, for the few calls that 2.28 lacks, uses the real one when the running
// glibc has it and does the same work with older calls when it does not.
//
// Only the portable build links this file; source builds bind to whatever the
// local glibc offers.

#include "platform/linux/glibc_floor.h"

#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <link.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#define TOV_GLIBC_BASE "GLIBC_2.2.5"
#define TOV_GLIBC_FSTATAT "GLIBC_2.4"
#define TOV_GLIBC_SETNAME "GLIBC_2.12"
constexpr int kStatVersion = 1;
#elif defined(__aarch64__)
#define TOV_GLIBC_BASE "GLIBC_2.17"
#define TOV_GLIBC_FSTATAT "GLIBC_2.17"
#define TOV_GLIBC_SETNAME "GLIBC_2.17"
constexpr int kStatVersion = 0;
#else
#error "the glibc floor is defined for x86-64 and AArch64 only"
#endif

// `old_NAME` is a reference to NAME at the version glibc 2.28 had. The calls
// that moved from libpthread and libdl into libc in 2.34 kept their old
// versions as compatibility symbols, which is what we bind to.
#define TOV_OLD(name, version) __asm__(".symver tov_old_" #name ", " #name "@" version)

extern "C" {

int tov_old_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int tov_old_pthread_detach(pthread_t);
int tov_old_pthread_join(pthread_t, void**);
int tov_old_pthread_once(pthread_once_t*, void (*)());
int tov_old_pthread_key_create(pthread_key_t*, void (*)(void*));
int tov_old___pthread_key_create(pthread_key_t*, void (*)(void*));
int tov_old_pthread_key_delete(pthread_key_t);
void* tov_old_pthread_getspecific(pthread_key_t);
int tov_old_pthread_setspecific(pthread_key_t, const void*);
int tov_old_pthread_setname_np(pthread_t, const char*);
int tov_old_pthread_rwlock_init(pthread_rwlock_t*, const pthread_rwlockattr_t*);
int tov_old_pthread_rwlock_destroy(pthread_rwlock_t*);
int tov_old_pthread_rwlock_rdlock(pthread_rwlock_t*);
int tov_old_pthread_rwlock_wrlock(pthread_rwlock_t*);
int tov_old_pthread_rwlock_unlock(pthread_rwlock_t*);
void* tov_old_dlopen(const char*, int);
int tov_old_dlclose(void*);
void* tov_old_dlsym(void*, const char*);
char* tov_old_dlerror();
int tov_old_dladdr(const void*, Dl_info*);
int tov_old___xstat(int, const char*, struct stat*);
int tov_old___lxstat(int, const char*, struct stat*);
int tov_old___fxstat(int, int, struct stat*);
int tov_old___fxstatat(int, int, const char*, struct stat*, int);

TOV_OLD(pthread_create, TOV_GLIBC_BASE);
TOV_OLD(pthread_detach, TOV_GLIBC_BASE);
TOV_OLD(pthread_join, TOV_GLIBC_BASE);
TOV_OLD(pthread_once, TOV_GLIBC_BASE);
TOV_OLD(pthread_key_create, TOV_GLIBC_BASE);
TOV_OLD(__pthread_key_create, TOV_GLIBC_BASE);
TOV_OLD(pthread_key_delete, TOV_GLIBC_BASE);
TOV_OLD(pthread_getspecific, TOV_GLIBC_BASE);
TOV_OLD(pthread_setspecific, TOV_GLIBC_BASE);
TOV_OLD(pthread_setname_np, TOV_GLIBC_SETNAME);
TOV_OLD(pthread_rwlock_init, TOV_GLIBC_BASE);
TOV_OLD(pthread_rwlock_destroy, TOV_GLIBC_BASE);
TOV_OLD(pthread_rwlock_rdlock, TOV_GLIBC_BASE);
TOV_OLD(pthread_rwlock_wrlock, TOV_GLIBC_BASE);
TOV_OLD(pthread_rwlock_unlock, TOV_GLIBC_BASE);
TOV_OLD(dlopen, TOV_GLIBC_BASE);
TOV_OLD(dlclose, TOV_GLIBC_BASE);
TOV_OLD(dlsym, TOV_GLIBC_BASE);
TOV_OLD(dlerror, TOV_GLIBC_BASE);
TOV_OLD(dladdr, TOV_GLIBC_BASE);
TOV_OLD(__xstat, TOV_GLIBC_BASE);
TOV_OLD(__lxstat, TOV_GLIBC_BASE);
TOV_OLD(__fxstat, TOV_GLIBC_BASE);
TOV_OLD(__fxstatat, TOV_GLIBC_FSTATAT);

int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                          void* arg) {
  return tov_old_pthread_create(thread, attr, start, arg);
}
int __wrap_pthread_detach(pthread_t thread) { return tov_old_pthread_detach(thread); }
int __wrap_pthread_join(pthread_t thread, void** result) {
  return tov_old_pthread_join(thread, result);
}
int __wrap_pthread_once(pthread_once_t* once, void (*routine)()) {
  return tov_old_pthread_once(once, routine);
}
int __wrap_pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
  return tov_old_pthread_key_create(key, destructor);
}
int __wrap___pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
  return tov_old___pthread_key_create(key, destructor);
}
int __wrap_pthread_key_delete(pthread_key_t key) { return tov_old_pthread_key_delete(key); }
void* __wrap_pthread_getspecific(pthread_key_t key) { return tov_old_pthread_getspecific(key); }
int __wrap_pthread_setspecific(pthread_key_t key, const void* value) {
  return tov_old_pthread_setspecific(key, value);
}
int __wrap_pthread_setname_np(pthread_t thread, const char* name) {
  return tov_old_pthread_setname_np(thread, name);
}
int __wrap_pthread_rwlock_init(pthread_rwlock_t* lock, const pthread_rwlockattr_t* attr) {
  return tov_old_pthread_rwlock_init(lock, attr);
}
int __wrap_pthread_rwlock_destroy(pthread_rwlock_t* lock) {
  return tov_old_pthread_rwlock_destroy(lock);
}
int __wrap_pthread_rwlock_rdlock(pthread_rwlock_t* lock) {
  return tov_old_pthread_rwlock_rdlock(lock);
}
int __wrap_pthread_rwlock_wrlock(pthread_rwlock_t* lock) {
  return tov_old_pthread_rwlock_wrlock(lock);
}
int __wrap_pthread_rwlock_unlock(pthread_rwlock_t* lock) {
  return tov_old_pthread_rwlock_unlock(lock);
}
void* __wrap_dlopen(const char* file, int mode) { return tov_old_dlopen(file, mode); }
int __wrap_dlclose(void* handle) { return tov_old_dlclose(handle); }
void* __wrap_dlsym(void* handle, const char* name) { return tov_old_dlsym(handle, name); }
char* __wrap_dlerror() { return tov_old_dlerror(); }
int __wrap_dladdr(const void* address, Dl_info* info) { return tov_old_dladdr(address, info); }

// Before 2.33 the stat family were inline wrappers around the __xstat calls,
// which every later glibc still exports.
int __wrap_stat(const char* path, struct stat* buf) {
  return tov_old___xstat(kStatVersion, path, buf);
}
int __wrap_lstat(const char* path, struct stat* buf) {
  return tov_old___lxstat(kStatVersion, path, buf);
}
int __wrap_fstat(int fd, struct stat* buf) { return tov_old___fxstat(kStatVersion, fd, buf); }
int __wrap_fstatat(int dirfd, const char* path, struct stat* buf, int flags) {
  return tov_old___fxstatat(kStatVersion, dirfd, path, buf, flags);
}

// The C++ runtime skips atomic reference counting while this reads true; as
// our own copy it stays false, which is always correct, merely not the
// fastest for a process that never starts a thread.
char __libc_single_threaded = 0;

}  // extern "C"

namespace {

template <typename Function>
Function* lookup(const char* name) {
  return reinterpret_cast<Function*>(tov_old_dlsym(RTLD_DEFAULT, name));
}

// A looked-up C library function, resolved on first use. Null is cached as
// well: the running glibc does not have it.
template <typename Function>
class Optional {
 public:
  explicit Optional(const char* name) : name_(name) {}
  Function* get() {
    if (!resolved_.load(std::memory_order_acquire)) {
      function_.store(lookup<Function>(name_), std::memory_order_relaxed);
      resolved_.store(true, std::memory_order_release);
    }
    return function_.load(std::memory_order_relaxed);
  }

 private:
  const char* name_;
  std::atomic<Function*> function_{nullptr};
  std::atomic<bool> resolved_{false};
};

using ClockWait = int(pthread_cond_t*, pthread_mutex_t*, clockid_t, const struct timespec*);
using FindObject = int(void*, struct dl_find_object*);

Optional<ClockWait> g_clock_wait("pthread_cond_clockwait");
Optional<FindObject> g_find_object("_dl_find_object");

struct PhdrSearch {
  std::uintptr_t address;
  struct dl_find_object* result;
  bool found;
};

int visit_object(struct dl_phdr_info* info, std::size_t, void* data) {
  auto* search = static_cast<PhdrSearch*>(data);
  std::uintptr_t low = UINTPTR_MAX;
  std::uintptr_t high = 0;
  std::uintptr_t eh_frame = 0;
  bool inside = false;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    const std::uintptr_t start = info->dlpi_addr + header.p_vaddr;
    if (header.p_type == PT_LOAD) {
      const std::uintptr_t end = start + header.p_memsz;
      if (start < low) low = start;
      if (end > high) high = end;
      if (search->address >= start && search->address < end) inside = true;
    } else if (header.p_type == PT_GNU_EH_FRAME) {
      eh_frame = start;
    }
  }
  if (!inside) return 0;
  std::memset(search->result, 0, sizeof(*search->result));
  search->result->dlfo_map_start = reinterpret_cast<void*>(low);
  search->result->dlfo_map_end = reinterpret_cast<void*>(high);
  search->result->dlfo_eh_frame = reinterpret_cast<void*>(eh_frame);
  search->found = true;
  return 1;
}

}  // namespace

namespace tov::platform {

int find_object_by_headers(void* address, struct dl_find_object* result) {
  PhdrSearch search{reinterpret_cast<std::uintptr_t>(address), result, false};
  dl_iterate_phdr(visit_object, &search);
  return search.found ? 0 : -1;
}

// Older glibc waits on the system clock only: the deadline is moved there,
// and a clock step merely ends a wait early, which callers' loops handle.
int clock_wait_by_realtime(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                           const struct timespec* deadline) {
  if (clock == CLOCK_REALTIME) return pthread_cond_timedwait(cond, mutex, deadline);
  struct timespec now{};
  struct timespec wall{};
  clock_gettime(clock, &now);
  clock_gettime(CLOCK_REALTIME, &wall);
  std::int64_t nanos = (static_cast<std::int64_t>(deadline->tv_sec) - now.tv_sec) * 1000000000 +
                       (deadline->tv_nsec - now.tv_nsec);
  if (nanos < 0) nanos = 0;
  nanos += wall.tv_nsec;
  struct timespec target{};
  target.tv_sec = wall.tv_sec + static_cast<time_t>(nanos / 1000000000);
  target.tv_nsec = static_cast<long>(nanos % 1000000000);
  return pthread_cond_timedwait(cond, mutex, &target);
}

}  // namespace tov::platform

extern "C" {

// libgcc's unwinder finds the unwind tables of a code address with this call
// (glibc 2.35); before it, the program headers say the same.
int __wrap__dl_find_object(void* address, struct dl_find_object* result) {
  if (FindObject* real = g_find_object.get()) return real(address, result);
  return tov::platform::find_object_by_headers(address, result);
}

// condition_variable waits on the steady clock with this call (glibc 2.30).
int __wrap_pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                                  const struct timespec* deadline) {
  if (ClockWait* real = g_clock_wait.get()) return real(cond, mutex, clock, deadline);
  return tov::platform::clock_wait_by_realtime(cond, mutex, clock, deadline);
}

// std::random_device reads this (glibc 2.36); getrandom (2.25) is the same
// kernel source. It fails only on kernels older than any that Node supports.
unsigned int __wrap_arc4random() {
  std::uint32_t value = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(&value);
  std::size_t filled = 0;
  while (filled < sizeof(value)) {
    const ssize_t got = getrandom(bytes + filled, sizeof(value) - filled, 0);
    if (got > 0) filled += static_cast<std::size_t>(got);
    else if (errno != EINTR) break;
  }
  return value;
}

}  // extern "C"
