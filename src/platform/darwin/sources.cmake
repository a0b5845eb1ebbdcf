# macOS: the POSIX services with the system's own thread names; no read ring.
set(TOV_PLATFORM_SOURCES
  posix/error_text.cc
  posix/file.cc
  posix/directory.cc
  posix/file_identity.cc
  posix/memory.cc
  posix/module_pin.cc
  posix/thread_exit.cc
  darwin/system.cc
  fallback/read_ring.cc
)
