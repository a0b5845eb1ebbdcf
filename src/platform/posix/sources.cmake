# Any other POSIX system (the BSDs, for example): the POSIX services, and the
# fallbacks for what POSIX does not offer.
set(TOV_PLATFORM_SOURCES
  posix/error_text.cc
  posix/file.cc
  posix/directory.cc
  posix/file_identity.cc
  posix/memory.cc
  posix/module_pin.cc
  posix/thread_exit.cc
  fallback/read_ring.cc
  fallback/system.cc
)
# Thread names through the two-argument pthread_setname_np, where the C
# library has it; systems with another form keep unnamed threads.
include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_LIBRARIES Threads::Threads)
check_cxx_source_compiles("#include <pthread.h>
int main() { return pthread_setname_np(pthread_self(), \"tov\"); }" TOV_HAVE_PTHREAD_SETNAME_NP)
unset(CMAKE_REQUIRED_LIBRARIES)
if(TOV_HAVE_PTHREAD_SETNAME_NP)
  set_source_files_properties(${CMAKE_SOURCE_DIR}/src/platform/fallback/system.cc
    PROPERTIES COMPILE_DEFINITIONS TOV_HAVE_PTHREAD_SETNAME_NP)
endif()
